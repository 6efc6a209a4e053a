// TcpServer with VideoSender clones on an ephemeral loopback port, driven by
// raw clients that speak the request messages: what it serves, and peers
// that hold connections, swap files under a describe or ask again and again
// for a file that is no medium.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "common/FileTestUtil.h"
#include "output/OutputTestUtil.h"
#include "platform/Sleep.h"
#include "stream/VideoRecver.h"
#include "StreamTestUtil.h"

extern "C" {
#include <libavcodec/packet.h>
}

namespace fs = std::filesystem;

namespace {

std::atomic<int> g_live{0};    // senders alive
std::atomic<int> g_closed{0};  // OnClose calls

class CountedSender : public VideoSender {
public:
    CountedSender() {
        ++g_live;
        SetRoot(SIVO_TEST_MEDIA_DIR);
    }
    ~CountedSender() override {
        JoinThreads();
        --g_live;
    }
    TcpConnection* Clone() override { return new CountedSender(); }
    void OnClose() override {
        ++g_closed;
        VideoSender::OnClose();
    }
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_closed = 0;
        m_base = g_live;
        ASSERT_EQ(m_server->Listen(), 0);
    }
    int Port() const { return m_server->GetPort(); }

    int m_base = 0;  // the prototype
    std::unique_ptr<TcpServer> m_server = std::make_unique<TcpServer>(0, new CountedSender);
};

// Whether a watched file was read since the last call (inotify IN_ACCESS).
class ReadWatch {
public:
    explicit ReadWatch(const std::string& path) : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        inotify_add_watch(m_fd, path.c_str(), IN_ACCESS);
    }
    ~ReadWatch() { close(m_fd); }
    bool Read() {
        char buf[4096];
        bool any = false;
        while (read(m_fd, buf, sizeof buf) > 0)
            any = true;
        return any;
    }

private:
    int m_fd;
};

} // namespace

TEST_F(ServerTest, ServesMediaToIndependentClientsEndsEveryFetchAfterItAndKeepsOrMovesThePosition) {
    PkgClient a(Port()), b(Port());
    EXPECT_EQ(a.Fetch(), BuildEndPkg()) << "a fetch before any describe";
    StreamDescription desc = a.Describe(StreamClip());
    EXPECT_TRUE(desc.audio.bPresent && desc.video.bPresent);
    EXPECT_EQ(std::tuple(desc.video.nWidth, desc.video.nHeight, desc.video.nFps, desc.audio.nSampleRate),
              std::tuple(64, 48, 5, 8000));
    EXPECT_FALSE(desc.video.extradata.empty()) << "H.264 in MP4 needs its parameter sets";

    std::vector<Bytes> fromA = a.FetchToEnd();
    EXPECT_GT(fromA.size(), 175u) << "35 s of pictures at 5 fps, and sound";
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(a.Fetch(), BuildEndPkg()) << "fetch " << i << " after the end";
    for (uint32_t wild : {0x80000000u, 0xFFFFFFFFu}) {
        ASSERT_TRUE(a.Request(BuildSeekPkg(wild)));  // negative: ignored, not a rewind
        EXPECT_EQ(a.Fetch(), BuildEndPkg()) << wild;
    }
    ASSERT_TRUE(a.Request(BuildSeekPkg(30)));  // no answer to a seek
    Bytes pkg = a.Fetch();
    MediaPackage mp;
    ASSERT_TRUE(ParseMediaPackage(pkg.data(), int(pkg.size()), mp)) << "a seek to 30 after the end";
    EXPECT_GT(mp.pkt->pts, 0) << "near 30 s, not at the start";

    desc = b.Describe(std::string(SIVO_TEST_MEDIA_DIR) + "/no-such-file.mp4");
    EXPECT_FALSE(desc.audio.bPresent || desc.video.bPresent) << "a missing file";
    EXPECT_EQ(b.Fetch(), BuildEndPkg());
    b.Describe(StreamClip());
    std::vector<Bytes> fromB = {b.Fetch(), b.Fetch()};
    // None of these moves b: the same file described again, a seek to 0, a
    // media package and a kind nobody knows.
    b.Describe(StreamClip());
    ASSERT_TRUE(b.Request(BuildSeekPkg(0)));
    AVPacketPtr media(av_packet_alloc());
    ASSERT_EQ(av_new_packet(media.get(), 4), 0);
    ASSERT_TRUE(b.Request(BuildMediaPackage(media.get(), 27, true)));
    Bytes odd = BuildSeekPkg(7);
    odd[9] = 0x7F;
    ASSERT_TRUE(b.Request(odd));
    for (Bytes& pkg : b.FetchToEnd())
        fromB.push_back(pkg);
    EXPECT_EQ(fromB, fromA) << "b has not moved while a read everything";
    EXPECT_EQ(m_server->ConnectionCount(), 2);
}

