// TcpServer with VideoSender clones on an ephemeral loopback port, driven by
// raw clients that speak the request messages.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <memory>

#include "common/FileTestUtil.h"
#include "platform/Sleep.h"
#include "StreamTestUtil.h"

extern "C" {
#include <libavcodec/packet.h>
}

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
    std::filesystem::copy_file(StreamClip(), tree.File("share/clip.mp4"), std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(StreamClip(), outside, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::create_symlink(outside, root + "/out.mp4");
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
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
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
