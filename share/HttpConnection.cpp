#include "share/HttpConnection.h"

#include <cinttypes>

#include <chrono>

#include "platform/ShareRoot.h"
#include "platform/Sleep.h"
#include "platform/TextCodec.h"
#include "platform/Trace.h"
#include "share/HttpText.h"

HttpConnection::HttpConnection() : m_strRoot(SHARE_ROOT) {}

HttpConnection::~HttpConnection() {
    // Both threads end before the file goes, so the pump never reads a
    // closed stream.
    Close();
    JoinThreads();
    m_pFile.reset();
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

// The file a request path names, or empty: the path as sent first, then
// once more percent-decoded (what browsers send for spaces, "#" and
// non-ASCII names).
std::string HttpConnection::FindFile(const std::string& rawPath) const {
    std::string file = ServableFile(m_strRoot, MapRequestPath(m_strRoot, Utf8ToAnsi(rawPath)));
    if (file.empty())
        file = ServableFile(m_strRoot, MapRequestPath(m_strRoot, Utf8ToAnsi(PercentDecode(rawPath))));
    return file;
}

void HttpConnection::Answer() {
    const std::string rawPath = GetRequestPath(m_strRequest);
    const int64_t rangeStart = GetRangeStart(m_strRequest);
    const bool headOnly = IsHeadRequest(m_strRequest);
    m_strPath = FindFile(rawPath);

    int64_t size = -1;
    if (!m_strPath.empty()) {
        size = GetFileSize(m_strPath);
        m_pFile.reset(std::fopen(m_strPath.c_str(), "rb"));
        // The pump's reads are already large; stdio's buffer would only add a copy.
        if (m_pFile)
            std::setvbuf(m_pFile.get(), nullptr, _IONBF, 0);
    }
    const int64_t remaining = size - rangeStart;

    std::string response;
    if (!m_pFile || size < 0 || remaining < 0 ||
        (rangeStart > 0 && fseeko(m_pFile.get(), static_cast<off_t>(rangeStart), SEEK_SET) != 0)) {
        m_pFile.reset();
        response = BuildListingResponse(m_strRoot);
    } else {
        response = AnsiToUtf8(BuildFileHeader(rangeStart, size));
    }
    if (headOnly) {
        // The header block a GET would get, and nothing after it.
        m_pFile.reset();
        response.resize(response.find("\r\n\r\n") + 4);
    }
    Send(reinterpret_cast<const uint8_t*>(response.data()), static_cast<int>(response.size()));
    // Publishes the opened file to the send thread.
    m_bResponded.store(true);
}

int HttpConnection::Send(const uint8_t* data, int len) {
    if (!data || len <= 0)
        return -1;
    return QueueBuff(std::make_unique<DataBuff>(data, len));
}

int HttpConnection::SendOnce() {
    if (!m_bResponded.load()) {
        // A connection closed before its answer must still end this thread.
        if (m_socket < 0)
            return -1;
        // A peer that never finishes its request must not hold two threads
        // for good.
        if (std::chrono::steady_clock::now() - m_tStart > std::chrono::milliseconds(m_nRequestTimeoutMs)) {
            DebugTrace("http request timed out\r\n");
            Close();
            return -1;
        }
        Sleep(HTTP_IDLE_POLL_MS);
        return 0;
    }
    if (QueuedCount() < HTTP_READ_AHEAD_MESSAGES && m_pFile &&
        !std::feof(m_pFile.get()) && !std::ferror(m_pFile.get())) {
        auto chunk = std::make_unique<DataBuff>(HTTP_FILE_READ_SIZE);
        size_t n = std::fread(chunk->pData.get(), 1, HTTP_FILE_READ_SIZE, m_pFile.get());
        chunk->nLen = static_cast<int>(n);
        QueueBuff(std::move(chunk));  // an empty read queues nothing
    }
    m_bMoreToCome = m_pFile && !std::feof(m_pFile.get()) && !std::ferror(m_pFile.get());
    return TcpConnection::SendOnce();
}
