// Datagrams of any content through the real control socket: each one is sent
// over loopback and handled by CUdpSocket::OnReceive. Replies may only be
// the answers the protocol knows, and a play request is passed on only for a
// "raduzira:" datagram, with values that are parts of it.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Check.h"
#include "share/UdpSocket.h"

namespace {

struct Rig {
    CUdpSocket socket;
    int client = -1;
    sockaddr_in to{};
    std::string clientAddress;
    int plays = 0;
    std::string srcIp, fileName;

    Rig() {
        FUZZ_CHECK(socket.Create(0, "127.0.0.1"));
        // An empty catalogue: its paced answer would only slow the runs.
        char dir[] = "/tmp/sivo-fuzz-udp-XXXXXX";
        FUZZ_CHECK(mkdtemp(dir));
        socket.SetShareRoot(dir);
        socket.SetPlayRequestHandler([this](const std::string& ip, const std::string& name) {
            ++plays;
            srcIp = ip;
            fileName = name;
        });
        client = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in self{};
        self.sin_family = AF_INET;
        self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FUZZ_CHECK(bind(client, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0);
        socklen_t len = sizeof self;
        getsockname(client, reinterpret_cast<sockaddr*>(&self), &len);
        clientAddress = "127.0.0.1 port:" + std::to_string(ntohs(self.sin_port)) + " ";
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(uint16_t(socket.LocalPort()));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig rig;
    if (size > 2 * UDP_RECV_BUFFER_SIZE)
        return 0;
    rig.plays = 0;
    FUZZ_CHECK(sendto(rig.client, data, size, 0, reinterpret_cast<sockaddr*>(&rig.to), sizeof rig.to) ==
               ssize_t(size));
    rig.socket.OnReceive(0);

    const std::string text(reinterpret_cast<const char*>(data), size);
    char reply[4096];
    ssize_t n;
    while ((n = recv(rig.client, reply, sizeof reply, MSG_DONTWAIT)) >= 0) {
        // The only reply an empty catalogue leaves is the server information.
        FUZZ_CHECK(std::string(reply, size_t(n)) == "result:getsvrinfo  ip:" + rig.clientAddress);
        FUZZ_CHECK(text.find("req:getsvrinfo") != std::string::npos);
    }
    if (rig.plays > 0) {
        FUZZ_CHECK(rig.plays == 1 && size <= size_t(UDP_RECV_BUFFER_SIZE));
        FUZZ_CHECK(text.find("raduzira:") != std::string::npos);
        FUZZ_CHECK(rig.fileName.find('"') == std::string::npos && rig.srcIp.find('"') == std::string::npos);
    }
    return 0;
}
