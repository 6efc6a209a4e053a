#pragma once
// Decoded pictures waiting for presentation, oldest first, with their own
// lock, condition and capacity. Flush empties it and raises its serial;
// pictures pushed under an older serial (decoded from before a seek) are
// dropped. A held queue (paused) gives nothing out; an aborted one wakes
// every waiter. The presenter's timed sleeps wait on the same condition, so
// a pause, a seek or a stop cuts them short.
//
// Threads: the video decoder pushes, the presenter pops, the controlling
// thread flushes, holds and aborts.

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/VideoFrame.h"
#include "platform/WakeSignal.h"

class FrameQueue {
public:
    explicit FrameQueue(size_t capacity) : m_nCapacity(capacity) {}
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    // Waits for room; false once aborted.
    bool WaitWritable();
    // Appends the pictures unless the queue was flushed since `serial`.
    void Push(std::vector<std::unique_ptr<VideoFrame>>& pictures, unsigned serial);

    enum class Pop { Picture, Held, Aborted };
    struct Popped {
        std::unique_ptr<VideoFrame> frame;
        double dNextPts = -1.0;  // stamp of the picture after it, when one is queued
        unsigned serial = 0;     // the queue's when it was taken
    };
    // Waits while empty; Held at once while held.
    Pop Next(Popped& out);
    // Waits while held (and not aborted).
    void WaitWhileHeld();
    // Sleeps until `deadline` or until held, aborted, flushed since `serial`
    // or done() holds; true when cut short.
    template <typename Done>
    bool SleepUntil(WakeSignal::Clock::time_point deadline, unsigned serial, Done done) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_wake.WaitUntil(lock, deadline, [&] { return Interrupted(serial) || done(); });
    }
    // Wakes a sleeper to test its done() again (m_mutex not held).
    void Notify() { m_wake.Notify(); }

    unsigned Flush();
    void SetHeld(bool held);
    void Abort();
    void Restart();

    size_t Size() const { return m_nCount; }
    size_t Capacity() const { return m_nCapacity; }
    unsigned Serial() const { return m_nSerial; }

private:
    bool Interrupted(unsigned serial) const { return m_bAborted || m_bHeld || serial != m_nSerial; }

    const size_t m_nCapacity;
    mutable std::mutex m_mutex;
    WakeSignal m_wake{m_mutex};
    std::deque<std::unique_ptr<VideoFrame>> m_frames;
    std::atomic<size_t> m_nCount{0};
    std::atomic<unsigned> m_nSerial{0};
    std::atomic<bool> m_bHeld{false};
    std::atomic<bool> m_bAborted{false};
};
