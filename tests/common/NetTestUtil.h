#pragma once
// Loopback socket helpers for the network test programs. Every wait is
// bounded by kWaitMs, generous for a loaded 2-core machine: only a fault
// gets there.

#include <arpa/inet.h>
#include <gtest/gtest.h>
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

// Wake-ups of this process's threads during `ms` of idling by the calling
// one: a thread that sleeps and looks again adds one per look, one blocked
// on an event none.
inline long WakeupsWhileIdle(int ms) {
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    getrusage(RUSAGE_SELF, &after);
    return after.ru_nvcsw - before.ru_nvcsw;
}

// True once a server holds no more than `left` connections: each ended one
// is let go at the next accept or ReleaseUnUse.
template <class Server>
bool ConnectionsDownTo(Server& server, int left = 0) {
    return WaitFor([&] {
        server.ReleaseUnUse();
        return server.ConnectionCount() == left;
    });
}

inline double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

inline sockaddr_in At(const std::string& address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return a;
}

inline sockaddr_in Loopback(int port) { return At("127.0.0.1", port); }

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

// A stream socket bound to `from` (any address of 127/8 is this machine)
// and connected to the loopback `port`; -1 when that fails.
inline int ConnectFrom(const std::string& from, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local = At(from, 0), to = Loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        return fd;
    close(fd);
    return -1;
}

// What one HTTP request on its own connection brought: the header block and
// all after it until the server closed (or kWaitMs passed in silence).
struct HttpReply {
    std::string header, body;
    bool closed = false;
    double ms = 0;  // from the request to the end
};

// Sends `request` on `fd` (a byte at a time when split) and closes it after the reply.
inline HttpReply HttpOver(int fd, const std::string& request, bool split = false) {
    HttpReply r;
    const auto start = std::chrono::steady_clock::now();
    const size_t step = split ? 1 : request.size();
    bool sent = fd >= 0;
    for (size_t at = 0; sent && at < request.size(); at += step)
        sent = send(fd, request.data() + at, step, MSG_NOSIGNAL) == ssize_t(step);
    std::string data;
    char buf[65536];
    ssize_t n = 1;
    while (sent && n > 0 && Readable(fd))
        if ((n = recv(fd, buf, sizeof buf, 0)) > 0)
            data.append(buf, size_t(n));
    r.closed = sent && n <= 0;
    r.ms = MsSince(start);
    const size_t end = data.find("\r\n\r\n");
    r.header = end == std::string::npos ? data : data.substr(0, end + 4);
    r.body = end == std::string::npos ? "" : data.substr(end + 4);
    if (fd >= 0)
        close(fd);
    return r;
}

inline HttpReply HttpAsk(int port, const std::string& request, bool split = false) {
    return HttpOver(RawConnect(port), request, split);
}

// A datagram socket bound to `address`:`at` (0: any port), closed with the object.
struct UdpPeer {
    int fd = -1;
    int port = 0;
    explicit UdpPeer(const std::string& address = "127.0.0.1", int at = 0) : fd(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in a = At(address, at);
        socklen_t len = sizeof a;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << address << ":" << at;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        int big = 4 << 20;  // room for a flood of replies
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    explicit UdpPeer(int adopted) : fd(adopted) {}
    ~UdpPeer() { close(fd); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;
    void SendTo(const sockaddr_in& to, const std::string& text) const {
        EXPECT_EQ(sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  ssize_t(text.size()));
    }
    void SendTo(int loopbackPort, const std::string& text) const { SendTo(Loopback(loopbackPort), text); }
    // The next datagram within timeoutMs and where it came from; "<nothing>" when none came.
    std::string Recv(sockaddr_in* from = nullptr, int timeoutMs = kWaitMs) const {
        char buf[65536];
        sockaddr_in a{};
        socklen_t len = sizeof a;
        const ssize_t n = Readable(fd, timeoutMs) ? recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&a), &len) : -1;
        if (from)
            *from = a;
        return n < 0 ? "<nothing>" : std::string(buf, size_t(n));
    }
    // Every datagram until quietMs pass without one.
    std::vector<std::string> Drain(int quietMs) const {
        std::vector<std::string> got;
        for (std::string d; (d = Recv(nullptr, quietMs)) != "<nothing>";)
            got.push_back(d);
        return got;
    }
};

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
