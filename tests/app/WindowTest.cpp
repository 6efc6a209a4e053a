#include "WindowFixture.h"
#include "output/OutputTestUtil.h"
#include "output/PlaySound.h"
#include "platform/AsyncSocket.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QKeySequence>
#include <QTimer>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

using namespace windowtest;

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
        for (const Qt::MouseButton other : {Qt::RightButton, Qt::MiddleButton})
            Mouse(*dlg.Video(), QEvent::MouseButtonDblClick, 5, other);
        EXPECT_TRUE(dlg.IsMaxed()) << "only the left button's double-click toggles the size";
        Mouse(*dlg.Video(), QEvent::MouseButtonDblClick, 5);
        dlg.resize(1300, 560);
        ExpectPlacesFor(1300, 560);
        Mouse(*dlg.Video(), QEvent::MouseButtonDblClick, 5);
        ExpectPlacesFor(screen.width(), screen.height());
        const QImage shot = dlg.grab().toImage();
        EXPECT_NE(shot.pixel(700, 5), shot.pixel(700, 300)) << "no caption band";
    }
    // The slider works in mixer units, or in percent of the player's own gain
    // when there is no mixer.
    const CMixer mixer(0x1003, CMixer::kModeWaveOut);
    const bool ready = mixer.IsReady() && mixer.GetMax() > mixer.GetMin();
    EXPECT_EQ(m_dlg->Slider(IDC_VOLUME).GetRangeMin(), ready ? static_cast<int>(mixer.GetMin()) : 0);
    EXPECT_EQ(m_dlg->Slider(IDC_VOLUME).GetRangeMax(), ready ? static_cast<int>(mixer.GetMax()) : 100);
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

