// The stream listener against peers that hold connections, swap files under
// a describe or ask again and again for a file that is no medium.

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "stream/TcpServer.h"
#include "stream/VideoRecver.h"
#include "stream/VideoSender.h"
#include "StreamTestUtil.h"
#include "share/ShareTestUtil.h"

namespace fs = std::filesystem;

namespace {

// A client socket bound to `from` (any address of 127/8 is this machine).
int ConnectFrom(const char* from, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in to = Loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The answer to one fetch on a raw socket: true for PKG_END (the sender's
// answer before any describe).
bool Served(int fd) {
    const Bytes fetch = BuildFetchMediaPkg(), end = BuildEndPkg();
    return fd >= 0 && SendAll(fd, fetch) && ReadExact(fd, end.size()) == end;
}

std::unique_ptr<TcpServer> SenderOn(const std::string& root) {
    auto* sender = new VideoSender;
    sender->SetRoot(root.c_str());
    auto server = std::make_unique<TcpServer>(0, sender);
    EXPECT_EQ(server->Listen(), 0);
    return server;
}

// Reads done on a watched file since the last call (inotify IN_ACCESS).
class ReadWatch {
public:
    explicit ReadWatch(const std::string& path) : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        inotify_add_watch(m_fd, path.c_str(), IN_ACCESS);
    }
    ~ReadWatch() { close(m_fd); }
    int Reads() {
        int n = 0;
        alignas(inotify_event) char buf[4096];
        ssize_t got;
        while ((got = read(m_fd, buf, sizeof buf)) > 0)
            for (char* p = buf; p < buf + got; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
                ++n;
        return n;
    }

private:
    int m_fd;
};

} // namespace

// 300 connections from one address that never send a thing: at most the
// per-peer number is held, the rest are closed at once, and a client from
// another address is served meanwhile. (Loopback addresses stand in for
// other machines here; the two-host test meets the default.)
TEST(ServerPeers, ManyIdleConnectionsFromOnePeerLeaveAnotherServed) {
    TcpServer server(0, new VideoSender);
    server.SetMaxPerPeer(TcpServer::kMaxPerPeer, true);
    ASSERT_EQ(server.Listen(), 0);
    std::vector<int> idle;
    for (int i = 0; i < 300; ++i)
        idle.push_back(ConnectFrom("127.0.0.2", server.GetPort()));
    ASSERT_TRUE(WaitFor([&] { return server.ConnectionCount() >= TcpServer::kMaxPerPeer; }));
    int closedAtOnce = 0;
    for (int fd : idle) {
        char c;
        closedAtOnce += fd >= 0 && Readable(fd, 0) && recv(fd, &c, 1, MSG_DONTWAIT) == 0;
    }
    RawClient other(server.GetPort());  // from 127.0.0.1
    EXPECT_TRUE(Served(other.fd)) << "another peer shut out";
    EXPECT_TRUE(WaitFor([&] {
        int closed = 0;
        for (int fd : idle) {
            char c;
            closed += fd < 0 || (Readable(fd, 0) && recv(fd, &c, 1, MSG_DONTWAIT) == 0);
        }
        return closed + closedAtOnce >= 300 - TcpServer::kMaxPerPeer;
    })) << "more than the per-peer number held";
    EXPECT_LE(server.ConnectionCount(), TcpServer::kMaxPerPeer + 1);
    // The peer's own connections that are held are served.
    int served = 0;
    for (int fd : idle)
        if (fd >= 0 && !(Readable(fd, 0)))
            served += Served(fd);
    EXPECT_EQ(served, TcpServer::kMaxPerPeer);
    for (int fd : idle)
        if (fd >= 0)
            close(fd);

    // This machine's own programs are held only by the server's cap.
    TcpServer local(0, new VideoSender);
    ASSERT_EQ(local.Listen(), 0);
    std::vector<std::unique_ptr<RawClient>> own;
    for (int i = 0; i < 2 * TcpServer::kMaxPerPeer; ++i)
        own.push_back(std::make_unique<RawClient>(local.GetPort()));
    for (auto& c : own)
        EXPECT_TRUE(Served(c->fd));
}

// A connection quiet for the idle time is closed, unless its receiver keeps
// it with a request the sender ignores (as a paused player's does).
TEST(ServerPeers, IdleStreamConnectionsCloseAndAKeptOneStays) {
    TcpServer server(0, [] {
        auto* sender = new VideoSender;
        sender->SetRoot(SIVO_TEST_MEDIA_DIR);
        return sender;
    }());
    server.SetIdleTimeout(500);
    ASSERT_EQ(server.Listen(), 0);
    PkgClient described(server.GetPort()), silent(server.GetPort());
    described.Describe(StreamClip());
    VideoRecver kept;
    kept.SetKeepAlive(100, BuildSeekPkg(0));
    ASSERT_EQ(kept.Connect("127.0.0.1", server.GetPort()), 0);
    EXPECT_TRUE(WaitClosed(described.fd));
    EXPECT_TRUE(WaitClosed(silent.fd));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // twice the idle time
    EXPECT_FALSE(kept.IsEnded());
    EXPECT_EQ(kept.SendFetchMediaPkgRsq(), 0);
    EXPECT_TRUE(WaitFor([&] {
        server.ReleaseUnUse();
        return server.ConnectionCount() == 1;
    }));
    kept.JoinThreads();
    static_assert(VideoRecver::kKeepAliveMs * 2 < TcpServer::kIdleTimeoutMs);
}

// A name swapped between a medium inside, links to another medium outside
// and a FIFO while it is described again and again: the outside medium is
// never described, and no describe blocks.
TEST(ServerFiles, SwapsUnderADescribeNeverReachOutsideNorBlock) {
    TempTree tree;
    const std::string root = tree.root + "/share";
    fs::create_directories(root);
    const std::string inside = root + "/inside.mp4";
    fs::copy_file(StreamClip(), inside);                          // 35 s
    const std::string outside = tree.root + "/outside.mp4";
    fs::copy_file(TestClipAv4s(), outside);                       // 4 s
    const std::string name = root + "/swap.mp4";
    fs::copy_file(inside, name);
    auto server = SenderOn(root);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (unsigned i = 0; !stop; ++i) {
            const std::string src = root + "/next.tmp";
            std::error_code ec;
            switch (i % 4) {
            case 0: fs::create_symlink(outside, src, ec); break;
            case 1: fs::create_symlink("../outside.mp4", src, ec); break;
            case 2: mkfifo(src.c_str(), 0600); break;
            default: fs::create_hard_link(inside, src, ec);
            }
            rename(src.c_str(), name.c_str());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    int described = 0, outsideSeen = 0, unanswered = 0;
    {
        PkgClient client(server->GetPort());
        for (int i = 0; i < 200 && !unanswered; ++i) {
            const Bytes pkg = client.Ask(BuildDescribePkg(name));
            StreamDescription desc;
            ByteStream r(pkg.data(), uint32_t(pkg.size()));
            if (TypeOf(pkg) != PKG_DESCRIBE_RSP || !ParseStreamDescription(r, desc)) {
                ++unanswered;
                continue;
            }
            described += desc.video.bPresent;
            outsideSeen += desc.video.bPresent && desc.video.nDuration < 10;
        }
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(unanswered, 0);
    EXPECT_EQ(outsideSeen, 0);
    EXPECT_GT(described, 0) << "the medium inside was never described: the swap test saw nothing";
}

// A large file that is no medium is probed once: the same file described
// again within the minute is not read again, by this client or another;
// once it changes it is probed afresh.
TEST(ServerFiles, AFailedDescribeIsRememberedForTheFileUntilItChanges) {
    TempTree tree;
    const std::string junk = tree.root + "/junk.mp4";
    {
        std::mt19937 rng(7);
        std::string bytes(4 << 20, '\0');
        for (char& c : bytes)
            c = char(rng());
        std::ofstream(junk, std::ios::binary) << bytes;
    }
    auto server = SenderOn(tree.root);
    ReadWatch watch(junk);
    PkgClient a(server->GetPort()), b(server->GetPort());
    StreamDescription desc = a.Describe(junk);
    EXPECT_FALSE(desc.audio.bPresent || desc.video.bPresent);
    EXPECT_GT(watch.Reads(), 0) << "the first describe did not probe the file";
    for (PkgClient* c : {&a, &b, &a, &b}) {
        desc = c->Describe(junk);
        EXPECT_FALSE(desc.audio.bPresent || desc.video.bPresent);
    }
    EXPECT_EQ(watch.Reads(), 0) << "probed again within the minute";
    std::ofstream(junk, std::ios::binary | std::ios::app) << "more";
    watch.Reads();
    b.Describe(junk);
    EXPECT_GT(watch.Reads(), 0) << "a changed file was not probed afresh";
    // A medium is never held back by the failures of others.
    fs::copy_file(StreamClip(), tree.root + "/clip.mp4");
    desc = a.Describe(tree.root + "/clip.mp4");
    EXPECT_TRUE(desc.video.bPresent);
}
