#include "share/LanBrowser.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "platform/AsyncSocket.h"
#include "platform/TextCodec.h"
#include "platform/Trace.h"

namespace {

using Clock = std::chrono::steady_clock;

// Longest single wait without a cancel descriptor, so that Cancel is
// still seen promptly.
constexpr int kCancelCheckMs = 20;
constexpr char kLimitedBroadcast[] = "255.255.255.255";

std::string Dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::set<std::string> LocalAddresses() {
    std::set<std::string> local;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return local;
    for (const ifaddrs* i = list; i; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
            local.insert(Dotted(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr));
    freeifaddrs(list);
    return local;
}

bool IsLoopback(const std::string& address) {
    in_addr a {};
    return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

// Waits until `fd` is readable, the deadline passes or the request is
// cancelled (`cancelFd` becomes readable); true only in the first case.
bool WaitReadable(int fd, Clock::time_point deadline, const std::atomic<bool>& cancel, int cancelFd) {
    for (;;) {
        if (cancel)
            return false;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        const long long wait = cancelFd >= 0 ? left : std::min<long long>(left, kCancelCheckMs);
        if (poll(p, 2, static_cast<int>(wait)) > 0 && (p[0].revents & POLLIN))
            return true;
    }
}

// One datagram of the expected reply kind from `port`, as text in the local
// code page; false for anything else (nothing waiting, oversized, wrong
// port, another command word).
bool ReceiveReply(CAsyncSocket& socket, int capacity, unsigned port, const char* command, std::string& fromAddress,
                  std::string& text) {
    std::vector<char> buffer(static_cast<size_t>(capacity));
    unsigned fromPort = 0;
    int n = socket.ReceiveFrom(buffer.data(), capacity, fromAddress, fromPort);
    if (n <= 0 || fromPort != port)
        return false;
    text = Utf8ToAnsi(std::string(buffer.data(), static_cast<size_t>(n)));
    return CUdpSocket::GetCommand(text) == command;
}

bool OpenRequestSocket(CAsyncSocket& socket, bool broadcast) {
    if (!socket.Create(0))
        return false;
    int on = 1;
    if (broadcast && setsockopt(socket.Fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        DebugTrace("lan browser: no broadcast permission\r\n");
    return true;
}

bool SendRequest(CAsyncSocket& socket, const char* request, const std::string& host, unsigned port) {
    const std::string wire = AnsiToUtf8(request);
    return socket.SendTo(wire.data(), static_cast<int>(wire.size()), port, host) >= 0;
}

} // namespace

LanBrowser::LanBrowser(unsigned port) : m_nPort(port), m_cancelFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

LanBrowser::~LanBrowser() {
    if (m_cancelFd >= 0)
        close(m_cancelFd);
}

void LanBrowser::Cancel() {
    m_bCancel = true;
    // Left readable, so running and later waits end at once.
    if (m_cancelFd >= 0 && eventfd_write(m_cancelFd, 1) != 0)
        DebugTrace("lan browser: cancel not signalled\r\n");
}

void LanBrowser::SetTargets(std::vector<std::string> targets) { m_targets = std::move(targets); }

std::vector<std::string> LanBrowser::BroadcastAddresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_BROADCAST) ||
            !(i->ifa_flags & IFF_UP))
            continue;
        in_addr b {};
        if (i->ifa_broadaddr && i->ifa_broadaddr->sa_family == AF_INET)
            b = reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr;
        // An address added without its broadcast address: the subnet's own.
        if (b.s_addr == 0 && i->ifa_netmask) {
            const in_addr a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr;
            const in_addr m = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr;
            b.s_addr = a.s_addr | ~m.s_addr;
        }
        std::string text = Dotted(b);
        if (b.s_addr != 0 && std::find(out.begin(), out.end(), text) == out.end())
            out.push_back(text);
    }
    freeifaddrs(list);
    return out;
}

std::vector<LanMachine> LanBrowser::Discover(int windowMs, const MachineHandler& onFound) {
    std::vector<LanMachine> found;
    CAsyncSocket socket;
    if (!OpenRequestSocket(socket, true))
        return found;
    std::vector<std::string> targets = m_targets;
    if (targets.empty()) {
        targets = BroadcastAddresses();
        targets.push_back(kLimitedBroadcast);
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(windowMs);
    for (const std::string& target : targets)
        if (!SendRequest(socket, DISCOVERY_REQUEST, target, m_nPort))
            DebugTrace("lan browser: cannot send to %s\r\n", target.c_str());

    const std::set<std::string> local = LocalAddresses();
    std::set<std::string> seen;
    while (WaitReadable(socket.Fd(), deadline, m_bCancel, m_cancelFd)) {
        std::string from, text;
        if (!ReceiveReply(socket, UDP_RECV_BUFFER_SIZE, m_nPort, "result:getsvrinfo", from, text) ||
            seen.size() >= MAX_LAN_MACHINES || !seen.insert(from).second)
            continue;
        found.push_back({from, local.count(from) > 0 || IsLoopback(from)});
        if (onFound)
            onFound(found.back());
    }
    return found;
}

std::vector<std::string> LanBrowser::ListShareFiles(const std::string& address, const EntryHandler& onEntry) {
    std::vector<std::string> entries;
    in_addr parsed {};
    CAsyncSocket socket;
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1 || !OpenRequestSocket(socket, false))
        return entries;
    // Replies come from the address in its canonical form.
    const std::string peer = Dotted(parsed);
    if (!SendRequest(socket, CATALOGUE_REQUEST, peer, m_nPort))
        return entries;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(CATALOGUE_QUIET_MS);
    while (entries.size() < MAX_CATALOGUE_ENTRIES && WaitReadable(socket.Fd(), deadline, m_bCancel, m_cancelFd)) {
        std::string from, text;
        if (!ReceiveReply(socket, CATALOGUE_DATAGRAM_MAX, m_nPort, "result:getsharefiles", from, text) ||
            from != peer)
            continue;
        std::string name = CUdpSocket::GetValue(text, "filename");
        if (name.empty())
            continue;
        deadline = Clock::now() + std::chrono::milliseconds(CATALOGUE_QUIET_MS);
        entries.push_back(std::move(name));
        if (onEntry)
            onEntry(entries.back());
    }
    return entries;
}