TEST_F(ServerTest, EndedConnectionIsReapedAtTheNextAcceptNotBefore) {
    {
        PkgClient a(Port());
        EXPECT_EQ(a.Fetch(), BuildEndPkg());
    }
    ASSERT_TRUE(WaitFor([] { return g_closed == 1; }));
    Sleep(50);  // give a wrong early reaping its chance
    EXPECT_EQ(m_server->ConnectionCount(), 1) << "ended, but kept until the next client";
    EXPECT_EQ(g_live, m_base + 1);

    PkgClient b(Port());
    EXPECT_EQ(b.Fetch(), BuildEndPkg());
    EXPECT_TRUE(WaitFor([&] { return m_server->ConnectionCount() == 1 && g_live == m_base + 1; }))
        << "the first clone is gone, the second lives";
}

TEST_F(ServerTest, ListenAgainAfterStopListenOnTheSamePort) {
    int port = Port();
    EXPECT_EQ(m_server->Listen(), -1) << "already listening";
    PkgClient kept(port);
    EXPECT_EQ(kept.Fetch(), BuildEndPkg());
    m_server->StopListen();
    EXPECT_FALSE(m_server->IsRunning());
    EXPECT_EQ(RawClient(port).fd, -1) << "nobody listens now";
    EXPECT_EQ(kept.Fetch(), BuildEndPkg()) << "accepted connections outlive StopListen";
    ASSERT_EQ(m_server->Listen(), 0);
    EXPECT_EQ(Port(), port);
    EXPECT_EQ(PkgClient(port).Fetch(), BuildEndPkg());
}

TEST_F(ServerTest, BadInputLeavesTheOthersServed) {
    Bytes describe = BuildDescribePkg(StreamClip());
    PkgClient noisy(Port()), silent(Port());
    ASSERT_TRUE(SendAll(noisy.fd, FrameNoise(300000, 99)));
    ASSERT_TRUE(SendAll(silent.fd, Header(1023999)));  // and then nothing
    {
        PkgClient half(Port());
        ASSERT_TRUE(SendAll(half.fd, Bytes(describe.begin(), describe.begin() + long(describe.size() / 2))));
    }
    PkgClient good(Port());
    EXPECT_EQ(good.Fetch(), BuildEndPkg());
    good.Describe(StreamClip());
    EXPECT_EQ(TypeOf(good.Fetch()), PKG_MEDIA);
}

// Names a stranger might send. None may reach the network, a file outside
// the root, or anything but a regular file; each is described as missing.
TEST_F(ServerTest, HostileNamesAreDescribedAsMissingAndReachNothing) {
    TempTree tree;
    const std::string root = tree.root + "/share", outside = tree.File("outside.mp4");
    fs::copy_file(StreamClip(), tree.File("share/clip.mp4"), fs::copy_options::overwrite_existing);
    fs::copy_file(StreamClip(), outside, fs::copy_options::overwrite_existing);
    fs::create_symlink(outside, root + "/out.mp4");
    ASSERT_EQ(mkfifo((root + "/fifo.mp4").c_str(), 0600), 0);
    tree.File("share/list.mp4", "ffconcat version 1.0\nfile clip.mp4\nfile ../outside.mp4\n");
    auto server = ServeStream(root);

    RawListener bait;  // every network name points here
    const std::string host = "127.0.0.1:" + std::to_string(bait.port);
    const std::vector<std::string> names = {
        "http://" + host + "/clip.mp4", "tcp://" + host, "tcp://" + host + "?listen", "rtsp://" + host + "/x",
        "udp://" + host, "concat:" + root + "/clip.mp4|" + outside, "subfile,,start,0,end,0,,:" + root + "/clip.mp4",
        "file:" + outside, outside, root + "/../outside.mp4", root + "/out.mp4", root + "/fifo.mp4", "/dev/zero",
        root, root + "/list.mp4", "", "clip.mp4"};
    PkgClient client(server->GetPort());
    for (const std::string& name : names) {
        StreamDescription desc = client.Describe(name);
        EXPECT_FALSE(desc.audio.bPresent || desc.video.bPresent) << name;
        EXPECT_EQ(client.Fetch(), BuildEndPkg()) << name;
    }
    EXPECT_FALSE(Readable(bait.fd, 0)) << "a name made the server connect out";
    StreamDescription desc = client.Describe(root + "/clip.mp4");
    EXPECT_TRUE(desc.audio.bPresent && desc.video.bPresent) << "a file inside the root is served";
    EXPECT_EQ(TypeOf(client.Fetch()), PKG_MEDIA);
}

