#include "app/sivoDlg.h"
#include "platform/AsyncSocket.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QScreen>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Request = std::pair<std::string, std::string>;

// Records what the window asks of the engine, and answers position and duration.
struct RecordingEntries : SivoEntries {
    void Play() override { ++plays; }
    void Pause() override { ++pauses; }
    void Stop() override { ++stops; }
    void Seek(int seconds) override { seeks.push_back(seconds); }
    int GetPosition() override { return position; }
    int GetDuration() override { return duration; }
    void RemotePlay(const char* address, const char* name) override { remotePlays.emplace_back(address, name); }
    void StopAll() override { ++stopAlls; }
    std::vector<int> seeks;
    std::vector<Request> remotePlays;
    int plays = 0, pauses = 0, stops = 0, stopAlls = 0, position = 0, duration = 0;
};

// Generous: the CI machine may be busy with other builds.
constexpr auto kWindowEventWait = std::chrono::seconds(10);

// Runs the event loop until `done` holds or the wait ends.
bool PumpUntil(const std::function<bool()>& done) {
    for (const auto deadline = std::chrono::steady_clock::now() + kWindowEventWait; !done();) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The left button, held, at x and half the widget's height.
void Mouse(QWidget& widget, QEvent::Type type, int x) {
    const QPointF at(x, widget.height() / 2);
    QMouseEvent event(type, at, widget.mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

// A window over a private application directory, its channels on private endpoints.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sivo-window-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        m_dlg.reset();
        fs::remove_all(m_dir);
    }
    CSivoDlg& Open() {
        m_dlg = std::make_unique<CSivoDlg>(m_dir);
        m_dlg->SetEntries(std::unique_ptr<SivoEntries>(m_entries = new RecordingEntries));
        m_dlg->SetEndpoints(0, CopyDataSocket());
        EXPECT_TRUE(m_dlg->InitDialog());
        return *m_dlg;
    }
    std::string CopyDataSocket() const { return m_dir + "/copydata"; }

    // The video area and the nine controls for a client of w x h.
    void ExpectPlacesFor(int w, int h) {
        CSivoDlg& dlg = *m_dlg;
        ASSERT_TRUE(PumpUntil([&] { return dlg.size() == QSize(w, h); })) << w << "x" << h;
        const int T = dlg.TopBand(), B = dlg.BottomBand(), R = dlg.FrameAllowance();
        EXPECT_EQ(dlg.Video()->geometry(), QRect(0, T - 4, w - R + 4, h - B - T + 8));
        for (auto [id, left, fromBottom, width, height] :
             {std::tuple{IDC_AUDIO, 18, 37, 31, 22}, {IDC_VOLUME, 58, 40, 200, 30}, {IDC_STOP, 300, 59, 148, 59},
              {IDC_PREV, 468, 59, 110, 59}, {IDC_PLAY, 598, 65, 72, 69}, {IDC_NEXT, 690, 59, 110, 59},
              {IDC_OPEN, 820, 59, 148, 59}, {IDC_SHARE, 1028, 52, 34, 32}, {IDC_PROGRESS, 1072, 20, 200, 20}}) {
            const bool slider = id == IDC_VOLUME || id == IDC_PROGRESS;
            EXPECT_EQ(slider ? dlg.Slider(id).geometry() : dlg.Button(id).geometry(),
                      QRect(left, h - fromBottom, width, height)) << id << " at " << w << "x" << h;
        }
    }

    std::string m_dir;
    std::unique_ptr<CSivoDlg> m_dlg;
    RecordingEntries* m_entries = nullptr;
};

} // namespace

