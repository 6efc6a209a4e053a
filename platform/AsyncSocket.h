#pragma once
#include <string>

// A non-blocking datagram socket whose owner learns of incoming data from its
// own event loop: the socket exposes its descriptor (Fd) and the owner calls
// OnReceive when the descriptor is readable (a PollLoop in the headless
// server, a QSocketNotifier in the window). No thread is created here.
//
// Threads: every member is called on the owner's event-loop thread, the one
// that called Create. The object is not shared between threads.
class CAsyncSocket {
public:
    CAsyncSocket() = default;
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;
    virtual ~CAsyncSocket();

    // Creates an IPv4 datagram socket bound to `port` (0: an ephemeral port)
    // on every local address, or on `address` when given. Returns false when
    // the socket cannot be created or bound; the object then stays unusable.
    bool Create(unsigned port, const char* address = nullptr);
    void Close();

    // The descriptor to watch for readability, or -1.
    int Fd() const { return m_fd; }
    // The bound port (useful after binding port 0), or 0 without a socket.
    unsigned LocalPort() const;

    // Reads one datagram of at most `capacity` bytes. Returns its length,
    // filling in the sender's dotted address and port; -1 when nothing is
    // waiting, on an error, or when the datagram did not fit (it is dropped).
    int ReceiveFrom(void* buffer, int capacity, std::string& fromAddress, unsigned& fromPort);
    // The same, also giving the address the datagram was sent to (a
    // broadcast address, say), or "" when the system did not say.
    int ReceiveFrom(void* buffer, int capacity, std::string& fromAddress, unsigned& fromPort,
                    std::string& toAddress);
    // Sends one datagram to `host` (dotted address or name) and `port`.
    // Returns the bytes sent or -1.
    int SendTo(const void* data, int length, unsigned port, const std::string& host);

    // Notifications, called by the owner's event loop.
    virtual void OnReceive(int errorCode);
    virtual void OnSend(int errorCode);

private:
    int m_fd = -1;
};