// The play button, the space key and the media interface's PlayPause all
// toggle what the player does, even where the button's image has not
// followed it (an open starts playing and leaves the image alone; a seek
// resumes).
TEST_F(WindowTest, PlayButtonSpaceAndTheMediaInterfaceToggleTheSameWay) {
    CSivoDlg& dlg = Open();
    ASSERT_TRUE(dlg.OpenMedia(TestClipAv10s()));
    MprisHost& mpris = dlg;
    const auto button = [&] { dlg.Button(IDC_PLAY).click(); };
    const auto space = [&] { Press(dlg.Slider(IDC_VOLUME), Qt::Key_Space); };
    const auto playPause = [&] { mpris.TogglePause(); };
    const struct { std::function<void()> toggle; bool playerPausedBefore, pausedAfter; const char* what; } steps[] = {
        {button, false, true, "the button pauses what an open started"},
        {space, true, false, "space plays"},
        {playPause, false, true, "PlayPause pauses"},
        {button, true, false, "the button plays"},
        {space, false, true, "space pauses"},
        {playPause, true, false, "PlayPause plays"},
        {button, false, true, "the button pauses"},
        {playPause, false, true, "PlayPause pauses what a seek resumed"},
        {space, false, true, "space pauses what a seek resumed"},
        {button, false, true, "the button pauses what a seek resumed"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        m_entries->paused = step.playerPausedBefore;
        const int calls = m_entries->plays + m_entries->pauses;
        step.toggle();
        EXPECT_EQ(m_entries->paused, step.pausedAfter);
        EXPECT_EQ(m_entries->plays + m_entries->pauses, calls + 1);
        EXPECT_EQ(dlg.IsPlaying(), !step.pausedAfter);
        EXPECT_EQ(dlg.Button(IDC_PLAY).NormalImage(),
                  m_dir + "/Skin/main/button-" + (step.pausedAfter ? "play-normal" : "pause-down") + ".png");
        EXPECT_STREQ(mpris.PlaybackStatus(), step.pausedAfter ? "Paused" : "Playing");
    }
}

TEST_F(WindowTest, ProgressThumbSeeksAtTheNextTickAndTicksMoveTheSlider) {
    CSivoDlg& dlg = Open();
    CSliderCtrlEx& progress = dlg.Slider(IDC_PROGRESS);
    dlg.OnHScroll(SB_THUMBTRACK, 50, &progress);
    EXPECT_EQ(dlg.SeekTarget(), -1) << "nothing open, nothing recorded";

    // Dragged with the mouse: 200 px of travel for the 10 px plain thumb; to
    // the very start too.
    m_entries->duration = 200;
    progress.resize(210, 20);
    progress.SetPos(50);
    for (auto [type, x] : {std::pair{QEvent::MouseButtonPress, 105}, {QEvent::MouseMove, 0}})
        Mouse(progress, type, x);
    EXPECT_EQ(dlg.SeekTarget(), 0) << "the thumb at the start";
    ASSERT_TRUE(PumpUntil([&] { return !m_entries->seeks.empty(); })) << "the running timer never seeked";
    EXPECT_EQ(m_entries->seeks, std::vector<double>{0});
    for (auto [type, x] : {std::pair{QEvent::MouseButtonPress, 5}, {QEvent::MouseMove, 55}})
        Mouse(progress, type, x);
    EXPECT_EQ(dlg.SeekTarget(), 50);
    dlg.OnHScroll(SB_THUMBTRACK, 50, &progress);
    EXPECT_EQ(dlg.SeekTarget(), 100);
    // Clicks in the channel, keys and the end of a drag move no playback.
    for (int code : {SB_PAGEUP, SB_PAGEDOWN, SB_LINEUP, SB_TOP, SB_ENDSCROLL})
        dlg.OnHScroll(code, 0, &progress);
    EXPECT_EQ(dlg.SeekTarget(), 100);
    ASSERT_TRUE(PumpUntil([&] { return m_entries->seeks.size() == 2; })) << "the running timer never seeked";
    EXPECT_EQ(m_entries->seeks, (std::vector<double>{0, 100}));
    EXPECT_EQ(dlg.SeekTarget(), -1);
    // Released at the start: the start is played again.
    Mouse(progress, QEvent::MouseButtonPress, 5 + 2 * progress.GetPos());
    Mouse(progress, QEvent::MouseButtonRelease, 0);
    EXPECT_EQ(dlg.SeekTarget(), 0);
    dlg.OnTimer(PROGRESS_TIMER_ID);
    EXPECT_EQ(m_entries->seeks, (std::vector<double>{0, 100, 0}));

    // Position, duration and the slider afterwards, once the seek has settled.
    std::this_thread::sleep_for(std::chrono::milliseconds(SEEK_SETTLE_MS + 20));
    for (auto [position, duration, slider] : {std::tuple{30, 120, 25}, {10, 50, 20}, {0, 1, 20}, {120, 120, 20}}) {
        m_entries->position = position;
        m_entries->duration = duration;
        dlg.OnTimer(PROGRESS_TIMER_ID);
        EXPECT_EQ(progress.GetPos(), slider) << position << " of " << duration;
    }
    EXPECT_EQ(m_entries->seeks.size(), 3u);
    // The thumb's place is a share of the medium, to the fraction of a second.
    m_entries->duration = 7;
    dlg.OnHScroll(SB_THUMBTRACK, 50, &progress);
    dlg.OnTimer(PROGRESS_TIMER_ID);
    EXPECT_EQ(m_entries->seeks.back(), 3.5);
}

// Targets outside the medium land at its ends; no number, or nothing open,
// seeks nowhere; a relative seek puts the slider where it lands.
TEST_F(WindowTest, SeekTargetsLandInsideTheMediumOrNowhere) {
    CSivoDlg& dlg = Open();
    const double nan = std::nan("");
    dlg.SeekTo(10);
    dlg.SeekBy(10);
    EXPECT_TRUE(m_entries->seeks.empty() && m_entries->seekBys.empty()) << "seeked with nothing open";
    m_entries->duration = 200;
    m_entries->position = 150.5;
    // Each call, then the calls made so far of each kind and the slider.
    const struct { bool absolute; double seconds; size_t seeks, seekBys; int slider; } steps[] = {
        {true, -3.0, 1, 0, 0},   {true, 500.0, 2, 0, 100}, {true, 12.25, 3, 0, 6},  {true, nan, 3, 0, 6},
        {false, nan, 3, 0, 6},   {false, 29.5, 3, 1, 90},  {false, 80.0, 3, 2, 100}, {false, -200.0, 3, 3, 0}};
    for (const auto& [absolute, seconds, seeks, seekBys, slider] : steps) {
        absolute ? dlg.SeekTo(seconds) : dlg.SeekBy(seconds);
        EXPECT_EQ(std::pair(m_entries->seeks.size(), m_entries->seekBys.size()), std::pair(seeks, seekBys)) << seconds;
        EXPECT_EQ(dlg.Slider(IDC_PROGRESS).GetPos(), slider) << seconds;
    }
    EXPECT_EQ(m_entries->seeks, (std::vector<double>{0, 200, 12.25}));
    EXPECT_EQ(m_entries->seekBys, (std::vector<double>{29.5, 80, -200}));
}

// Right after a seek the player may still report where it was: the slider
// stays where the seek put it until the seek has settled, whoever asked for it.
TEST_F(WindowTest, TheSliderHoldsWhileASeekSettles) {
    CSivoDlg& dlg = Open();
    CSliderCtrlEx& progress = dlg.Slider(IDC_PROGRESS);
    m_entries->duration = 200;
    const std::function<void()> seeks[] = {
        [&] { dlg.SeekTo(100); },   // keys and the media interface
        [&] {                       // the thumb, at the next tick
            dlg.OnHScroll(SB_THUMBTRACK, 50, &progress);
            dlg.OnTimer(PROGRESS_TIMER_ID);
        },
    };
    for (const auto& seek : seeks) {
        m_entries->position = 20;
        progress.SetPos(10);
        seek();
        ASSERT_EQ(m_entries->seeks.back(), 100);
        progress.SetPos(50);
        // The timer's next tick may come any moment after.
        std::this_thread::sleep_for(std::chrono::milliseconds(SEEK_SETTLE_MS / 5));
        dlg.OnTimer(PROGRESS_TIMER_ID);
        EXPECT_EQ(progress.GetPos(), 50) << "a tick soon after the seek moved the slider back";
        std::this_thread::sleep_for(std::chrono::milliseconds(SEEK_SETTLE_MS + 20));
        m_entries->position = 120;
        dlg.OnTimer(PROGRESS_TIMER_ID);
        EXPECT_EQ(progress.GetPos(), 60) << "the slider stopped following the player";
    }
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
    send(COPYDATA_REMOTE_PLAY - 1, block.data(), block.size());
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

// Each key, sent to whichever control has the focus, and what it must change.
TEST_F(WindowTest, KeysDriveThePlayerWhicheverControlHasTheFocus) {
    CSivoDlg& dlg = Open();
    m_entries->duration = 200;
    m_entries->position = 100;
    const double volume = dlg.VolumeShare();
    const CMixer mixer(0x1003, CMixer::kModeWaveOut);
    const bool mixerReady = mixer.IsReady() && mixer.GetMax() > mixer.GetMin();
    const auto gain = [&] { return ThePlaySound().GetGain(); };
    // Relative seeks leave counting to the player, from the sound being heard.
    const auto seekedBy = [&](double s) {
        return [&, s] { return !m_entries->seekBys.empty() && m_entries->seekBys.back() == s && m_entries->seeks.empty(); };
    };
    QWidget* const volumeSlider = &dlg.Slider(IDC_VOLUME);
    QWidget* const progress = &dlg.Slider(IDC_PROGRESS);
    QWidget* const play = &dlg.Button(IDC_PLAY);
    bool menuSeen = false;
    const struct { QWidget* focus; int key; Qt::KeyboardModifiers modifiers; std::function<bool()> done; const char* what; }
    steps[] = {
        {volumeSlider, Qt::Key_Left, Qt::NoModifier, seekedBy(-5), "Left seeks 5 s back"},
        {play, Qt::Key_Right, Qt::NoModifier, seekedBy(5), "Right seeks 5 s on"},
        {progress, Qt::Key_Up, Qt::NoModifier, seekedBy(60), "Up seeks 60 s on"},
        {progress, Qt::Key_Down, Qt::NoModifier, seekedBy(-60), "Down seeks 60 s back"},
        {play, Qt::Key_Space, Qt::NoModifier, [&] { return !m_entries->paused && dlg.IsPlaying(); }, "Space plays"},
        {play, Qt::Key_Space, Qt::NoModifier, [&] { return m_entries->paused && !dlg.IsPlaying(); }, "Space pauses"},
        {volumeSlider, Qt::Key_9, Qt::NoModifier, [&] { return std::abs(dlg.VolumeShare() - (volume - 0.05)) < 0.011; },
         "9 lowers the volume"},
        {volumeSlider, Qt::Key_0, Qt::NoModifier, [&] { return std::abs(dlg.VolumeShare() - volume) < 0.011; },
         "0 raises it"},
        {&dlg, Qt::Key_M, Qt::NoModifier, [&] { return dlg.IsMuted() && gain() == 0.0f; }, "m mutes"},
        {&dlg, Qt::Key_M, Qt::NoModifier,
         [&] { return !dlg.IsMuted() && std::abs(gain() - (mixerReady ? 1.0 : volume)) < 0.011; }, "m unmutes"},
        {play, Qt::Key_F, Qt::NoModifier,
         [&] { return dlg.IsFullScreen() && !dlg.ControlsShown() && dlg.Video()->geometry() == dlg.rect(); },
         "f shows the video alone"},
        {play, Qt::Key_Escape, Qt::NoModifier, [&] { return !dlg.IsFullScreen() && dlg.isVisible(); },
         "Escape leaves fullscreen only"},
        {progress, Qt::Key_Space, Qt::AltModifier, [&] { return menuSeen && dlg.isVisible(); },
         "Alt+Space opens the caption menu"},
        {progress, Qt::Key_Return, Qt::NoModifier, [&] { return !dlg.isVisible() && dlg.result() == QDialog::Accepted; },
         "Enter is the dialog's OK"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.modifiers == Qt::AltModifier) {
            // The menu runs its own loop; note it and close it from there.
            QTimer::singleShot(50, [&] {
                if (QWidget* pPopup = QApplication::activePopupWidget()) {
                    QStringList items;
                    for (const QAction* pAction : pPopup->actions())
                        items << pAction->text();
                    menuSeen = items.join('|') == "&Open file...|&Share folder...||&Network|Se&ttings...|Au&dio|Su&btitles|C&hapters||&About sivo...";
                    pPopup->close();
                }
            });
        }
        Press(*step.focus, step.key, step.modifiers);
        EXPECT_TRUE(PumpUntil(step.done));
        EXPECT_EQ(dlg.Slider(IDC_PROGRESS).GetRangeMax(), 100);
        if (step.key == Qt::Key_F) {
            // A mouse move brings the controls back for a while.
            QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), dlg.Video()->mapToGlobal(QPointF(5, 5)), Qt::NoButton,
                             Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(dlg.Video(), &move);
            EXPECT_TRUE(dlg.ControlsShown() && dlg.Button(IDC_OPEN).isVisible());
            EXPECT_TRUE(PumpUntil([&] { return !dlg.ControlsShown() && !dlg.Button(IDC_OPEN).isVisible(); }));
        }
    }
    EXPECT_EQ(m_entries->stopAlls, 1);
    // Volume without a mixer is the player's own gain.
    dlg.SetVolumeShare(0.5);
    EXPECT_NEAR(gain(), mixerReady ? 1.0 : 0.5, 0.011);
    dlg.SetVolumeShare(1.0);

    // o and Ctrl+O open the file chooser; q, Ctrl+Q and Escape (out of
    // fullscreen) close the window, each on a window of its own.
    for (const auto& [key, modifiers, closes] : {std::tuple{Qt::Key_O, Qt::NoModifier, false},
                                                {Qt::Key_O, Qt::ControlModifier, false},
                                                {Qt::Key_Q, Qt::NoModifier, true},
                                                {Qt::Key_Q, Qt::ControlModifier, true},
                                                {Qt::Key_Escape, Qt::NoModifier, true}}) {
        SCOPED_TRACE(QKeySequence(key | modifiers).toString().toStdString());
        CSivoDlg& window = Open();
        const bool chooser = WithDialog(window, [&] { Press(window.Button(IDC_PLAY), key, modifiers); },
                                        [](QDialog& d) { EXPECT_TRUE(qobject_cast<QFileDialog*>(&d)); });
        EXPECT_EQ(chooser, !closes);
        EXPECT_EQ(window.isVisible(), !closes);
        EXPECT_EQ(m_entries->stopAlls, closes ? 1 : 0);
    }
}

// Drops: a local medium plays and is named in the bottom band; anything
// else (several files none of which plays, too) shows why over the video and
// leaves playback alone.
TEST_F(WindowTest, DropsPlayOneLocalFileAndOtherwiseSayWhyNot) {
    CSivoDlg& dlg = Open();
    const std::string clip = TestClipAv10s();
    const std::string text = TestFile("not-a-medium.txt", "plain words, no medium");
    const std::string pipe = m_dir + "/pipe.mp4";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const QRect screen = dlg.screen()->availableGeometry();
    const auto drop = [&](const QList<QUrl>& urls) { EXPECT_TRUE(Drop(dlg, urls)); };
    const auto file = FileUrl;
    drop({file(clip)});
    EXPECT_EQ(m_entries->localPlays, std::vector<std::string>{clip});
    EXPECT_EQ(dlg.MediaName(), fs::path(clip).filename().string());
    EXPECT_TRUE(dlg.ReasonText().isEmpty());
    for (auto [urls, reason] : {std::pair{QList<QUrl>{file(m_dir)}, "folder"},
                                {QList<QUrl>{file(m_dir + "/missing.mp4")}, "does not exist"},
                                {QList<QUrl>{file(text)}, "cannot open"},
                                {QList<QUrl>{file(pipe)}, "not a regular file"},
                                {QList<QUrl>{file(m_dir + "/missing.mp4"), file(text)}, "cannot open"},
                                {QList<QUrl>{QUrl("http://127.0.0.1/a.mp4")}, "local files"}}) {
        drop(urls);
        EXPECT_TRUE(dlg.ReasonText().contains(reason)) << dlg.ReasonText().toStdString();
        EXPECT_EQ(m_entries->localPlays.size(), 1u) << reason;
        EXPECT_EQ(dlg.MediaName(), fs::path(clip).filename().string());
    }
    drop({file(clip)});
    EXPECT_TRUE(dlg.ReasonText().isEmpty()) << "the reason outlived the next file";

    // The time, in the band and as the progress slider's tooltip; no control moves.
    m_entries->position = 17;
    m_entries->duration = 5525;
    dlg.OnTimer(PROGRESS_TIMER_ID);
    EXPECT_EQ(dlg.TimeText(), "0:17 / 1:32:05");
    EXPECT_EQ(dlg.Slider(IDC_PROGRESS).toolTip(), "0:17 / 1:32:05");
    ExpectPlacesFor(screen.width(), screen.height());
}

// Restored and shrunk to 640 x 360, all nine controls stay whole, apart and
// inside the window.
TEST_F(WindowTest, EveryControlStaysReachableDownTo640x360) {
    fs::create_directory_symlink(fs::path(SIVO_SOURCE_DIR) / "skin", m_dir + "/Skin");
    CSivoDlg& dlg = Open();
    dlg.MaxOrNormal();
    dlg.resize(640, 360);
    ASSERT_TRUE(PumpUntil([&] { return dlg.size() == QSize(640, 360); }));
    std::vector<QRect> places;
    for (uint32_t id : {IDC_AUDIO, IDC_VOLUME, IDC_STOP, IDC_PREV, IDC_PLAY, IDC_NEXT, IDC_OPEN, IDC_SHARE, IDC_PROGRESS}) {
        const QWidget& control =
            id == IDC_VOLUME || id == IDC_PROGRESS ? static_cast<QWidget&>(dlg.Slider(id)) : dlg.Button(id);
        const QRect place = control.geometry();
        // The play button hangs 4 px below the client by its anchor.
        EXPECT_TRUE(control.isVisible() && dlg.rect().adjusted(0, 0, 0, 4).contains(place)) << id;
        EXPECT_GE(place.width(), 12) << id;
        for (const QRect& other : places)
            EXPECT_FALSE(place.intersects(other)) << id;
        places.push_back(place);
    }
}

// The caption menu's dialogs show their texts whole: the About box's Chinese
// texts in a face that has them, the share prompt inside the folder chooser
// (its caption is too short for it).
TEST_F(WindowTest, CaptionMenuDialogsShowTheirTextsWhole) {
    CSivoDlg& dlg = Open();
    std::vector<std::string> missing;
    EXPECT_TRUE(WithDialog(dlg, [&] { dlg.OnSysCommand(IDM_ABOUTBOX); }, [&](QDialog& about) {
        QStringList texts{about.windowTitle()};
        for (const QLabel* pLabel : about.findChildren<QLabel*>())
            texts << pLabel->text();
        for (const QAbstractButton* pButton : about.findChildren<QAbstractButton*>())
            texts << pButton->text();
        const QFontMetrics metrics(about.font());
        for (const QString& text : texts)
            for (const uint ch : text.toUcs4())
                if (ch > 0x7F && !metrics.inFontUcs4(ch))
                    missing.push_back(QString::fromUcs4(reinterpret_cast<const char32_t*>(&ch), 1).toStdString());
    }));
    EXPECT_TRUE(missing.empty()) << missing.size() << " characters without a glyph, the first " << missing.front();

    EXPECT_TRUE(WithDialog(dlg, [&] { dlg.OnShareFolder(); }, [&](QDialog& chooser) {
        EXPECT_FALSE(chooser.windowTitle().contains("Please")) << chooser.windowTitle().toStdString();
        QStringList labels;
        for (const QLabel* pLabel : chooser.findChildren<QLabel*>())
            if (pLabel->isVisible())
                labels << pLabel->text();
        EXPECT_TRUE(labels.join('|').contains("Please choose share file directory")) << labels.join('|').toStdString();
    }));
    EXPECT_TRUE(dlg.ShareDir().empty()) << "a cancelled chooser shared a folder";
}

// A skin image is painted from its double-size file on a device scaled by
// two and from its own file otherwise, whatever the scale was when it was
// loaded; its size is the window's either way, also when only the double
// one exists.
TEST(SkinImageTest, EachPaintTakesTheFileThatSuitsItsDevice) {
    TempDir dir;
    const auto write = [&](const std::string& name, int size, Qt::GlobalColor colour) {
        QImage image(size, size, QImage::Format_RGB32);
        image.fill(colour);
        ASSERT_TRUE(image.save(QString::fromStdString(dir.path + "/" + name)));
    };
    write("both.png", 10, Qt::red);
    write("both@2x.png", 20, Qt::blue);
    write("double@2x.png", 20, Qt::green);
    write("single.png", 10, Qt::yellow);
    QImage one(10, 10, QImage::Format_RGB32), two(20, 20, QImage::Format_RGB32);
    two.setDevicePixelRatio(2.0);
    struct Case { const char* file; QRgb onOne, onTwo; } cases[] = {
        {"both.png", qRgb(255, 0, 0), qRgb(0, 0, 255)},
        {"double.png", qRgb(0, 255, 0), qRgb(0, 255, 0)},
        {"single.png", qRgb(255, 255, 0), qRgb(255, 255, 0)},
    };
    for (const Case& c : cases) {
        const SkinImage image(dir.path + "/" + c.file);
        ASSERT_FALSE(image.isNull()) << c.file;
        EXPECT_EQ(image.Size(), QSize(10, 10)) << c.file;
        EXPECT_EQ(image.For(one).toImage().pixel(0, 0), c.onOne) << c.file;
        EXPECT_EQ(image.For(two).toImage().pixel(0, 0), c.onTwo) << c.file;
        EXPECT_EQ(image.For(two).deviceIndependentSize().toSize(), QSize(10, 10)) << c.file;
    }
    EXPECT_TRUE(SkinImage(dir.path + "/missing.png").isNull());
}
