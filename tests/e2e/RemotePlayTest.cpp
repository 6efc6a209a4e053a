// Remote playback end to end: a stream listener with a VideoSender on an
// ephemeral port serves a generated clip and the process-wide player plays it
// through its remote source, with the real audio layer (dummy driver) and a
// counting display. Also the sivo-server binary with sivo-play --remote.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "common/TestMedia.h"
#include "engine/MediaPlayer.h"
#include "engine/control/NetEntry.h"
#include "engine/control/PlayEntry.h"
#include "output/PlaySound.h"
#include "output/VideoWindow.h"
#include "stream/TcpServer.h"
#include "stream/VideoSender.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPlayWaitMs = 90000;   // a 10 s clip on a loaded 2-core machine
constexpr int kEventWaitMs = 15000;  // anything that should happen soon
constexpr int kHangMs = 5000;        // far beyond a prompt Stop; only a hang reaches it

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class CountingWindow : public VideoWindow {
public:
    void SetVideoSize(int w, int h) override {
        width = w;
        height = h;
    }
    void ShowFrame(const uint8_t*) override { ++shown; }
    std::atomic<int> shown{0};
    std::atomic<int> width{0};
    std::atomic<int> height{0};
};

bool QueuesEmpty(MediaPlayer& p) {
    return p.QueuedAudioPkgs() == 0 && p.QueuedVideoPkgs() == 0 && p.QueuedFrames() == 0;
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double StopMs() {
    auto start = Clock::now();
    Stop();
    return MsSince(start);
}

class RemotePlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ThePlaySound().CreateThread();
        g_pVideoWnd = &m_window;
        m_pcmBefore = ThePlaySound().GetPcmBytesWritten();
    }
    void TearDown() override {
        Stop();
        g_pVideoWnd = nullptr;
        ThePlaySound().StopThread();
        FreeFrameBuffer();
        if (m_server)
            m_server->StopListen();
    }
    int StartSender() {
        m_server = std::make_unique<TcpServer>(0, new VideoSender);
        m_server->Listen();
        return m_server->GetPort();
    }
    uint64_t Pcm() const { return ThePlaySound().GetPcmBytesWritten() - m_pcmBefore; }

    CountingWindow m_window;
    std::unique_ptr<TcpServer> m_server;
    uint64_t m_pcmBefore = 0;
};

TEST_F(RemotePlayTest, PlaysAServedClipToTheEnd) {
    const std::string clip = TestClipAv10s();
    int port = StartSender();
    MediaPlayer& player = ThePlayer();
    ASSERT_EQ(player.StartPlay("127.0.0.1", port, clip.c_str()), 0);
    EXPECT_TRUE(player.m_bPause);  // paused until Play
    Play();
    ASSERT_TRUE(WaitFor([&] { return player.m_bInfoReady.load(); }, kEventWaitMs));
    EXPECT_EQ(GetDuration(), 10);
    ASSERT_TRUE(WaitFor([&] { return player.m_bEnd && QueuesEmpty(player); }, kPlayWaitMs));
    // Stale groups of pictures are dropped as in local playback.
    EXPECT_GE(m_window.shown, 100) << "of 250 pictures";
    EXPECT_EQ(m_window.width, 320);
    EXPECT_EQ(m_window.height, 240);
    // 10 s of 44.1 kHz stereo 16-bit is 1764000 bytes; most of it must have been played.
    EXPECT_GT(Pcm(), 1500000u);
    EXPECT_GE(GetPosition(), 8);
    EXPECT_LT(StopMs(), kHangMs);
    EXPECT_EQ(GetDuration(), 0);
}

TEST_F(RemotePlayTest, SeekAfterTheEndPlaysAgain) {
    const std::string clip = TestClipAv10s();
    int port = StartSender();
    MediaPlayer& player = ThePlayer();
    player.StartPlay("127.0.0.1", port, clip.c_str());
    Play();
    ASSERT_TRUE(WaitFor([&] { return player.m_bInfoReady.load(); }, kEventWaitMs));
    Seek(8);
    ASSERT_TRUE(WaitFor([&] { return player.m_bEnd.load(); }, kPlayWaitMs));
    int shownAtEnd = m_window.shown;
    Seek(2);
    EXPECT_FALSE(player.m_bEnd);
    ASSERT_TRUE(WaitFor([&] { return m_window.shown > shownAtEnd + 25; }, kEventWaitMs))
        << "shown " << m_window.shown << " at end " << shownAtEnd << " queued " << player.QueuedVideoPkgs() << "/"
        << player.QueuedAudioPkgs() << "/" << player.QueuedFrames() << " end " << player.m_bEnd << " clocks "
        << player.m_dVideoClock << "/" << player.m_dAudioClock;
}