// With the tree's skin, without any, and with broken images (plain drawing):
// the window opens maximised, and every size change re-places it all.
TEST_F(WindowTest, VideoAndControlsStandWhereTheAnchorsPutThemAtEverySize) {
    for (const char* skin : {"tree", "none", "broken"}) {
        SCOPED_TRACE(std::string("skin: ") + skin);
        fs::remove(m_dir + "/Skin");
        if (skin == std::string("tree")) {
            fs::create_directory_symlink(fs::path(SIVO_SOURCE_DIR) / "skin", m_dir + "/Skin");
        } else if (skin == std::string("broken")) {
            fs::create_directories(m_dir + "/Skin/main");
            std::ofstream(m_dir + "/Skin/main/bg-top-mid.png") << "not a picture";
            std::ofstream(m_dir + "/Skin/main/button-play-normal.png") << "\x89PNG broken";
        }
        CSivoDlg& dlg = Open();
        // The frame images: 32 px top, 80 px bottom, 2 px edges.
        EXPECT_TRUE(skin != std::string("tree") ||
                    std::tuple(dlg.TopBand(), dlg.BottomBand(), dlg.FrameAllowance()) == std::tuple(32, 80, 4));
        const QRect screen = dlg.screen()->availableGeometry();
        EXPECT_TRUE(dlg.IsMaxed());
        ExpectPlacesFor(screen.width(), screen.height());
        Mouse(*dlg.Video(), QEvent::MouseButtonDblClick, 5);
        dlg.resize(1300, 560);
        ExpectPlacesFor(1300, 560);
        Mouse(*dlg.Video(), QEvent::MouseButtonDblClick, 5);
        ExpectPlacesFor(screen.width(), screen.height());
        const QImage shot = dlg.grab().toImage();
        EXPECT_NE(shot.pixel(700, 5), shot.pixel(700, 300)) << "no caption band";
    }
    const CMixer mixer(0x1003, CMixer::kModeWaveOut);
    EXPECT_EQ(m_dlg->Slider(IDC_VOLUME).GetRangeMin(), static_cast<int>(mixer.GetMin()));
    EXPECT_EQ(m_dlg->Slider(IDC_VOLUME).GetRangeMax(), static_cast<int>(mixer.GetMax()));
}

// Each click in turn, then the state, the images (play, audio) and the calls so far.
TEST_F(WindowTest, PlayPauseAndAudioToggleTheirImagesAndOnlyTheirOwnButtonsChangePlayback) {
    CSivoDlg& dlg = Open();
    const struct { uint32_t click; bool playing, audioDown; const char *play, *audio; int plays, pauses, stops; }
    steps[] = {{IDC_PLAY, true, false, "pause-down", "audio-normal", 1, 0, 0},
               {IDC_PLAY, false, false, "play-normal", "audio-normal", 1, 1, 0},
               {IDC_AUDIO, false, true, "play-normal", "audio-down", 1, 1, 0},
               {IDC_PREV, false, true, "play-normal", "audio-down", 1, 1, 0},
               {IDC_NEXT, false, true, "play-normal", "audio-down", 1, 1, 0},
               {IDC_AUDIO, false, false, "play-normal", "audio-normal", 1, 1, 0},
               {IDC_PLAY, true, false, "pause-down", "audio-normal", 2, 1, 0},
               {IDC_STOP, true, false, "pause-down", "audio-normal", 2, 1, 1}};   // stop leaves the button alone
    for (const auto& s : steps) {
        dlg.Button(s.click).click();
        SCOPED_TRACE("after a click on " + std::to_string(s.click));
        EXPECT_EQ(std::tuple(dlg.IsPlaying(), dlg.IsAudioDown()), std::tuple(s.playing, s.audioDown));
        EXPECT_EQ(dlg.Button(IDC_PLAY).NormalImage(), m_dir + "/Skin/main/button-" + s.play + ".png");
        EXPECT_EQ(dlg.Button(IDC_AUDIO).NormalImage(), m_dir + "/Skin/main/button-" + s.audio + ".png");
        EXPECT_EQ(std::tuple(m_entries->plays, m_entries->pauses, m_entries->stops),
                  std::tuple(s.plays, s.pauses, s.stops));
        EXPECT_TRUE(m_entries->seeks.empty());
    }
}

