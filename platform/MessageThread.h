#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/WakeSignal.h"

// A worker thread with its own message queue: the Linux stand-in for a UI
// thread that is driven by posted thread messages. Messages are handled one
// at a time, in the order they were posted, by OnMessage on the worker.

constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_USER = 0x0400;

struct ThreadMessage {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    uintptr_t lParam = 0;
};

class CMessageThread {
public:
    CMessageThread() = default;
    CMessageThread(const CMessageThread&) = delete;
    CMessageThread& operator=(const CMessageThread&) = delete;
    // A derived class must end the thread in its own destructor (EndThread),
    // because OnMessage is gone by the time this one runs.
    virtual ~CMessageThread();

    // Owner thread. Starts the worker, named name; -1 when one is already running.
    int CreateThread(const char* name = "messages");

    // Any thread. Queues a message; false when no worker runs to take it.
    bool PostThreadMessage(uint32_t message, uintptr_t wParam = 0, uintptr_t lParam = 0);

    // Any thread. True while a worker is running its loop.
    bool IsRunning() const { return m_bRunning.load(); }

    // Any thread. True when the queue is empty and no handler is running.
    bool IsIdle() const;

protected:
    // Owner thread. Posts WM_QUIT and waits up to waitMs for the loop to end.
    // A worker cannot be killed safely, so a late one is still joined after
    // the wait; returns false when that happened.
    bool EndThread(int waitMs);

    // Worker thread. Ends the loop after the current message; later messages
    // are discarded.
    void PostQuitMessage(int exitCode);

    // Worker thread, before and after the loop.
    virtual bool InitInstance() { return true; }
    virtual int ExitInstance() { return m_nExitCode; }

    // Worker thread, one call per message other than WM_QUIT.
    virtual void OnMessage(const ThreadMessage& msg) = 0;

private:
    void Run();

    std::thread m_thread;
    mutable std::mutex m_mutex;          // guards m_queue and m_bBusy
    std::condition_variable m_wake;
    WakeSignal m_ended{m_mutex};         // the loop has left, m_bRunning false
    std::deque<ThreadMessage> m_queue;
    bool m_bBusy = false;
    std::atomic<bool> m_bRunning{false};
    bool m_bQuit = false;                // worker only
    int m_nExitCode = 0;                 // worker only
};