TEST_F(RemotePlayTest, SenderThatVanishesLeavesThePlayerIdle) {
    const std::string clip = TestClipAv10s();
    int port = StartSender();
    MediaPlayer& player = ThePlayer();
    player.StartPlay("127.0.0.1", port, clip.c_str());
    Play();
    ASSERT_TRUE(WaitFor([&] { return m_window.shown > 5; }, kEventWaitMs));
    // Destroying the listener closes the connections it still holds.
    m_server.reset();
    ASSERT_TRUE(WaitFor([&] { return player.RemoteSourceEnded(); }, kEventWaitMs));
    ASSERT_TRUE(WaitFor([&] { return QueuesEmpty(player); }, kPlayWaitMs));
    EXPECT_FALSE(player.m_bEnd);  // the receiver does not report a lost connection as an end
    EXPECT_LT(m_window.shown, 250);
    EXPECT_LT(StopMs(), kHangMs);
}

TEST_F(RemotePlayTest, NothingListeningPlaysNothing) {
    // A port that was free a moment ago and has no listener now.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);

    MediaPlayer& player = ThePlayer();
    auto start = Clock::now();
    EXPECT_EQ(player.StartPlay("127.0.0.1", ntohs(a.sin_port), "anything.mp4"), 0);
    Play();
    EXPECT_LT(MsSince(start), kHangMs);
    EXPECT_TRUE(player.RemoteSourceEnded());
    // The feeder gives up after its first describe fails; nothing arrives.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(player.m_bInfoReady);
    EXPECT_EQ(m_window.shown, 0);
    EXPECT_TRUE(QueuesEmpty(player));
    EXPECT_LT(StopMs(), kHangMs);
}

TEST_F(RemotePlayTest, NullArgumentsAreRefused) {
    MediaPlayer& player = ThePlayer();
    EXPECT_EQ(player.StartPlay(nullptr, 1, "x"), -1);
    EXPECT_EQ(player.StartPlay("127.0.0.1", 1, nullptr), -1);
    EXPECT_TRUE(player.m_bPause);
}

TEST_F(RemotePlayTest, RemoteNameIsRememberedAgainstALocalOpenOfTheSameText) {
    const std::string clip = TestClipAv10s();
    int port = StartSender();
    MediaPlayer& player = ThePlayer();
    player.StartPlay("127.0.0.1", port, clip.c_str());
    EXPECT_EQ(player.OpenLocal(clip.c_str()), -1);
}

TEST(NetEntries, StopAllBeforeStartTcpOnlyStopsThePlayer) {
    StopAll();
    EXPECT_EQ(StreamListener(), nullptr);
    EXPECT_EQ(HttpListener(), nullptr);
    EXPECT_EQ(StopTcpSvr(), 0);
}

// ---- the executables (fixed ports 8888 and 2888) ----

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool PortAccepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

int RunStatus(const std::string& cmd) {
    int raw = std::system(cmd.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST(SivoServer, UsageHelpAndVersion) {
    const std::string bin = "'" + TestBinary("sivo-server") + "'";
    EXPECT_EQ(RunStatus(bin + " --help >/dev/null"), 0);
    EXPECT_EQ(RunStatus(bin + " --version >/dev/null"), 0);
    EXPECT_EQ(RunStatus(bin + " --bogus 2>/dev/null"), 2);
    EXPECT_EQ(RunStatus(bin + " --share-root 2>/dev/null"), 2);
}

TEST(SivoServer, ServesSivoPlayRemoteAndEndsOnSigterm) {
    if (PortAccepts(kStreamPort) || PortAccepts(kHttpPort))
        GTEST_SKIP() << "ports 8888/2888 are taken by another process";
    const std::string clip = TestClipAv10s();
    fs::path dir = fs::path(SIVO_TEST_MEDIA_DIR) / ("sivo-server-run-" + std::to_string(::getpid()));
    fs::create_directories(dir);

    pid_t server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        std::string bin = TestBinary("sivo-server");
        execl(bin.c_str(), bin.c_str(), "--share-root", dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    bool up = WaitFor([] { return PortAccepts(kStreamPort) && PortAccepts(kHttpPort); }, kEventWaitMs);
    int playStatus = -1;
    std::string out;
    if (up) {
        std::string outPath = (dir / "out").string();
        playStatus = RunStatus("cd '" + dir.string() + "' && SDL_AUDIODRIVER=dummy timeout 120 '" +
                               TestBinary("sivo-play") + "' --remote 127.0.0.1 '" + clip + "' >'" + outPath +
                               "' 2>/dev/null");
        out = Slurp(outPath);
    }
    kill(server, SIGTERM);
    int raw = 0;
    waitpid(server, &raw, 0);
    ASSERT_TRUE(up) << "sivo-server did not listen on 8888 and 2888";
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
    EXPECT_EQ(playStatus, 0) << out;
    EXPECT_NE(out.find("\"duration_s\":10"), std::string::npos) << out;
    EXPECT_EQ(out.find("\"frames_shown\":0,"), std::string::npos) << out;
}

TEST(SivoServer, SivoPlayRemoteWithNothingListeningExitsOne) {
    if (PortAccepts(kStreamPort))
        GTEST_SKIP() << "port 8888 is taken by another process";
    auto start = Clock::now();
    int status = RunStatus("SDL_AUDIODRIVER=dummy timeout 120 '" + TestBinary("sivo-play") +
                           "' --remote 127.0.0.1 x.mp4 >/dev/null 2>&1");
    EXPECT_EQ(status, 1);
    EXPECT_LT(MsSince(start), kHangMs);
}

}  // namespace
