#pragma once
// One connected TCP socket with a receive thread and a send thread.
//
// The receive thread reads chunks of at most kRecvChunk bytes and hands each
// to OnData; the send thread drains a bounded queue of private copies in
// pieces of at most kSendChunk bytes. Connections come from Connect (client
// side) or from a TcpServer, which clones a prototype and Attaches the
// accepted socket.
//
// A message sent while nothing is queued or being sent is written at once on
// the caller's thread, in the same pieces, as far as the socket takes it
// without blocking; only what it does not take is queued for the send
// thread. A request and its answer then cost no thread switch, and the send
// thread is left for a peer that reads slower than we write.
//
// Neither thread polls: the receive thread blocks in recv, the send thread
// blocks in send or waits on m_sendWake for a queued message, the end of a
// pending connect or the close. Whatever changes what the send thread waits
// for notifies it (WakeSender), so no wake-up is lost.
//
// Threads:
//  - Connect, Attach: the owner's thread, once, before anything else.
//  - Send: any thread (it may write on the caller's thread, never blocking).
//  - Close, IsClosed, IsConnected, QueuedCount, thread queries: any thread.
//  - JoinThreads, ReleaseSendBuffers: any thread except the connection's own
//    receive and send threads (they are what gets joined).
//  - OnData (and OnPackage of PkgConnection) run on the receive thread;
//    OnClose runs on the receive thread or, after a send error, on the send
//    thread, at most once per connection; SendOnce runs on the send thread.
//
// Destruction: every concrete class calls JoinThreads() first in its own
// destructor, so no thread runs a virtual of a half-destroyed object.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/Package.h"
#include "platform/WakeSignal.h"

class TcpConnection {
public:
    static constexpr int kRecvChunk = 1024;      // bytes per receive
    static constexpr int kSendChunk = 10240;     // bytes per send call
    static constexpr int kQueueSoftLimit = 1000; // above: Send pauses kSoftPauseMs
    static constexpr int kSoftPauseMs = 1;
    static constexpr int kQueueHardLimit = 1500; // above: Send pauses kHardPauseMs more
    static constexpr int kHardPauseMs = 50;
    static constexpr int kQueueMax = 2000;       // above: Send refuses
    static constexpr int64_t kQueueMaxBytes = 32 << 20;  // above: Send refuses too
    // The queues of all connections together: above this, Send refuses a
    // connection that holds more than kQueueFairBytes, so peers that never
    // read cannot add up to the whole memory, nor stall one that reads.
    static constexpr int64_t kAllQueuesMaxBytes = 128 << 20;
    static constexpr int64_t kQueueFairBytes = 1 << 20;
    static constexpr int kConnectTimeoutMs = 3000;       // a connect gives up after this

    TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // ---- virtual operations, in this order ----
    // A new default-constructed connection of the same concrete class, owned by the caller.
    virtual TcpConnection* Clone() = 0;
    virtual ~TcpConnection();
    virtual void OnData(const uint8_t* data, int len) = 0;
    // The connection has ended: sets the closed flag.
    virtual void OnClose();
    virtual void OnConnect();
    // Queues a copy: 0 when queued, -1 when refused (no socket, queue full, no data).
    virtual int Send(const uint8_t* data, int len);
    // Ends the socket; both threads then stop. Queued messages are freed.
    virtual void Close();
    // One pass of the send thread: 0 to go on, -1 to stop.
    virtual int SendOnce();

    // host is a dotted IPv4 address. -1 when the address is bad or the peer
    // refuses at once; otherwise 0, and a connect the kernel cannot finish at
    // once completes on the receive thread within kConnectTimeoutMs (messages
    // sent meanwhile wait in the queue). A connect that fails there ends the
    // connection, so later Sends return -1.
    int Connect(const char* host, int port);
    // Takes over an accepted socket (descriptor 0 included) and starts both
    // threads. When a thread cannot be started the socket is closed, the
    // connection ends at once and false is returned.
    bool Attach(int socket);
    // Close, then wait for the receive thread and the send thread.
    void JoinThreads();
    // Frees queued messages; the one being sent too once both threads are gone.
    void ReleaseSendBuffers();
    // Before Attach or Connect. A connection on which nothing has been
    // received or sent for `milliseconds`, with nothing left to send, is
    // closed (0: never). A send blocked on a peer that does not read is not
    // idle.
    void SetIdleTimeout(int milliseconds) { m_nIdleTimeoutMs = milliseconds; }
    // Before Attach or Connect. After `milliseconds` without a send, the send
    // thread queues `message`, so that a quiet peer keeps the connection.
    void SetKeepAlive(int milliseconds, std::vector<uint8_t> message);
    // The peer's address as the listener saw it ("" for Connect); set by
    // the listener before Attach.
    void SetPeerAddress(const std::string& peer) { m_strPeer = peer; }
    const std::string& PeerAddress() const { return m_strPeer; }

    bool IsClosed() const { return m_bClosed; }
    bool IsConnected() const { return m_bConnected; }
    bool IsRecvRunning() const { return m_bRecvRunning; }
    bool IsSendRunning() const { return m_bSendRunning; }
    int QueuedCount();
    int64_t QueuedBytes();
    // Bytes queued on every connection of the process; any thread.
    static int64_t AllQueuedBytes();

protected:
    bool OnReceiveThread() const;
    // Send for a block the caller has already filled (no second copy):
    // the same checks and back-pressure, then the block is written at once
    // or queued as Send does.
    int SendBuff(std::unique_ptr<DataBuff> buff);
    // Appends to the send queue without back-pressure; -1 without a socket.
    int QueueBuff(std::unique_ptr<DataBuff> buff);

