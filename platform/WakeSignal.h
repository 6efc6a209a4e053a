#pragma once
// A condition variable bound to the mutex that guards what its waiters look
// at. A waiter sleeps until its own condition holds, a deadline passes, or
// it is woken to look again; whoever changes what a waiter looks at wakes it:
// with Wake when the change was made under the mutex (held or released
// since; waking after the release spares the waiter a lock it cannot take),
// with Notify when it was made outside (an atomic flag): Notify takes the
// mutex first, so no wake-up falls between a waiter's test and its sleep.
//
// Threads: any. Waits need the mutex held as stated.

#include <chrono>
#include <condition_variable>
#include <mutex>

class WakeSignal {
public:
    using Clock = std::chrono::steady_clock;

    // Guarded by a mutex of its own, or by the owner's.
    WakeSignal() : m_mutex(m_own) {}
    explicit WakeSignal(std::mutex& guard) : m_mutex(guard) {}
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    std::mutex& Mutex() { return m_mutex; }

    // With `lock` holding Mutex(): waits until ready() holds (true) or the
    // deadline passes (ready()'s last value).
    template <typename Ready>
    bool WaitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Ready ready) {
        return m_cv.wait_until(lock, deadline, ready);
    }
    template <typename Ready>
    void Wait(std::unique_lock<std::mutex>& lock, Ready ready) {
        m_cv.wait(lock, ready);
    }
    // The same, taking the mutex for the wait.
    template <typename Ready>
    bool WaitUntil(Clock::time_point deadline, Ready ready) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return WaitUntil(lock, deadline, ready);
    }
    template <typename Ready>
    bool WaitFor(int milliseconds, Ready ready) {
        return WaitUntil(Clock::now() + std::chrono::milliseconds(milliseconds), ready);
    }

    // After a change made under Mutex(): wakes every waiter to test its
    // condition again.
    void Wake() { m_cv.notify_all(); }
    // Mutex() not held.
    void Notify() {
        { std::lock_guard<std::mutex> lock(m_mutex); }
        m_cv.notify_all();
    }

private:
    std::mutex m_own;
    std::mutex& m_mutex;
    std::condition_variable m_cv;
};
