#include "stream/TcpConnection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "platform/Sleep.h"
#include "platform/Trace.h"
#include "platform/ThreadName.h"

namespace {

// Bytes in the send queues of all connections (each also keeps its own count).
std::atomic<int64_t> g_nAllQueuedBytes{0};

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
    // Non-blocking, so that an unreachable host never holds the caller (the
    // window's thread among them) for the kernel's two-minute time-out.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0 && errno == EINPROGRESS) {
        // On loopback the answer is usually there already.
        pollfd p{fd, POLLOUT, 0};
        rc = poll(&p, 1, 0) == 1 ? 0 : 1;
    }
    if (rc == 0 && !FinishConnect(fd)) {
        close(fd);
        return -1;
    }
    if (rc < 0) {
        close(fd);
        DebugTrace("connect failt!");
        return -1;
    }
    m_socket = fd;
    m_bConnected = true;
    m_bConnecting = rc > 0;
    if (!m_bConnecting)
        OnConnect();
    if (!StartThreads(fd)) {
        m_bConnecting = false;
        return -1;
    }
    return 0;
}

// The end of a non-blocking connect: waits up to kConnectTimeoutMs for its
// outcome. Close shuts the socket down, which ends the wait at once.
bool TcpConnection::FinishConnect(int fd) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    for (;;) {
        if (m_bConnecting && m_socket < 0) {
            DebugTrace("connect failt!");
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLOUT, 0};
        int rc = left > 0 ? poll(&p, 1, int(left)) : 0;
        if (rc == 1)
            break;
        if ((rc < 0 && errno != EINTR) || left <= 0) {
            DebugTrace("connect failt!");
            return false;
        }
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        DebugTrace("connect failt!");
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    DebugTrace("connect ok!");
    SetNoDelay(fd);
    return true;
}

bool TcpConnection::Attach(int socket) {
    DebugTrace("Accept \r\n");
    m_bConnected = true;
    m_socket = socket;
    bool started = socket >= 0;
    if (started) {
        SetNoDelay(socket);
        started = StartThreads(socket);
    }
    OnConnect();
    return started;
}

bool TcpConnection::StartThreads(int fd) {
    NoteActivity();
    {
        std::lock_guard<std::mutex> lock(m_fdMutex);
        m_fd = fd;
        m_nFdUsers = 2;
        m_bFdShut = false;
    }
    // Out of threads (a task limit, memory): this one connection ends, the
    // caller and its process go on.
    m_bRecvRunning = true;
    try {
        m_recvThread = std::thread(&TcpConnection::RecvThread, this);
    } catch (const std::system_error&) {
        DebugTrace("no thread for a connection\r\n");
        m_bRecvRunning = false;
        m_bConnecting = false;
        NotifyClose();
        m_socket = -1;
        LeaveFd();
        ShutdownFd();
        LeaveFd();
        return false;
    }
    NameThread(m_recvThread, "tcp-recv");
    m_bSendRunning = true;
    try {
        m_sendThread = std::thread(&TcpConnection::SendThread, this);
    } catch (const std::system_error&) {
        DebugTrace("no thread for a connection\r\n");
        m_bSendRunning = false;
        Close();  // the receive thread wakes and ends the connection
        LeaveFd();
        return false;
    }
    NameThread(m_sendThread, "tcp-send");
    return true;
}

