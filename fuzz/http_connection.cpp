// One request per run through the real HTTP connection: its receive and send
// threads on one end of a socket pair, the harness as the client on the
// other. Whatever comes back must be the listing or a byte range of a file
// inside the share root; nothing from outside it, and no answer that stops
// short unless the client kept talking after its request.
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>

#include "ShareTree.h"
#include "share/HttpConnection.h"

namespace {

constexpr int kHangMs = 8000;  // far beyond one request on a loaded machine; only a hang gets there

// Every run starts and ends two threads. Under ASan a thread's cost grows
// with its stack (the shadow of it is cleared on exit) and freed blocks that
// never come back (the quarantine); both dwarf the request itself.
const bool kSmallThreads = [] {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_setattr_default_np(&attr);
    pthread_attr_destroy(&attr);
    return true;
}();

}  // namespace

extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:use_sigaltstack=0"; }

namespace {

// The real connection, watched: the harness learns when the request has
// been answered or the connection closed. Every wait is the class's own.
class Connection : public HttpConnection {
public:
    ~Connection() override {
        Close();
        JoinThreads();
    }
    void OnData(const uint8_t* data, int len) override {
        HttpConnection::OnData(data, len);
        std::lock_guard<std::mutex> lock(m_lock);
        m_nConsumed += len;
        m_bAnswered = m_bSent;
        m_changed.notify_all();
    }
    int Send(const uint8_t* data, int len) override {
        m_bSent = true;
        return HttpConnection::Send(data, len);
    }
    void OnClose() override {
        HttpConnection::OnClose();
        Wake();
    }
    void Close() override {
        HttpConnection::Close();
        Wake();
    }
    // Waits until the request has been answered, every byte was consumed or
    // the connection closed; false on a hang.
    bool WaitHandled(size_t size) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kHangMs), [&] {
            return m_bAnswered || m_bStop || m_nConsumed == size;
        });
    }
    bool Answered() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_bAnswered;
    }

private:
    void Wake() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bStop = true;
        m_changed.notify_all();
    }
    std::mutex m_lock;
    std::condition_variable m_changed;
    size_t m_nConsumed = 0;
    bool m_bSent = false;  // receive thread only
    bool m_bAnswered = false;
    bool m_bStop = false;
};

// Reads until the header block and the body it announces (none for HEAD) are
// in, or the server closes. False when it stays silent for kHangMs.
bool ReadAnswer(int fd, bool headOnly, std::string& out) {
    char buf[65536];
    for (;;) {
        size_t end = out.find("\r\n\r\n");
        if (end != std::string::npos) {
            size_t at = out.find("Content-Length: ");
            FUZZ_CHECK(at != std::string::npos && at < end);
            size_t length = headOnly ? 0 : std::strtoul(out.c_str() + at + 16, nullptr, 10);
            if (out.size() >= end + 4 + length) {
                FUZZ_CHECK(out.size() == end + 4 + length);
                return true;
            }
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kHangMs) != 1) {
            std::fprintf(stderr, "no complete answer within %d ms; got %zu bytes:\n%.300s\n", kHangMs,
                         out.size(), out.c_str());
            return false;
        }
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return true;
        out.append(buf, size_t(n));
    }
}

// The body of a file answer must be the file from the announced start.
void CheckBody(const std::string& answer) {
    const size_t end = answer.find("\r\n\r\n");
    if (end == std::string::npos)
        return;
    const std::string header = answer.substr(0, end + 4);
    const std::string body = answer.substr(end + 4);
    if (header.find("Content-Type: text/html") != std::string::npos)
        return;  // the listing: names only
    if (header.rfind("HTTP/1.1 403 Forbidden", 0) == 0) {  // a Host that is not this machine
        FUZZ_CHECK(body.empty());
        return;
    }
    size_t start = 0;
    if (header.rfind("HTTP/1.1 206", 0) == 0) {
        size_t at = header.find("Content-Range: bytes ");
        FUZZ_CHECK(at != std::string::npos);
        start = std::strtoul(header.c_str() + at + 21, nullptr, 10);
    } else {
        FUZZ_CHECK(header.rfind("HTTP/1.1 200", 0) == 0);
    }
    bool matches = false;
    for (const auto& [path, content] : sharetree::InsideFiles())
        matches = matches || (start <= content.size() && content.compare(start, body.size(), body) == 0 &&
                              body.size() <= content.size() - start);
    FUZZ_CHECK(matches);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string root = sharetree::Make();
    int fds[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    auto* conn = new Connection;
    conn->SetRoot(root.c_str());
    conn->Attach(fds[1]);
    FUZZ_CHECK(size == 0 || send(fds[0], data, size, MSG_NOSIGNAL) == ssize_t(size));
    FUZZ_CHECK(conn->WaitHandled(size));

    std::string answer;
    if (conn->Answered()) {
        const std::string request(reinterpret_cast<const char*>(data), size);
        const bool headOnly = request.rfind("HEAD ", 0) == 0;
        const bool read = ReadAnswer(fds[0], headOnly, answer);
        if (!read)
            std::fprintf(stderr, "connection: %d messages queued, receive thread %s, send thread %s\n",
                         conn->QueuedCount(), conn->IsRecvRunning() ? "running" : "ended",
                         conn->IsSendRunning() ? "running" : "ended");
        FUZZ_CHECK(read);
        // An answer stops short only when the client went on sending.
        const size_t requestEnd = request.find("\r\n\r\n");
        FUZZ_CHECK(requestEnd != std::string::npos);
        if (request.size() == requestEnd + 4) {
            const size_t end = answer.find("\r\n\r\n");
            FUZZ_CHECK(end != std::string::npos);
            const size_t at = answer.find("Content-Length: ");
            const size_t body = headOnly ? 0 : std::strtoul(answer.c_str() + at + 16, nullptr, 10);
            FUZZ_CHECK(answer.size() == end + 4 + body);
        }
    } else {
        char byte;
        FUZZ_CHECK(recv(fds[0], &byte, 1, MSG_DONTWAIT) <= 0);
    }
    FUZZ_CHECK(answer.find(sharetree::kSecret) == std::string::npos);
    CheckBody(answer);
    delete conn;
    close(fds[0]);
    return 0;
}
