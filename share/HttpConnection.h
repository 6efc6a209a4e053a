#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "stream/TcpConnection.h"

// How many file reads may wait in the send queue ahead of the socket.
inline constexpr int HTTP_READ_AHEAD_MESSAGES = 4;
// Bytes per file read of the pump.
inline constexpr int HTTP_FILE_READ_SIZE = 10240;
// Idle poll of the send thread before the answer is queued.
inline constexpr int HTTP_IDLE_POLL_MS = 10;
// A connection without a complete request after this long is closed.
inline constexpr int HTTP_REQUEST_TIMEOUT_MS = 60000;

// One HTTP request per connection: a readable file under the document root
// is sent (from the start of a byte range if one is asked for), anything
// else gets the XHTML listing of the catalogue. HEAD gets the header block
// alone.
//
// Threads: SetRoot and Clone on the owner's thread before the connection
// runs (the server clones its prototype on its accept thread). OnData runs on
// the receive thread, SendOnce on the send thread; Send (inherited) may be
// called from any thread. The destructor joins both threads first.
class HttpConnection : public TcpConnection {
public:
    HttpConnection();
    ~HttpConnection() override;

    // Returns -1 when given no text, else 0.
    int SetRoot(const char* root);
    const std::string& Root() const { return m_strRoot; }
    // Replaces HTTP_REQUEST_TIMEOUT_MS; copied to every clone.
    void SetRequestTimeout(int milliseconds);

    TcpConnection* Clone() override;
    void OnData(const uint8_t* data, int len) override;
    // Queues a copy without back-pressure (the pump bounds the queue itself);
    // -1 without a socket.
    int Send(const uint8_t* data, int len) override;
    // Pumps the file, at most HTTP_READ_AHEAD_MESSAGES reads ahead of the
    // socket, each read straight into its send-queue block.
    int SendOnce() override;

private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };

    void Answer();
    std::string FindFile(const std::string& rawPath) const;

    std::unique_ptr<std::FILE, FileCloser> m_pFile;
    std::string m_strRequest;
    std::string m_strPath;
    std::string m_strRoot;
    std::atomic<bool> m_bResponded {false};
    int m_nRequestTimeoutMs = HTTP_REQUEST_TIMEOUT_MS;
    // A clone is made as its socket is accepted.
    const std::chrono::steady_clock::time_point m_tStart = std::chrono::steady_clock::now();
};
