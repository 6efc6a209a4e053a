#pragma once
#include <atomic>
#include <functional>
#include <vector>

// A minimal event loop for programs without a GUI: it waits on a set of
// descriptors and calls each one's handler when it becomes readable.
//
// Threads: Watch, Unwatch, Run and RunOnce on the loop's owner thread only;
// handlers run on that thread. Quit may be called from any thread and from a
// signal handler (it only stores a flag and writes to a pipe).
class PollLoop {
public:
    PollLoop();
    ~PollLoop();
    PollLoop(const PollLoop&) = delete;
    PollLoop& operator=(const PollLoop&) = delete;

    // Calls `onReadable` whenever `fd` is readable; replaces an earlier
    // handler of the same descriptor.
    void Watch(int fd, std::function<void()> onReadable);
    void Unwatch(int fd);

    // Handles events until Quit is called.
    void Run();
    // Waits at most `timeoutMs` (-1: no limit) and handles what is ready.
    // Returns false once Quit has been called.
    bool RunOnce(int timeoutMs);
    void Quit();

private:
    struct Watcher {
        int fd;
        std::function<void()> onReadable;
    };
    std::vector<Watcher> m_watchers;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::atomic<bool> m_quit {false};
};
