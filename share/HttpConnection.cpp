#include "share/HttpConnection.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <algorithm>
#include <chrono>

#include "platform/ShareRoot.h"
#include "platform/TextCodec.h"
#include "platform/Trace.h"
#include "share/HttpText.h"

HttpConnection::HttpConnection() : m_strRoot(SHARE_ROOT) {}

HttpConnection::~HttpConnection() {
    // Both threads end before the file goes, so the pump never sends from a
    // closed (or reused) descriptor.
    Close();
    JoinThreads();
    m_file.reset();
}

void HttpConnection::SetRequestTimeout(int milliseconds) { m_nRequestTimeoutMs = milliseconds; }

int HttpConnection::SetRoot(const char* root) {
    if (!root)
        return -1;
    m_strRoot = root;
    return 0;
}

TcpConnection* HttpConnection::Clone() {
    auto* clone = new HttpConnection();
    clone->m_strRoot = m_strRoot;
    clone->m_nRequestTimeoutMs = m_nRequestTimeoutMs;
    return clone;
}

void HttpConnection::OnData(const uint8_t* data, int length) {
    if (!data || length <= 0)
        return;
    const char* text = reinterpret_cast<const char*>(data);
    DebugTrace("%" PRIxPTR ": \r\n%.*s\r\n", reinterpret_cast<uintptr_t>(this), length, text);
    m_strRequest.append(text, static_cast<size_t>(length));

    if (m_bResponded.load()) {
        DebugTrace("http请求出错!\r\n");
        Close();
        return;
    }
    if (m_strRequest.find("\r\n\r\n") == std::string::npos) {
        if (m_strRequest.size() > HTTP_MAX_HEADER_BYTES) {
            DebugTrace("http header too long\r\n");
            Close();
        }
        return;
    }
    Answer();
}

void HttpConnection::FileFd::reset(int fd) {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = fd;
}

int64_t HttpConnection::OpenFile(const std::string& rawPath) {
    struct stat st {};
    const std::string decoded = PercentDecode(rawPath);
    for (const std::string* path : {&rawPath, &decoded}) {
        if (path == &decoded && decoded == rawPath)
            break;
        m_strPath = MapRequestPath(m_strRoot, Utf8ToAnsi(*path));
        m_file.reset(OpenServableFile(m_strRoot, m_strPath, &st));
        if (m_file)
            return static_cast<int64_t>(st.st_size);
    }
    m_strPath.clear();
    return -1;
}

void HttpConnection::Answer() {
    std::string response;
    bool ownHost = true;
    const std::vector<std::string> hosts = GetHostHeaders(m_strRequest);
    if (!hosts.empty()) {
        const std::vector<std::string> names = OwnHostNames();
        for (const std::string& host : hosts)
            ownHost = ownHost && IsOwnHost(host, names);
    }
    if (!ownHost) {
        DebugTrace("http: Host not this machine, 403\r\n");
        response = BuildForbiddenResponse();
    } else {
        const std::string rawPath = GetRequestPath(m_strRequest);
        const int64_t rangeStart = GetRangeStart(m_strRequest);
        const bool headOnly = IsHeadRequest(m_strRequest);
        const int64_t size = OpenFile(rawPath);
        const int64_t remaining = size - rangeStart;
        if (!m_file || size < 0 || remaining < 0) {
            m_file.reset();
            response = BuildListingResponse(m_strRoot);
        } else {
            response = AnsiToUtf8(BuildFileHeader(rangeStart, size));
            m_nFileOffset = rangeStart;
            m_nFileEnd = size;
        }
        if (headOnly) {
            // The header block a GET would get, and nothing after it.
            m_file.reset();
            response.resize(response.find("\r\n\r\n") + 4);
        }
        m_bKeepAlive = WantsKeepAlive(m_strRequest);
    }
    Send(reinterpret_cast<const uint8_t*>(response.data()), static_cast<int>(response.size()));
    // Publishes the opened file to the send thread, which waits for this.
    m_bResponded.store(true);
    WakeSender();
}

int HttpConnection::Send(const uint8_t* data, int len) {
    if (!data || len <= 0)
        return -1;
    return QueueBuff(std::make_unique<DataBuff>(data, len));
}

int HttpConnection::SendOnce() {
    if (!m_bResponded.load()) {
        // A peer that never finishes its request must not hold two threads
        // for good.
        const auto deadline = m_tStart + std::chrono::milliseconds(m_nRequestTimeoutMs);
        if (WaitSendWork([this] { return m_bResponded.load(); }, deadline))
            return 0;
        // A connection closed before its answer must still end this thread.
        if (m_socket < 0)
            return -1;
        DebugTrace("http request timed out\r\n");
        Close();
        return -1;
    }
    // The header block first, whole; then the file behind it.
    m_bMoreToCome = m_file && !m_bFileDone;
    if (m_bMoreToCome && SendDrained())
        return PumpFile();
    if (!m_bMoreToCome && !m_bKeepAlive && SendDrained()) {
        // The answer is out whole: the peer reads to its end and closes.
        FinishSending();
        return -1;
    }
    return TcpConnection::SendOnce();
}

int HttpConnection::PumpFile() {
    if (m_socket < 0)
        return -1;
    const int64_t left = m_nFileEnd - m_nFileOffset;
    if (left <= 0) {
        // A file that grew since it was announced is sent up to its old size.
        m_bFileDone = true;
        return 0;
    }
    const int fd = SendThreadFd();
    if (!m_bNonBlocking) {
        // Each call takes what the socket has room for and returns; a full
        // socket is waited on between calls, not inside one.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        m_bNonBlocking = true;
    }
    off_t offset = static_cast<off_t>(m_nFileOffset);
    ssize_t n;
    do {
        n = sendfile(fd, m_file.get(), &offset, static_cast<size_t>(std::min(left, HTTP_SENDFILE_CHUNK)));
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        m_nFileOffset = static_cast<int64_t>(offset);
        NoteActivity();
        return 0;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        AwaitWritable(fd);
        return 0;
    }
    if (n < 0 && errno != EIO && errno != EINVAL && errno != ENOSYS && errno != EOVERFLOW && errno != ENOMEM) {
        if (errno == EPIPE)
            DropPendingSigpipe();
        SendFailed();  // the socket's error: the peer went away or Close shut it
        return -1;
    }
    // The file ended (truncated since it was opened) or cannot be read
    // before the Content-Length: the peer must not wait for the rest.
    DebugTrace("http: file ended early, connection closed\r\n");
    m_bFileDone = true;
    Close();
    return -1;
}
