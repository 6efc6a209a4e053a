#pragma once
// Helpers for stream tests: polling waits and raw loopback peers.

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace streamtest {

// Generous for a loaded 2-core machine; only reached when something is broken.
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

// A listening socket on an ephemeral loopback port.
struct RawListener {
    int fd = -1;
    int port = 0;
    RawListener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd, 8);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~RawListener() { close(fd); }
    // Accepts one client, waiting at most kWaitMs; -1 on time-out.
    int Accept() {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kWaitMs) != 1)
            return -1;
        return accept(fd, nullptr, nullptr);
    }
};

// A plain client socket connected to 127.0.0.1:port, or -1.
inline int RawConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads exactly n bytes unless the peer closes or kWaitMs passes quietly.
inline std::vector<uint8_t> ReadExact(int fd, size_t n) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(65536);
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kWaitMs) != 1)
            break;
        ssize_t r = recv(fd, buf.data(), std::min(buf.size(), n - out.size()), 0);
        if (r <= 0)
            break;
        out.insert(out.end(), buf.begin(), buf.begin() + r);
    }
    return out;
}

inline bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t r = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        done += size_t(r);
    }
    return true;
}

} // namespace streamtest
