#pragma once
// Loopback socket helpers for the network test programs. Every wait is
// bounded by kWaitMs, generous for a loaded 2-core machine: only a fault
// gets there.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

using Bytes = std::vector<uint8_t>;

inline constexpr int kWaitMs = 10000;

inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = kWaitMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// How often the threads of this process have blocked so far: a thread that
// sleeps and looks again adds one per look, one blocked on an event none.
inline long ProcessWakeups() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw;
}

// Wakes-ups of this process during `ms` of idling by the calling thread.
inline long WakeupsWhileIdle(int ms) {
    const long before = ProcessWakeups();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return ProcessWakeups() - before;
}

inline sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    return a;
}

// A socket of `type` bound to an ephemeral loopback port, stored in `port`.
inline int BoundSocket(int type, int& port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

inline bool Readable(int fd, int timeoutMs = kWaitMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

struct RawListener {
    int port = 0;
    int fd = BoundSocket(SOCK_STREAM, port);
    RawListener() { listen(fd, 8); }
    ~RawListener() { close(fd); }
    int Accept() { return Readable(fd) ? accept(fd, nullptr, nullptr) : -1; }
};

// A loopback port nobody listens on (for as long as nobody takes it).
inline int ClosedPort() {
    return RawListener().port;
}

inline int RawConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        return fd;
    close(fd);
    return -1;
}

// Appends what arrives until `out` holds n bytes; false when the peer closes
// or stays quiet for kWaitMs first.
template <class Buf>
bool ReadInto(int fd, Buf& out, size_t n) {
    char buf[65536];
    while (out.size() < n) {
        if (!Readable(fd))
            return false;
        ssize_t r = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (r <= 0)
            return false;
        out.insert(out.end(), buf, buf + r);
    }
    return true;
}

inline Bytes ReadExact(int fd, size_t n) {
    Bytes out;
    ReadInto(fd, out, n);
    return out;
}

// True when the peer closes within kWaitMs, whatever it sends before.
inline bool WaitClosed(int fd) {
    char buf[65536];
    while (Readable(fd)) {
        if (recv(fd, buf, sizeof buf, 0) <= 0)
            return true;
    }
    return false;
}

template <class Buf>
bool SendAll(int fd, const Buf& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t r = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        done += size_t(r);
    }
    return true;
}

// A client socket closed with the object.
struct RawClient {
    int fd;
    explicit RawClient(int port) : fd(RawConnect(port)) {}
    ~RawClient() {
        if (fd >= 0)
            close(fd);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
};

} // namespace nettest