void TcpConnection::ShutdownFd() {
    {
        std::lock_guard<std::mutex> lock(m_fdMutex);
        if (m_fd < 0)
            return;
        if (!m_bFdShut) {
            shutdown(m_fd, SHUT_RDWR);  // wakes a receive or send blocked on it
            m_bFdShut = true;
        }
        if (m_nFdUsers == 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    WakeSender();  // one waiting for work
}

void TcpConnection::WakeSender() { m_sendWake.Notify(); }

bool TcpConnection::SendDrained() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sendQueue.empty() && (!m_pSending || m_pSending->IsDone()) && !m_bCallerWriting;
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
    bool connected = true;
    if (m_bConnecting) {
        connected = FinishConnect(fd);
        if (!connected)
            m_socket = -1;  // before the send thread may look at the socket
        m_bConnecting = false;
        WakeSender();  // it waits for the connect's outcome
        if (connected)
            OnConnect();
    }
    NoteActivity();
    while (connected) {
        if (!AwaitData(fd)) {
            DebugTrace("idle connection closed\r\n");
            break;
        }
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A derived pump made the socket non-blocking: wait here (AwaitData
            // waits when there is an idle limit).
            if (m_nIdleTimeoutMs <= 0) {
                pollfd p{fd, POLLIN, 0};
                poll(&p, 1, -1);
            }
            continue;
        }
        if (n <= 0)
            break;
        NoteActivity();
        OnData(buf, int(n));
    }
    NotifyClose();
    m_socket = -1;  // before the shutdown wakes the send thread to look
    ShutdownFd();
    LeaveFd();
    m_bRecvRunning = false;
    DebugTrace("_RecvThread End\r\n");
}

void TcpConnection::NoteActivity() {
    m_nLastActivityNs = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

bool TcpConnection::AwaitData(int fd) {
    if (m_nIdleTimeoutMs <= 0)
        return true;
    const auto timeout = std::chrono::milliseconds(m_nIdleTimeoutMs);
    for (;;) {
        const auto last = Clock::time_point(std::chrono::nanoseconds(m_nLastActivityNs.load()));
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(last + timeout - Clock::now());
        // While an answer is still going out the connection is not idle; it
        // is looked at again a while later.
        const bool sendIdle = m_bSendWaiting || !m_bSendRunning;
        if (left.count() <= 0 && sendIdle)
            return false;
        const int wait = int(left.count() > 0 ? left.count() : m_nIdleTimeoutMs / 4 + 1);
        pollfd p{fd, POLLIN, 0};
        const int rc = poll(&p, 1, wait);
        if (rc != 0 && !(rc < 0 && errno == EINTR))
            return true;  // data, the peer's close or an error: recv tells which
    }
}

void TcpConnection::SetKeepAlive(int milliseconds, std::vector<uint8_t> message) {
    m_nKeepAliveMs = message.empty() ? 0 : milliseconds;
    m_keepAlive = std::move(message);
}

void TcpConnection::FinishSending() {
    std::lock_guard<std::mutex> lock(m_fdMutex);
    if (m_fd >= 0 && !m_bFdShut)
        shutdown(m_fd, SHUT_WR);
}

void TcpConnection::SendThread() {
    // A peer that goes away must not end the process: send says so with
    // MSG_NOSIGNAL, a derived pump's sendfile cannot, so this thread keeps
    // SIGPIPE blocked (DropPendingSigpipe takes what is raised).
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    while (SendOnce() >= 0) {
    }
    DebugTrace("SendThread End\r\n");
    LeaveFd();
    m_bSendRunning = false;
    ReleaseSendBuffers();
}

int TcpConnection::SendOnce() {
    if (!m_pSending || m_pSending->IsDone()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pSending.reset();
        m_bThreadWriting = false;
        // A caller writing at once goes first: what it leaves is queued in front.
        if (!m_sendQueue.empty() && !m_bCallerWriting) {
            m_pSending = std::move(m_sendQueue.front());
            m_sendQueue.pop_front();
            m_nQueuedBytes -= m_pSending->nLen;
            g_nAllQueuedBytes -= m_pSending->nLen;
            m_bThreadWriting = true;
        }
    }
    // The chunk is sent straight from the queued block: no staging copy.
    int n = 0;
    if (m_socket < 0)
        return -1;
    if (m_bConnecting) {
        // Messages queued meanwhile wait for the connect's outcome.
        WaitSendWork([this] { return !m_bConnecting; });
        return 0;
    }
    const uint8_t* chunk = m_pSending ? m_pSending->Take(kSendChunk, n) : nullptr;
    const int fd = SendThreadFd();
    if (n <= 0) {
        // What was held back for more that did not come goes out now
        // (setting TCP_NODELAY pushes pending segments).
        if (m_bCorked) {
            SetNoDelay(fd);
            m_bCorked = false;
        }
        // A derived pump with bytes of its own to send does not wait here.
        if (!m_bMoreToCome) {
            // Callers writing at once note their activity without waking
            // this thread, so the keep-alive's time is read again on waking.
            const auto keepAliveAt = [this] {
                return Clock::time_point(std::chrono::nanoseconds(m_nLastActivityNs.load())) +
                       std::chrono::milliseconds(m_nKeepAliveMs);
            };
            const auto deadline = m_nKeepAliveMs > 0 ? keepAliveAt() : Clock::time_point::max();
            const bool work = WaitSendWork([this] { return !m_sendQueue.empty() && !m_bCallerWriting; }, deadline);
            if (!work && m_nKeepAliveMs > 0 && m_socket >= 0 && Clock::now() >= keepAliveAt())
                QueueBuff(std::make_unique<DataBuff>(m_keepAlive.data(), int(m_keepAlive.size())));
        }
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
        if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            AwaitWritable(fd);
            continue;
        }
        if (rc <= 0) {
            SendFailed();
            return -1;
        }
        sent += int(rc);
        NoteActivity();
    }
    if (m_pSending->IsDone()) {
        // Out whole: the next message may be written by its caller at once.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pSending.reset();
        m_bThreadWriting = false;
    }
    return 0;
}

void TcpConnection::AwaitWritable(int fd) {
    pollfd p{fd, POLLOUT, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
}

void TcpConnection::DropPendingSigpipe() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec none{0, 0};
    while (sigtimedwait(&pipe, nullptr, &none) > 0) {
    }
}

int TcpConnection::SendThreadFd() {
    std::lock_guard<std::mutex> lock(m_fdMutex);
    return m_fd;
}

void TcpConnection::SendFailed() {
    NotifyClose();
    m_socket = -1;
    ShutdownFd();
}

int TcpConnection::Send(const uint8_t* data, int len) {
    if (!data || len <= 0 || m_socket < 0 || AdmitSend(len) < 0)
        return -1;
    const int sent = WriteNow(data, len);
    if (sent < 0)
        return QueueBuff(std::make_unique<DataBuff>(data, len));
    ReleaseWriter(sent < len ? std::make_unique<DataBuff>(data + sent, len - sent) : nullptr);
    return 0;
}

int TcpConnection::SendBuff(std::unique_ptr<DataBuff> buff) {
    if (!buff || buff->nLen <= 0 || m_socket < 0 || AdmitSend(buff->nLen) < 0)
        return -1;
    int n = 0;
    const uint8_t* rest = buff->Take(0, n);
    const int sent = WriteNow(rest, buff->nLen - buff->nPos);
    if (sent < 0)
        return QueueBuff(std::move(buff));
    buff->Take(sent, n);
    ReleaseWriter(buff->IsDone() ? nullptr : std::move(buff));
    return 0;
}

int TcpConnection::AdmitSend(int len) {
    int queued = QueuedCount();
    if (queued > kQueueSoftLimit)
        Sleep(kSoftPauseMs);
    if (queued > kQueueHardLimit)
        Sleep(kHardPauseMs);
    // A peer that never reads must not make us hold its answers without end.
    const int64_t own = QueuedBytes() + len;
    if (queued > kQueueMax || own > kQueueMaxBytes ||
        (own > kQueueFairBytes && AllQueuedBytes() + len > kAllQueuesMaxBytes))
        return -1;
    return 0;
}

int TcpConnection::WriteNow(const uint8_t* data, int len) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_socket < 0 || m_bConnecting || m_bThreadWriting || m_bCallerWriting || !m_sendQueue.empty())
            return -1;
        m_bCallerWriting = true;
    }
    int sent = 0;
    const int fd = EnterFd();
    if (fd >= 0) {
        // The pieces the send thread would send; a full socket (or an error,
        // which the send thread then meets and reports) leaves the rest to it.
        while (sent < len) {
            const int n = std::min(len - sent, kSendChunk);
            const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (sent + n < len ? MSG_MORE : 0);
            const ssize_t rc = send(fd, data + sent, size_t(n), flags);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc <= 0)
                break;
            sent += int(rc);
        }
        LeaveFd();
    }
    if (sent > 0)
        NoteActivity();
    return sent;
}