    using Clock = WakeSignal::Clock;
    // Send thread: blocks until `ready` holds (called under the queue lock),
    // the socket is gone or `deadline` has passed. True when `ready` held.
    template <class Ready>
    bool WaitSendWork(Ready ready, Clock::time_point deadline = Clock::time_point::max()) {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto done = [&] { return m_socket < 0 || ready(); };
        m_bSendWaiting = true;  // nothing to send: the idle clock may run out
        if (deadline == Clock::time_point::max())
            m_sendWake.Wait(lock, done);
        else
            m_sendWake.WaitUntil(lock, deadline, done);
        m_bSendWaiting = false;
        return m_socket >= 0 && ready();
    }
    // Wakes the send thread to look again at what it waits for; call it after
    // changing that state (a flag written without the queue lock included).
    void WakeSender();
    // Send thread: nothing queued and every message begun is out whole.
    bool SendDrained();
    // Send thread: a send failed; the connection ends.
    void SendFailed();
    // Send thread: takes a SIGPIPE raised on it by a write without
    // MSG_NOSIGNAL (the thread keeps SIGPIPE blocked).
    static void DropPendingSigpipe();
    // Send thread, on a socket made non-blocking: waits until it takes
    // more bytes, or is shut down (a Close) or fails.
    static void AwaitWritable(int fd);
    // Send thread: the socket's descriptor, open while the thread runs
    // (after a Close it is shut down, never closed under the thread).
    int SendThreadFd();
    // Send thread: the answer is complete; the peer is told so (the socket
    // is shut down for writing), and the receive thread goes on until the
    // peer closes, sends more or stays idle too long. The send thread ends
    // after this: return -1 from SendOnce.
    void FinishSending();
    // Bytes went through the socket: the idle clock starts again. Any thread.
    void NoteActivity();

    std::atomic<bool> m_bClosed{false};
    std::atomic<bool> m_bConnected{false};
    // Handle as seen by callers: >= 0 while usable, -1 without a socket
    // (before Connect or Attach, after Close, a send error or the receive
    // thread's end). Descriptor 0 is a socket like any other.
    std::atomic<int> m_socket{-1};
    // Send thread only: a derived SendOnce that knows more bytes will follow
    // the queued ones (a file being pumped) sets this, so chunks are not
    // pushed to the peer one by one and an empty queue is not waited on.
    bool m_bMoreToCome = false;

private:
    // Receive thread: waits until the socket is readable; false once the
    // connection has been idle for m_nIdleTimeoutMs.
    bool AwaitData(int fd);
    // The pauses and refusals of the send queue for a message of `len` bytes:
    // 0 when it may be sent, -1 when refused.
    int AdmitSend(int len);
    // Caller's thread: when nothing is queued or being sent, writes as much
    // of data[0, len) as the socket takes without blocking and returns that
    // count, holding the writer's claim (call ReleaseWriter next); -1 when the
    // message must go through the queue.
    int WriteNow(const uint8_t* data, int len);
    // Ends WriteNow's claim; `rest` (what the socket did not take) goes to the
    // front of the queue for the send thread.
    void ReleaseWriter(std::unique_ptr<DataBuff> rest);
    // The descriptor for a thread other than the two (-1 once shut down),
    // kept open until LeaveFd.
    int EnterFd();
    void QueueLocked(std::unique_ptr<DataBuff> buff, bool front);
    bool StartThreads(int fd);
    bool FinishConnect(int fd);
    void RecvThread();
    void SendThread();
    void NotifyClose();
    // The descriptor itself is closed only when neither thread can still use
    // it, so its number is never reused under a running thread.
    void ShutdownFd();
    void LeaveFd();

    std::mutex m_mutex;  // guards m_sendQueue and the final frees
    WakeSignal m_sendWake{m_mutex};  // what the send thread waits for changed
    std::thread m_recvThread;
    std::thread m_sendThread;
    std::atomic<std::thread::id> m_recvThreadId{};
    std::atomic<bool> m_bRecvRunning{false};
    std::atomic<bool> m_bSendRunning{false};
    std::deque<std::unique_ptr<DataBuff>> m_sendQueue;
    int64_t m_nQueuedBytes = 0;                  // under m_mutex
    std::atomic<bool> m_bConnecting{false};      // Connect left the rest to the receive thread
    std::unique_ptr<DataBuff> m_pSending;        // send thread
    // Under m_mutex: who writes to the socket now. The send thread while it
    // holds m_pSending; a caller inside WriteNow. Neither takes the socket
    // while the other holds it, so messages never interleave.
    bool m_bThreadWriting = false;
    bool m_bCallerWriting = false;
    bool m_bCorked = false;                      // send thread: last send said MSG_MORE

    int m_nIdleTimeoutMs = 0;
    std::atomic<int64_t> m_nLastActivityNs{0};   // steady clock
    std::atomic<bool> m_bSendWaiting{false};     // the send thread waits for work
    int m_nKeepAliveMs = 0;
    std::vector<uint8_t> m_keepAlive;
    std::string m_strPeer;

    std::mutex m_fdMutex;  // guards the three below
    int m_fd = -1;
    int m_nFdUsers = 0;
    bool m_bFdShut = false;
    std::atomic<bool> m_bCloseNotified{false};
};