// At most the set number of connections; more sockets are closed at once and
// the limit frees up as connections end.
TEST(ServerLimits, ConnectionCapClosesNewSocketsUntilOneEnds) {
    auto server = ServeStream();
    server->SetMaxConnections(3);
    const int port = server->GetPort();
    auto held = std::make_unique<RawClient>(port);
    RawClient b(port), c(port);
    for (RawClient* client : {held.get(), &b, &c})
        EXPECT_TRUE(StreamServed(client->fd));
    RawClient over(port);
    EXPECT_TRUE(WaitClosed(over.fd)) << "a fourth connection";
    held.reset();
    ASSERT_TRUE(WaitFor([&] { return StreamServed(RawClient(port).fd); }));
}

// Out of descriptors, the accept thread pauses and retries instead of ending:
// clients that connected meanwhile are served once descriptors are free.
TEST(ServerLimits, RunningOutOfDescriptorsOnlyDelaysAccepting) {
    auto server = ServeStream();
    std::vector<int> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(socket(AF_INET, SOCK_STREAM, 0));  // made before the limit, connected under it
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int highest = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(highest) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers;  // take every number still free below the limit
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
        fillers.push_back(fd);
    for (int fd : clients) {
        sockaddr_in a = Loopback(server->GetPort());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    Sleep(300);  // the accept thread meets the limit
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    for (int fd : fillers)
        close(fd);
    EXPECT_TRUE(server->IsRunning());
    for (int fd : clients) {
        EXPECT_TRUE(StreamServed(fd)) << "served after the pressure ended";
        close(fd);
    }
}

TEST(ServerDeathTest, BindingAHeldPortEndsTheProcessWithStatus2) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    RawListener holder;
    EXPECT_EXIT(TcpServer(holder.port, new VideoSender()).Listen(), ::testing::ExitedWithCode(TcpServer::kExitNoBind),
                "");
}

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
    const auto closedByServer = [](int fd) {
        char c;
        return fd < 0 || (Readable(fd, 0) && recv(fd, &c, 1, MSG_DONTWAIT) == 0);
    };
    ASSERT_TRUE(WaitFor([&] { return server.ConnectionCount() >= TcpServer::kMaxPerPeer; }));
    RawClient other(server.GetPort());  // from 127.0.0.1
    EXPECT_TRUE(StreamServed(other.fd)) << "another peer shut out";
    EXPECT_TRUE(WaitFor([&] {
        return std::count_if(idle.begin(), idle.end(), closedByServer) >= 300 - TcpServer::kMaxPerPeer;
    })) << "more than the per-peer number held";
    EXPECT_LE(server.ConnectionCount(), TcpServer::kMaxPerPeer + 1);
    int served = 0;  // the peer's own connections that are held are served
    for (int fd : idle) {
        served += !closedByServer(fd) && StreamServed(fd);
        close(fd);
    }
    EXPECT_EQ(served, TcpServer::kMaxPerPeer);

    // This machine's own programs are held only by the server's cap.
    TcpServer local(0, new VideoSender);
    ASSERT_EQ(local.Listen(), 0);
    std::vector<std::unique_ptr<RawClient>> own;
    for (int i = 0; i < 2 * TcpServer::kMaxPerPeer; ++i)
        own.push_back(std::make_unique<RawClient>(local.GetPort()));
    for (auto& c : own)
        EXPECT_TRUE(StreamServed(c->fd));
}