void TcpConnection::ReleaseWriter(std::unique_ptr<DataBuff> rest) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bCallerWriting = false;
        if (rest && m_socket >= 0)
            QueueLocked(std::move(rest), true);
        wake = !m_sendQueue.empty();
    }
    if (wake)
        m_sendWake.Wake();
}

int TcpConnection::EnterFd() {
    std::lock_guard<std::mutex> lock(m_fdMutex);
    if (m_fd < 0 || m_bFdShut)
        return -1;
    ++m_nFdUsers;
    return m_fd;
}

void TcpConnection::QueueLocked(std::unique_ptr<DataBuff> buff, bool front) {
    m_nQueuedBytes += buff->nLen;
    g_nAllQueuedBytes += buff->nLen;
    if (front)
        m_sendQueue.push_front(std::move(buff));
    else
        m_sendQueue.push_back(std::move(buff));
}

int TcpConnection::QueueBuff(std::unique_ptr<DataBuff> buff) {
    if (!buff || buff->nLen <= 0 || m_socket < 0)
        return -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        QueueLocked(std::move(buff), false);
    }
    m_sendWake.Wake();
    return 0;
}

int TcpConnection::QueuedCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_sendQueue.size());
}

int64_t TcpConnection::QueuedBytes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nQueuedBytes;
}

int64_t TcpConnection::AllQueuedBytes() { return g_nAllQueuedBytes; }

void TcpConnection::Close() {
    m_bConnected = false;
    if (m_socket.exchange(-1) >= 0)
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
    g_nAllQueuedBytes -= m_nQueuedBytes;
    m_nQueuedBytes = 0;
    if (!m_bRecvRunning && !m_bSendRunning) {
        m_pSending.reset();
        m_bThreadWriting = false;
    }
    m_sendWake.Wake();  // a Close: the send thread looks at the socket
}