TEST_F(WindowTest, ProgressThumbSeeksAtTheNextTickAndTicksMoveTheSlider) {
    CSivoDlg& dlg = Open();
    CSliderCtrlEx& progress = dlg.Slider(IDC_PROGRESS);
    dlg.OnHScroll(SB_THUMBTRACK, 50, &progress);
    EXPECT_EQ(dlg.SeekTarget(), -1) << "nothing open, nothing recorded";

    // Dragged with the mouse: 200 px of travel for the 10 px plain thumb.
    m_entries->duration = 200;
    progress.resize(210, 20);
    progress.SetPos(50);
    for (auto [type, x] : {std::pair{QEvent::MouseButtonPress, 105}, {QEvent::MouseMove, 0}})
        Mouse(progress, type, x);
    EXPECT_EQ(dlg.SeekTarget(), -1) << "a thumb at 0 records nothing";
    for (auto [type, x] : {std::pair{QEvent::MouseButtonPress, 5}, {QEvent::MouseMove, 55}})
        Mouse(progress, type, x);
    EXPECT_EQ(dlg.SeekTarget(), 50);
    dlg.OnHScroll(SB_THUMBTRACK, 50, &progress);
    EXPECT_EQ(dlg.SeekTarget(), 100);
    ASSERT_TRUE(PumpUntil([&] { return !m_entries->seeks.empty(); })) << "the running timer never seeked";
    EXPECT_EQ(m_entries->seeks, std::vector<int>{100});
    EXPECT_EQ(dlg.SeekTarget(), -1);

    // Position, duration, thumb position recorded first (0: none), slider afterwards.
    for (auto [position, duration, thumb, slider] : {std::tuple{30, 120, 0, 25}, {10, 50, 1, 20} /* target 0: no seek */,
                                                     {0, 1, 0, 20}, {120, 120, 0, 20}}) {
        m_entries->position = position;
        m_entries->duration = duration;
        g_dwLastSeekTick = 0;
        if (thumb)
            dlg.OnHScroll(SB_THUMBTRACK, thumb, &progress);
        dlg.OnTimer(PROGRESS_TIMER_ID);
        EXPECT_EQ(progress.GetPos(), slider) << position << " of " << duration;
    }
    EXPECT_EQ(m_entries->seeks.size(), 1u);
}

// Over the copy-data channel and the UDP control socket, served by the event loop.
TEST_F(WindowTest, PlayRequestsOfOtherProcessesReachRemotePlayAndNothingElseDoes) {
    CAsyncSocket peer;
    ASSERT_TRUE(peer.Create(0, "127.0.0.1"));
    CSivoDlg& dlg = Open();
    EXPECT_EQ(fs::status(CopyDataSocket()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    CCopyDataChannel second;
    EXPECT_FALSE(second.Create(CopyDataSocket())) << "a live window's channel was taken";

    const auto send = [&](uint32_t code, const void* data, size_t size) {
        ASSERT_TRUE(SendCopyData(CopyDataSocket(), code, data, size));
    };
    const std::vector<uint8_t> block = MakeRemotePlayBlock("192.168.1.20", "movies/a.mp4");
    // Neither text terminated: each ends at its field or at the block's end.
    std::vector<uint8_t> unterminated(COPYDATA_NAME_OFFSET + 7, 'a');
    std::memset(unterminated.data() + COPYDATA_NAME_OFFSET, 'n', 7);
    send(COPYDATA_REMOTE_PLAY + 1, block.data(), block.size());
    send(COPYDATA_REMOTE_PLAY, nullptr, 0);
    send(COPYDATA_REMOTE_PLAY, block.data(), COPYDATA_NAME_OFFSET - 1);
    send(COPYDATA_REMOTE_PLAY, unterminated.data(), unterminated.size());
    send(COPYDATA_REMOTE_PLAY, block.data(), block.size());
    ASSERT_TRUE(PumpUntil([&] { return m_entries->remotePlays.size() == 2; }));
    const std::string request = "raduzira: strFileName=\"a b.mp4\" strSrcIP=\"10.0.0.7\" time=\"5\" ";
    peer.SendTo(request.data(), static_cast<int>(request.size()), dlg.UdpSocket().LocalPort(), "127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return m_entries->remotePlays.size() == 3; }));
    EXPECT_EQ(m_entries->remotePlays, (std::vector<Request>{{std::string(COPYDATA_ADDRESS_SIZE, 'a'), "nnnnnnn"},
                                                            {"192.168.1.20", "movies/a.mp4"},
                                                            {"10.0.0.7", "a b.mp4"}}));

    // Closing stops everything once.
    dlg.reject();
    dlg.reject();
    EXPECT_EQ(m_entries->stopAlls, 1);
}
