#include "platform/PollLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

PollLoop::PollLoop() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        m_wakeRead = fds[0];
        m_wakeWrite = fds[1];
    }
}

PollLoop::~PollLoop() {
    if (m_wakeRead >= 0)
        ::close(m_wakeRead);
    if (m_wakeWrite >= 0)
        ::close(m_wakeWrite);
}

void PollLoop::Watch(int fd, std::function<void()> onReadable) {
    if (fd < 0)
        return;
    Unwatch(fd);
    m_watchers.push_back({fd, std::move(onReadable)});
}

void PollLoop::Unwatch(int fd) {
    std::erase_if(m_watchers, [fd](const Watcher& w) { return w.fd == fd; });
}

void PollLoop::Run() {
    while (RunOnce(-1)) {
    }
}

bool PollLoop::RunOnce(int timeoutMs) {
    if (m_quit.load())
        return false;
    std::vector<pollfd> fds;
    fds.push_back({m_wakeRead, POLLIN, 0});
    for (const Watcher& w : m_watchers)
        fds.push_back({w.fd, POLLIN, 0});
    int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0 && errno != EINTR)
        return !m_quit.load();
    // Handlers may change the watch list; look each ready descriptor up again.
    for (size_t i = 1; ready > 0 && i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLERR | POLLHUP)))
            continue;
        auto it = std::find_if(m_watchers.begin(), m_watchers.end(),
                               [&](const Watcher& w) { return w.fd == fds[i].fd; });
        if (it != m_watchers.end()) {
            std::function<void()> handler = it->onReadable;
            handler();
        }
    }
    if (fds[0].revents & POLLIN) {
        char drain[64];
        while (read(m_wakeRead, drain, sizeof drain) > 0) {
        }
    }
    return !m_quit.load();
}

void PollLoop::Quit() {
    m_quit.store(true);
    if (m_wakeWrite >= 0) {
        char one = 1;
        [[maybe_unused]] ssize_t n = write(m_wakeWrite, &one, 1);
    }
}
