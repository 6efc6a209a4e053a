// The sivo-server binary's UDP control socket end to end: a real datagram
// client on loopback asks the running server for its catalogue and gets the
// media files of the share root given on the command line.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "common/TestMedia.h"
#include "engine/control/NetEntry.h"
#include "share/UdpSocket.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kStartWaitMs = 30000;  // server start-up on a loaded 2-core machine
constexpr int kReplyWaitMs = 1000;   // one request's replies before asking again
constexpr int kExitWaitMs = 15000;   // SIGTERM to exit

sockaddr_in Ipv4(uint32_t host, unsigned port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host);
    a.sin_port = htons(uint16_t(port));
    return a;
}

// True when `port` on every address can be bound now with `type`.
bool PortFree(int type, unsigned port) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0)
        return false;
    int on = 1;
    if (type == SOCK_STREAM)  // a closed connection's TIME_WAIT does not hold a listener off
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = Ipv4(INADDR_ANY, port);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// Waits for the child to end; kills it when it outlives `timeoutMs`.
// Returns the raw wait status, or -1 when it had to be killed.
int WaitExit(pid_t pid, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int raw = 0;
    while (waitpid(pid, &raw, WNOHANG) == 0) {
        if (Clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &raw, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return raw;
}

TEST(SivoServerUdp, ListsTheShareRootToAControlClientAndEndsOnSigterm) {
    if (!PortFree(SOCK_DGRAM, UDP_CONTROL_PORT) || !PortFree(SOCK_STREAM, kStreamPort) ||
        !PortFree(SOCK_STREAM, kHttpPort))
        GTEST_SKIP() << "port 2000, 8888 or 2888 is taken by another process";

    const fs::path root = fs::temp_directory_path() / ("sivo-server-udp-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "sub");
    const std::set<std::string> expected = {(root / "clip.mp4").string(),
                                            (root / "sub" / "song.mp3").string()};
    for (const std::string& path : expected)
        std::ofstream(path, std::ios::binary) << "not really media";
    std::ofstream(root / "notes.txt") << "not shareable";

    pid_t server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        std::string bin = TestBinary("sivo-server");
        execl(bin.c_str(), bin.c_str(), "--share-root", root.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }

    int client = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self = Ipv4(INADDR_LOOPBACK, 0);
    bind(client, reinterpret_cast<sockaddr*>(&self), sizeof self);
    const sockaddr_in to = Ipv4(INADDR_LOOPBACK, UDP_CONTROL_PORT);
    // The command word needs a further word after it to count as a request.
    const std::string request = "getsharefiles: sivo-test";

    // Ask until both entries came back: the socket is bound only once the
    // server is up, and datagrams sent before that are lost.
    std::set<std::string> listed;
    std::string stray;
    auto end = Clock::now() + std::chrono::milliseconds(kStartWaitMs);
    while (listed != expected && stray.empty() && Clock::now() < end) {
        sendto(client, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        pollfd p{client, POLLIN, 0};
        while (poll(&p, 1, kReplyWaitMs) > 0) {
            char buf[UDP_RECV_BUFFER_SIZE];
            ssize_t n = recv(client, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            const std::string reply(buf, size_t(n));
            const std::string name = CUdpSocket::GetValue(reply, "filename");
            if (reply.rfind("result:getsharefiles filename=\"", 0) == 0 && expected.count(name))
                listed.insert(name);
            else
                stray = reply;
        }
    }
    close(client);

    kill(server, SIGTERM);
    int raw = WaitExit(server, kExitWaitMs);
    fs::remove_all(root);

    EXPECT_EQ(listed, expected);
    EXPECT_EQ(stray, "") << "unexpected reply";
    ASSERT_NE(raw, -1) << "sivo-server did not end on SIGTERM";
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << "raw status " << raw;
}

}  // namespace
