#pragma once
// The listener: for every accepted socket it clones its prototype connection,
// attaches the socket to the clone and keeps the clone until it has ended.
// Ended connections are reaped (ReleaseUnUse) when the next client arrives.
// What a server serves is decided only by its prototype.
//
// Threads: construction, Listen, StopListen and destruction on the owner's
// thread; IsRunning, GetPort, ConnectionCount on any thread; OnAccept and
// ReleaseUnUse run on the accept thread (ReleaseUnUse may also be called by
// the owner). m_mutex guards m_connections.
//
// A class that overrides OnAccept calls StopListen() first in its own
// destructor, so the accept thread never calls into a half-destroyed object.

#include <atomic>
#include <list>
#include <mutex>
#include <thread>

#include <sys/socket.h>

#include <string>

#include "platform/NetAddress.h"
#include "platform/Trace.h"

class TcpConnection;

class TcpServer {
public:
    // A host's log of what a listener refuses or fails at: a port it cannot
    // bind, a connection it refuses and why. Called on the thread that met
    // it (the owner's or an accept thread), with the port, a short text
    // that is the same for every event of its kind, and the peer's address
    // ("" when there is none).
    using LogHook = void (*)(int port, const char* what, const char* peer);
    static void SetLogHook(LogHook hook);
    // Who may connect to any listener of the process; an empty list lets
    // everyone in. Others are closed at once, before anything is read.
    // Any thread; listeners running already apply it to the next accept.
    static void SetAllowList(const AllowList& allowed);

    static constexpr int kListenBacklog = SOMAXCONN;
    static constexpr int kMaxConnections = 256;   // more: new sockets are closed at once
    // Connections from one address of another machine; more are closed.
    // This machine's own programs (loopback) are held only by the cap above.
    static constexpr int kMaxPerPeer = 16;
    static constexpr int kIdleTimeoutMs = 15000;  // an accepted connection idle this long is closed
    static constexpr int kAcceptRetryMs = 100;    // pause after accept ran out of resources
    static constexpr int kExitNoSocket = 1;  // process exit status
    static constexpr int kExitNoBind = 2;

    // Takes ownership of the prototype. Port 0 picks a free port at the first
    // Listen, which later Listens then reuse.
    TcpServer(int port, TcpConnection* pPrototype);

    // ---- virtual operations, in this order ----
    // Closes and deletes the connections still held.
    virtual ~TcpServer();
    // Called for each accepted socket before it is used: non-zero accepts it.
    virtual int OnAccept(int socket);

    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Opens the listening socket and starts the accept thread. Ends the
    // process with kExitNoSocket or kExitNoBind when the socket cannot be
    // created or bound. -1 when already listening.
    int Listen();
    // Closes the listening socket and waits for the accept thread.
    // Accepted connections stay.
    void StopListen();
    // Deletes the ended connections whose threads have finished; one still
    // finishing is left for a later call, so reaping never waits.
    void ReleaseUnUse();
    // Any thread, before Listen.
    void SetMaxConnections(int n) { m_nMaxConnections = n; }
    void SetMaxPerPeer(int n, bool loopbackToo = false) {
        m_nMaxPerPeer = n;
        m_bLimitLoopback = loopbackToo;
    }
    // For connections accepted from then on; 0: never.
    void SetIdleTimeout(int milliseconds) { m_nIdleTimeoutMs = milliseconds; }

    bool IsRunning() const { return m_bAccepting; }
    int GetPort() const { return m_nPort; }
    int ConnectionCount();

private:
    void AcceptThread(int listenFd);
    // Connections from `peer` that have not ended.
    int PeerCount(const std::string& peer);
    // Traces `what` and hands it to the log hook, if one is set.
    void Report(const char* fmt, ...) const SIVO_PRINTF(2, 3);
    void ReportPeer(const char* what, const std::string& peer) const;

    TcpConnection* m_pPrototype;
    std::list<TcpConnection*> m_connections;  // owned, oldest first
    std::thread m_acceptThread;
    std::atomic<bool> m_bAccepting{false};
    bool m_bCloseOnExit = false;  // accept thread only: StopListen came from OnAccept
    std::mutex m_mutex;
    std::atomic<int> m_listenSocket{-1};
    std::atomic<int> m_nMaxConnections{kMaxConnections};
    std::atomic<int> m_nMaxPerPeer{kMaxPerPeer};
    std::atomic<bool> m_bLimitLoopback{false};
    std::atomic<int> m_nIdleTimeoutMs{kIdleTimeoutMs};
    std::atomic<int> m_nPort;
};
