#include "stream/TcpServer.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/LiveCounters.h"
#include "platform/Sleep.h"
#include "platform/Trace.h"
#include "platform/ThreadName.h"
#include "stream/TcpConnection.h"

namespace {

std::atomic<TcpServer::LogHook> g_logHook{nullptr};
std::mutex g_allowMutex;
std::shared_ptr<const AllowList> g_allowed = std::make_shared<AllowList>();

std::shared_ptr<const AllowList> Allowed() {
    std::lock_guard<std::mutex> lock(g_allowMutex);
    return g_allowed;
}

// Errors that belong to the one pending connection, not to the listener:
// the client gave up, or the network reported it unreachable (accept passes
// such errors on), or a firewall rule refused it.
bool ConnectionError(int error) {
    switch (error) {
    case EINTR: case ECONNABORTED: case EPROTO: case EPERM: case ENETDOWN: case ENETUNREACH: case EHOSTDOWN:
    case EHOSTUNREACH: case ENONET: case ENOPROTOOPT: case EOPNOTSUPP:
        return true;
    default:
        return false;
    }
}

bool ShortOfResources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Without a listener the process has no purpose: leave at once, without
// running static destructors under threads that are still working.
[[noreturn]] void ExitProcess(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

} // namespace

TcpServer::TcpServer(int port, TcpConnection* pPrototype)
    : m_pPrototype(pPrototype), m_nPort(port) {}

TcpServer::~TcpServer() {
    StopListen();  // first, so the accept thread no longer clones the prototype
    delete m_pPrototype;
    m_pPrototype = nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (TcpConnection* c : m_connections) {
        c->JoinThreads();
        delete c;
    }
    m_connections.clear();
}

int TcpServer::OnAccept(int) { return -1; }

void TcpServer::SetLogHook(LogHook hook) { g_logHook = hook; }

void TcpServer::SetAllowList(const AllowList& allowed) {
    auto copy = std::make_shared<const AllowList>(allowed);
    std::lock_guard<std::mutex> lock(g_allowMutex);
    g_allowed = std::move(copy);
}

void TcpServer::ReportPeer(const char* what, const std::string& peer) const {
    DebugTrace("TcpServer %d: %s %s\r\n", m_nPort.load(), what, peer.c_str());
    if (LogHook hook = g_logHook)
        hook(m_nPort, what, peer.c_str());
}

void TcpServer::Report(const char* fmt, ...) const {
    char what[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(what, sizeof what, fmt, args);
    va_end(args);
    DebugTrace("TcpServer %d: %s\r\n", m_nPort.load(), what);
    if (LogHook hook = g_logHook)
        hook(m_nPort, what, "");
}

int TcpServer::Listen() {
    if (m_acceptThread.joinable()) {
        if (m_bAccepting)
            return -1;
        m_acceptThread.join();  // ended after an accept error
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Report("cannot create the listening socket: %s", std::strerror(errno));
        ExitProcess(kExitNoSocket);
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(uint16_t(m_nPort));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        Report("cannot bind: %s", std::strerror(errno));
        ExitProcess(kExitNoBind);
    }
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        m_nPort = ntohs(addr.sin_port);
    listen(fd, kListenBacklog);
    m_listenSocket = fd;
    m_bAccepting = true;
    try {
        m_acceptThread = std::thread(&TcpServer::AcceptThread, this, fd);
    } catch (const std::system_error&) {
        Report("no accept thread");
        m_bAccepting = false;
        m_listenSocket = -1;
        close(fd);
        return -1;
    }
    NameThread(m_acceptThread, "tcp-accept");
    return 0;
}

void TcpServer::StopListen() {
    int fd = m_listenSocket.exchange(-1);
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);  // wakes the blocked accept
    if (m_acceptThread.joinable() && m_acceptThread.get_id() == std::this_thread::get_id()) {
        // Called from OnAccept: the accept thread cannot wait for itself. It
        // closes the socket as it leaves; Listen or the destructor joins it.
        m_bCloseOnExit = true;
        return;
    }
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    // Closed only after the accept thread is gone, so it never sees the
    // number reused.
    if (fd >= 0)
        close(fd);
}

void TcpServer::AcceptThread(int listenFd) {
    for (;;) {
        sockaddr_storage from{};
        socklen_t fromLen = sizeof from;
        int s = accept4(listenFd, reinterpret_cast<sockaddr*>(&from), &fromLen, SOCK_CLOEXEC);
        if (s < 0 && ConnectionError(errno) && m_listenSocket == listenFd)
            continue;  // that client is lost; keep listening
        if (s < 0 && ShortOfResources(errno) && m_listenSocket >= 0) {
            // Out of descriptors or memory for now: the pending client waits
            // in the backlog until connections end and free some.
            Report("accept paused: %s", std::strerror(errno));
            Sleep(kAcceptRetryMs);
            continue;
        }
        if (s < 0) {
            if (m_listenSocket == listenFd)  // not closed by StopListen
                Report("accept failed, no longer listening: %s", std::strerror(errno));
            break;
        }
        const std::optional<NetAddress> address = NetAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&from));
        const std::string peer = address ? address->ToString() : std::string();
        if (address && !Allowed()->Allows(*address)) {
            ReportPeer("connection refused: not in the allow list", peer);
            close(s);
            continue;
        }
        if (OnAccept(s) == 0 || m_bCloseOnExit || !m_pPrototype) {
            close(s);
            continue;
        }
        ReleaseUnUse();
        if (ConnectionCount() >= m_nMaxConnections) {
            Report("connection limit reached, socket closed");
            close(s);
            continue;
        }
        // One address must not take every connection: a host holding many
        // idle or unread ones shuts out only itself.
        static const AddressRange loopback = *AddressRange::Parse("127.0.0.0/8");
        const bool limited = address && (m_bLimitLoopback || !loopback.Contains(*address));
        if (limited && PeerCount(peer) >= m_nMaxPerPeer) {
            ReportPeer("connection limit per peer reached, socket closed", peer);
            close(s);
            continue;
        }
        TcpConnection* c = nullptr;
        try {
            c = m_pPrototype->Clone();
        } catch (const std::exception&) {
            c = nullptr;
        }
        if (!c) {
            Report("no memory for a connection, socket closed");
            close(s);
            continue;
        }
        c->SetPeerAddress(peer);
        c->SetIdleTimeout(m_nIdleTimeoutMs);
        // A connection without threads has ended already; it is reaped later.
        if (!c->Attach(s))
            Report("no thread for a connection, socket closed");
        // Under the lock: a connection that has ended already may be reaped
        // by ReleaseUnUse on another thread as soon as the lock is free.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections.push_back(c);
        c->OnConnect();
    }
    if (m_bCloseOnExit) {
        m_bCloseOnExit = false;
        close(listenFd);
    }
    m_bAccepting = false;
}

int TcpServer::PeerCount(const std::string& peer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (TcpConnection* c : m_connections)
        n += !c->IsClosed() && c->PeerAddress() == peer;
    return n;
}

void TcpServer::ReleaseUnUse() {
    DebugTrace("ReleaseUnUse psocket PackageData%d DataBuff:%d VideoDemuxer:%d",
               g_nLivePackageData.load(), g_nLiveDataBuff.load(), g_nLiveVideoDemuxer.load());
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        TcpConnection* c = *it;
        if (!c->IsClosed() || c->IsRecvRunning() || c->IsSendRunning()) {
            ++it;
            continue;
        }
        c->ReleaseSendBuffers();
        c->Close();
        c->JoinThreads();
        delete c;
        it = m_connections.erase(it);
    }
}

int TcpServer::ConnectionCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_connections.size());
}
