#include "stream/TcpConnection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Sleep.h"
#include "platform/Trace.h"
#include "platform/ThreadName.h"

namespace {

// Requests and answers are small and go one at a time: with Nagle's
// algorithm a package waits for the peer's delayed ACK (tens of ms) before
// it leaves, which caps a connection far below what the sender can serve.
void SetNoDelay(int fd) {
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0)
        DebugTrace("TCP_NODELAY not set: errno %d\r\n", errno);
}

} // namespace

TcpConnection::TcpConnection() = default;

TcpConnection::~TcpConnection() {
    Close();
    JoinThreads();
    ReleaseSendBuffers();
    ShutdownFd();
}

void TcpConnection::OnClose() { m_bClosed = true; }

void TcpConnection::OnConnect() { m_bConnected = true; }

bool TcpConnection::OnReceiveThread() const {
    return std::this_thread::get_id() == m_recvThreadId.load();
}

int TcpConnection::Connect(const char* host, int port) {
    if (!host || port <= 0 || port > 65535)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        DebugTrace("connect failt!");
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        close(fd);
        m_socket = 0;
        DebugTrace("connect failt!");
        return -1;
    }
    DebugTrace("connect ok!");
    SetNoDelay(fd);
    m_socket = fd;
    m_bConnected = true;
    OnConnect();
    StartThreads(fd);
    return 0;
}

void TcpConnection::Attach(int socket) {
    DebugTrace("Accept \r\n");
    m_bConnected = true;
    m_socket = socket;
    if (socket > 0) {
        SetNoDelay(socket);
        StartThreads(socket);
    }
    OnConnect();
}

void TcpConnection::StartThreads(int fd) {
    {
        std::lock_guard<std::mutex> lock(m_fdMutex);
        m_fd = fd;
        m_nFdUsers = 2;
        m_bFdShut = false;
    }
    m_bRecvRunning = true;
    m_bSendRunning = true;
    m_recvThread = std::thread(&TcpConnection::RecvThread, this);
    m_sendThread = std::thread(&TcpConnection::SendThread, this);
    NameThread(m_recvThread, "tcp-recv");
    NameThread(m_sendThread, "tcp-send");
}

void TcpConnection::ShutdownFd() {
    std::lock_guard<std::mutex> lock(m_fdMutex);
    if (m_fd < 0)
        return;
    if (!m_bFdShut) {
        shutdown(m_fd, SHUT_RDWR);  // wakes a receive blocked on it
        m_bFdShut = true;
    }
    if (m_nFdUsers == 0) {
        close(m_fd);
        m_fd = -1;
    }
}

void TcpConnection::LeaveFd() {
    std::lock_guard<std::mutex> lock(m_fdMutex);
    if (--m_nFdUsers == 0 && m_bFdShut && m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

void TcpConnection::NotifyClose() {
    if (!m_bCloseNotified.exchange(true))
        OnClose();
}

void TcpConnection::RecvThread() {
    m_recvThreadId = std::this_thread::get_id();
    int fd;
    {
        std::lock_guard<std::mutex> lock(m_fdMutex);
        fd = m_fd;
    }
    uint8_t buf[kRecvChunk] = {};
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        OnData(buf, int(n));
    }
    NotifyClose();
    ShutdownFd();
    m_socket = -1;
    LeaveFd();
    m_bRecvRunning = false;
    DebugTrace("_RecvThread End\r\n");
}

void TcpConnection::SendThread() {
    while (SendOnce() >= 0) {
    }
    DebugTrace("SendThread End\r\n");
    LeaveFd();
    m_bSendRunning = false;
    ReleaseSendBuffers();
}

int TcpConnection::SendOnce() {
    if (m_pSending && m_pSending->IsDone())
        m_pSending.reset();
    if (!m_pSending) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_sendQueue.empty()) {
            m_pSending = std::move(m_sendQueue.front());
            m_sendQueue.pop_front();
        }
    }
    // The chunk is sent straight from the queued block: no staging copy.
    int n = 0;
    const uint8_t* chunk = m_pSending ? m_pSending->Take(kSendChunk, n) : nullptr;
    if (m_socket <= 0)
        return -1;
    int fd;
    {
        std::lock_guard<std::mutex> lock(m_fdMutex);
        fd = m_fd;
    }
    if (n <= 0) {
        // What was held back for more that did not come goes out now
        // (setting TCP_NODELAY pushes pending segments).
        if (m_bCorked) {
            SetNoDelay(fd);
            m_bCorked = false;
        }
        Sleep(kSendIdleMs);
        return 0;
    }
    // While more bytes wait, let the kernel fill whole segments instead of
    // pushing one per chunk; the last chunk of a burst goes out at once.
    int flags = MSG_NOSIGNAL;
    if (m_bMoreToCome || !m_pSending->IsDone() || QueuedCount() > 0)
        flags |= MSG_MORE;
    m_bCorked = (flags & MSG_MORE) != 0;
    for (int sent = 0; sent < n;) {
        ssize_t rc = send(fd, chunk + sent, size_t(n - sent), flags);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0) {
            NotifyClose();
            m_socket = 0;
            ShutdownFd();
            return -1;
        }
        sent += int(rc);
    }
    return 0;
}

int TcpConnection::Send(const uint8_t* data, int len) {
    if (!data || len <= 0 || m_socket <= 0)
        return -1;
    return SendBuff(std::make_unique<DataBuff>(data, len));
}

int TcpConnection::SendBuff(std::unique_ptr<DataBuff> buff) {
    if (!buff || buff->nLen <= 0 || m_socket <= 0)
        return -1;
    int queued = QueuedCount();
    if (queued > kQueueSoftLimit)
        Sleep(kSoftPauseMs);
    if (queued > kQueueHardLimit)
        Sleep(kHardPauseMs);
    if (queued > kQueueMax)
        return -1;
    return QueueBuff(std::move(buff));
}

int TcpConnection::QueueBuff(std::unique_ptr<DataBuff> buff) {
    if (!buff || buff->nLen <= 0 || m_socket <= 0)
        return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sendQueue.push_back(std::move(buff));
    return 0;
}

int TcpConnection::QueuedCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_sendQueue.size());
}

void TcpConnection::Close() {
    m_bConnected = false;
    if (m_socket.exchange(0) != 0)
        ShutdownFd();
    ReleaseSendBuffers();
}

void TcpConnection::JoinThreads() {
    Close();
    // A thread cannot join itself; its owner joins it later.
    if (m_recvThread.joinable() && m_recvThread.get_id() != std::this_thread::get_id())
        m_recvThread.join();
    if (m_sendThread.joinable() && m_sendThread.get_id() != std::this_thread::get_id())
        m_sendThread.join();
}

void TcpConnection::ReleaseSendBuffers() {
    DebugTrace("release \r\n");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sendQueue.clear();
    if (!m_bRecvRunning && !m_bSendRunning)
        m_pSending.reset();
}
