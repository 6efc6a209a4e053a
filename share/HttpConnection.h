#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "stream/TcpConnection.h"

// Bytes the pump hands to one sendfile call at most; the kernel copies them
// from the page cache to the socket without passing through this process.
// A call takes what the socket has room for and returns, so the peer is
// fed in steps this size (a 1 MiB call that waited for room inside ran one
// download at 0.8x of a server sending this way).
inline constexpr int64_t HTTP_SENDFILE_CHUNK = 256 << 10;
// A connection without a complete request after this long is closed.
inline constexpr int HTTP_REQUEST_TIMEOUT_MS = 60000;

// One HTTP request per connection: a readable file under the document root
// is sent (from the start of a byte range if one is asked for), anything
// else gets the XHTML listing of the catalogue. HEAD gets the header block
// alone. A Host that names something other than this machine gets "403
// Forbidden" (a page on another name must not read the share through the
// browser). The file is opened once, beneath the root (ShareRoot.h), and
// the descriptor that was checked is the one sent from. The header block
// goes through the send queue; once it is out whole the file follows with
// sendfile(2) on the socket made non-blocking, never past the Content-Length
// announced, waiting between calls while the socket is full; Close (a
// shutdown of the socket) ends that wait. A file that ends early ends the
// connection. Once the answer is out the connection is shut down for
// writing, unless the client asked to keep it.
//
// Threads: SetRoot and Clone on the owner's thread before the connection
// runs (the server clones its prototype on its accept thread). OnData runs on
// the receive thread, SendOnce on the send thread; Send may be called from
// any thread. The destructor joins both threads first.
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
    // Queues a copy without back-pressure (only the header block or the
    // listing is ever queued); -1 without a socket.
    int Send(const uint8_t* data, int len) override;
    // Before the answer: waits for it, the close or the request timeout.
    // After: sends what is queued, then pumps the file.
    int SendOnce() override;

private:
    // An open descriptor of the file being served, closed with the object.
    class FileFd {
    public:
        FileFd() = default;
        FileFd(const FileFd&) = delete;
        FileFd& operator=(const FileFd&) = delete;
        ~FileFd() { reset(); }
        void reset(int fd = -1);
        int get() const { return m_fd; }
        explicit operator bool() const { return m_fd >= 0; }

    private:
        int m_fd = -1;
    };

    void Answer();
    // Opens the regular file a request path names into m_file (the path as
    // sent, then once more percent-decoded); its size, or -1.
    int64_t OpenFile(const std::string& rawPath);
    // One sendfile call, or the wait for room after a call the full socket
    // refused: 0 to go on, -1 once the socket failed or the file ended
    // before the Content-Length.
    int PumpFile();

    FileFd m_file;
    int64_t m_nFileOffset = 0;  // send thread, once m_bResponded
    int64_t m_nFileEnd = 0;     // the offset the Content-Length ends at
    bool m_bFileDone = false;   // send thread
    bool m_bNonBlocking = false;  // send thread: the pump made the socket so
    bool m_bKeepAlive = false;  // written before m_bResponded
    std::string m_strRequest;
    std::string m_strPath;
    std::string m_strRoot;
    std::atomic<bool> m_bResponded {false};
    int m_nRequestTimeoutMs = HTTP_REQUEST_TIMEOUT_MS;
    // A clone is made as its socket is accepted.
    const std::chrono::steady_clock::time_point m_tStart = std::chrono::steady_clock::now();
};