// A connection quiet for the idle time is closed, unless its receiver keeps
// it with a request the sender ignores (as a paused player's does).
TEST(ServerPeers, IdleStreamConnectionsCloseAndAKeptOneStays) {
    auto server = ServeStream();
    server->SetIdleTimeout(500);
    PkgClient described(server->GetPort()), silent(server->GetPort());
    EXPECT_TRUE(described.Describe(StreamClip()).video.bPresent);
    VideoRecver kept;
    kept.SetKeepAlive(100, BuildSeekPkg(0));
    ASSERT_EQ(kept.Connect("127.0.0.1", server->GetPort()), 0);
    EXPECT_TRUE(WaitClosed(described.fd));
    EXPECT_TRUE(WaitClosed(silent.fd));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // twice the idle time
    EXPECT_FALSE(kept.IsEnded());
    EXPECT_EQ(kept.SendFetchMediaPkgRsq(), 0);
    EXPECT_TRUE(ConnectionsDownTo(*server, 1));
    kept.JoinThreads();
    static_assert(VideoRecver::kKeepAliveMs * 2 < TcpServer::kIdleTimeoutMs);
}

// A name swapped between a medium inside, links to another medium outside
// and a FIFO while it is described again and again: the outside medium is
// never described, and no describe blocks.
TEST(ServerFiles, SwapsUnderADescribeNeverReachOutsideNorBlock) {
    TempTree tree;
    const std::string inside = tree.File("share/inside.mp4"), outside = tree.File("outside.mp4");
    fs::copy_file(StreamClip(), inside, fs::copy_options::overwrite_existing);     // 35 s
    fs::copy_file(TestClipAv4s(), outside, fs::copy_options::overwrite_existing);  // 4 s
    auto server = ServeStream(tree.root + "/share");
    const std::string name = tree.root + "/share/swap.mp4";
    int described = 0, outsideSeen = 0, unanswered = 0;
    {
        NameSwapper swapper(name, inside, outside, 200);
        PkgClient client(server->GetPort());
        for (int i = 0; i < 200 && !unanswered; ++i) {
            const Bytes pkg = client.Ask(BuildDescribePkg(name));
            StreamDescription desc;
            ByteStream r(pkg.data(), uint32_t(pkg.size()));
            unanswered += TypeOf(pkg) != PKG_DESCRIBE_RSP || !ParseStreamDescription(r, desc);
            described += desc.video.bPresent;
            outsideSeen += desc.video.bPresent && desc.video.nDuration < 10;
        }
    }
    EXPECT_EQ(unanswered, 0);
    EXPECT_EQ(outsideSeen, 0);
    EXPECT_GT(described, 0) << "the medium inside was never described: the swap test saw nothing";
}

// A large file that is no medium is probed once: the same file described
// again within the minute is not read again, by this client or another;
// once it changes it is probed afresh.
TEST(ServerFiles, AFailedDescribeIsRememberedForTheFileUntilItChanges) {
    TempTree tree;
    const std::string junk = tree.File("junk.mp4", Noise(4 << 20, 7));
    auto server = ServeStream(tree.root);
    ReadWatch watch(junk);
    PkgClient a(server->GetPort()), b(server->GetPort());
    const auto missing = [](const StreamDescription& d) { return !d.audio.bPresent && !d.video.bPresent; };
    EXPECT_TRUE(missing(a.Describe(junk)));
    EXPECT_TRUE(watch.Read()) << "the first describe did not probe the file";
    for (PkgClient* c : {&a, &b, &a, &b})
        EXPECT_TRUE(missing(c->Describe(junk)));
    EXPECT_FALSE(watch.Read()) << "probed again within the minute";
    std::ofstream(junk, std::ios::binary | std::ios::app) << "more";
    watch.Read();
    b.Describe(junk);
    EXPECT_TRUE(watch.Read()) << "a changed file was not probed afresh";
    // A medium is never held back by the failures of others.
    fs::copy_file(StreamClip(), tree.root + "/clip.mp4");
    EXPECT_TRUE(a.Describe(tree.root + "/clip.mp4").video.bPresent);
}
