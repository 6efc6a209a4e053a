#include "platform/AsyncSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Trace.h"

namespace {

bool ResolveIpv4(const std::string& host, unsigned port, sockaddr_in& out) {
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1)
        return true;
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    out.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

}  // namespace

CAsyncSocket::~CAsyncSocket() { Close(); }

bool CAsyncSocket::Create(unsigned port, const char* address) {
    Close();
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        DebugTrace("udp socket: %s\r\n", std::strerror(errno));
        return false;
    }
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address && inet_pton(AF_INET, address, &local.sin_addr) != 1) {
        ::close(fd);
        return false;
    }
    // Each datagram then says where it was sent to.
    int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        DebugTrace("udp bind %u: %s\r\n", port, std::strerror(errno));
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void CAsyncSocket::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

unsigned CAsyncSocket::LocalPort() const {
    sockaddr_in local {};
    socklen_t len = sizeof local;
    if (m_fd < 0 || getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return 0;
    return ntohs(local.sin_port);
}

int CAsyncSocket::ReceiveFrom(void* buffer, int capacity, std::string& fromAddress, unsigned& fromPort) {
    std::string to;
    return ReceiveFrom(buffer, capacity, fromAddress, fromPort, to);
}

int CAsyncSocket::ReceiveFrom(void* buffer, int capacity, std::string& fromAddress, unsigned& fromPort,
                              std::string& toAddress) {
    if (m_fd < 0 || !buffer || capacity <= 0)
        return -1;
    sockaddr_in from {};
    iovec iov {buffer, static_cast<size_t>(capacity)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg {};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    // MSG_TRUNC makes the call report the datagram's real length, so one that
    // did not fit is recognised and refused rather than handled cut short.
    ssize_t n = recvmsg(m_fd, &msg, MSG_TRUNC);
    if (n < 0 || n > capacity)
        return -1;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    fromAddress = text;
    fromPort = ntohs(from.sin_port);
    toAddress.clear();
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info {};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            char to[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &info.ipi_addr, to, sizeof to);
            toAddress = to;
        }
    return static_cast<int>(n);
}

int CAsyncSocket::SendTo(const void* data, int length, unsigned port, const std::string& host) {
    if (m_fd < 0 || !data || length < 0)
        return -1;
    sockaddr_in to {};
    if (!ResolveIpv4(host, port, to))
        return -1;
    ssize_t n = sendto(m_fd, data, static_cast<size_t>(length), 0,
                       reinterpret_cast<sockaddr*>(&to), sizeof to);
    return n < 0 ? -1 : static_cast<int>(n);
}

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
