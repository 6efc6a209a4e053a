#include "WindowTestUtil.h"

#include "platform/AsyncSocket.h"

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

TEST_F(WindowFixture, PlayPauseAndAudioButtonsToggleImagesAndState) {
    LinkSkin();
    CSivoDlg& dlg = Open();
    EXPECT_FALSE(dlg.IsPlaying());
    EXPECT_TRUE(EndsWith(dlg.Button(IDC_PLAY).NormalImage(), "/main/button-play-normal.png"));

    dlg.Button(IDC_PLAY).click();
    EXPECT_TRUE(dlg.IsPlaying());
    EXPECT_EQ(m_entries->plays, 1);
    EXPECT_EQ(m_entries->pauses, 0);
    EXPECT_TRUE(EndsWith(dlg.Button(IDC_PLAY).NormalImage(), "/main/button-pause-down.png"));

    dlg.Button(IDC_PLAY).click();
    EXPECT_FALSE(dlg.IsPlaying());
    EXPECT_EQ(m_entries->pauses, 1);
    EXPECT_TRUE(EndsWith(dlg.Button(IDC_PLAY).NormalImage(), "/main/button-play-normal.png"));

    // Audio, previous and next change no playback.
    dlg.Button(IDC_AUDIO).click();
    EXPECT_TRUE(dlg.IsAudioDown());
    EXPECT_TRUE(EndsWith(dlg.Button(IDC_AUDIO).NormalImage(), "/main/button-audio-down.png"));
    dlg.Button(IDC_AUDIO).click();
    EXPECT_FALSE(dlg.IsAudioDown());
    EXPECT_TRUE(EndsWith(dlg.Button(IDC_AUDIO).NormalImage(), "/main/button-audio-normal.png"));
    dlg.Button(IDC_PREV).click();
    dlg.Button(IDC_NEXT).click();
    EXPECT_EQ(m_entries->plays, 1);
    EXPECT_EQ(m_entries->pauses, 1);
    EXPECT_EQ(m_entries->stops, 0);

    // Stop stops, and leaves the play button alone.
    dlg.Button(IDC_PLAY).click();
    dlg.Button(IDC_STOP).click();
    EXPECT_EQ(m_entries->stops, 1);
    EXPECT_TRUE(dlg.IsPlaying());
}

TEST_F(WindowFixture, ProgressThumbSeeksAtTheNextTickAndTicksMoveTheSlider) {
    CSivoDlg& dlg = Open();
    CSliderCtrlEx& progress = dlg.Slider(IDC_PROGRESS);
    EXPECT_EQ(progress.GetRangeMin(), 0);
    EXPECT_EQ(progress.GetRangeMax(), 100);

    // Nothing open: a drag is not recorded.
    dlg.OnHScroll(SB_THUMBTRACK, 50, &progress);
    EXPECT_EQ(dlg.SeekTarget(), -1);

    m_entries->duration = 200;
    dlg.OnHScroll(SB_THUMBTRACK, 50, &progress);
    EXPECT_EQ(dlg.SeekTarget(), 100);
    dlg.OnTimer(PROGRESS_TIMER_ID);
    EXPECT_EQ(m_entries->seeks, std::vector<int>{100});
    EXPECT_EQ(dlg.SeekTarget(), -1);

    // Channel clicks and end-of-track notifications carry 0 and are ignored.
    dlg.OnHScroll(SB_THUMBTRACK, 0, &progress);
    dlg.OnHScroll(SB_ENDSCROLL, 0, &progress);
    EXPECT_EQ(dlg.SeekTarget(), -1);

    // The tick right after a seek does not move the slider; a later one does.
    m_entries->position = 30;
    m_entries->duration = 120;
    g_dwLastSeekTick = 0;
    dlg.OnTimer(PROGRESS_TIMER_ID);
    EXPECT_EQ(progress.GetPos(), 25);
    EXPECT_EQ(g_dwLastSeekTick, 0u);

    // A target of 0 (short medium, small thumb position) is not executed.
    m_entries->duration = 50;
    m_entries->position = 10;
    dlg.OnHScroll(SB_THUMBTRACK, 1, &progress);
    dlg.OnTimer(PROGRESS_TIMER_ID);
    EXPECT_EQ(m_entries->seeks.size(), 1u);
    EXPECT_EQ(progress.GetPos(), 20);

    // Media of a second or less, or at their end: the slider stays.
    m_entries->duration = 1;
    m_entries->position = 0;
    dlg.OnTimer(PROGRESS_TIMER_ID);
    m_entries->duration = 120;
    m_entries->position = 120;
    dlg.OnTimer(PROGRESS_TIMER_ID);
    EXPECT_EQ(progress.GetPos(), 20);
    // Other timer ids do nothing.
    m_entries->position = 60;
    dlg.OnTimer(PROGRESS_TIMER_ID + 1);
    EXPECT_EQ(progress.GetPos(), 20);
}

TEST_F(WindowFixture, TheRunningTimerCarriesOutADraggedSeek) {
    CSivoDlg& dlg = Open();
    m_entries->duration = 200;
    CSliderCtrlEx& progress = dlg.Slider(IDC_PROGRESS);
    dlg.OnHScroll(SB_THUMBPOSITION, 75, &progress);
    ASSERT_TRUE(PumpUntil([&] { return !m_entries->seeks.empty(); }));
    EXPECT_EQ(m_entries->seeks, std::vector<int>{150});
    EXPECT_EQ(dlg.SeekTarget(), -1);
}

TEST_F(WindowFixture, ShareFolderIsAnnouncedToTheCompanionOnTheLoopback) {
    CAsyncSocket companion;
    ASSERT_TRUE(companion.Create(0, "127.0.0.1"));
    CSivoDlg& dlg = Open(companion.LocalPort());
    ASSERT_GE(dlg.UdpSocket().Fd(), 0);

    for (int round = 0; round < 2; ++round) {
        dlg.ShareFolderChosen("/media/films");
        char buffer[UDP_RECV_BUFFER_SIZE];
        std::string from;
        unsigned fromPort = 0;
        int got = -1;
        ASSERT_TRUE(PumpUntil([&] { return (got = companion.ReceiveFrom(buffer, sizeof buffer, from, fromPort)) >= 0; }));
        EXPECT_EQ(std::string(buffer, got), "setShareFile:/media/films");
        EXPECT_EQ(got, 25);
        EXPECT_EQ(fromPort, dlg.UdpSocket().LocalPort());
    }
    EXPECT_EQ(dlg.ShareDir(), "/media/films");
}

TEST_F(WindowFixture, ClosingTheWindowStopsEverythingOnce) {
    CSivoDlg& dlg = Open();
    EXPECT_TRUE(std::filesystem::exists(CopyDataSocket()));
    dlg.reject();
    EXPECT_EQ(m_entries->stopAlls, 1);
    dlg.reject();
    EXPECT_EQ(m_entries->stopAlls, 1);
}

TEST_F(WindowFixture, ControlSocketPlayRequestsReachRemotePlayThroughTheEventLoop) {
    CSivoDlg& dlg = Open();
    ASSERT_GE(dlg.UdpSocket().Fd(), 0);
    CAsyncSocket peer;
    ASSERT_TRUE(peer.Create(0, "127.0.0.1"));
    const std::string request = "raduzira: strFileName=\"a b.mp4\" strSrcIP=\"10.0.0.7\" time=\"5\" ";
    ASSERT_EQ(peer.SendTo(request.data(), static_cast<int>(request.size()), dlg.UdpSocket().LocalPort(), "127.0.0.1"),
              static_cast<int>(request.size()));
    ASSERT_TRUE(PumpUntil([&] { return !m_entries->remotePlays.empty(); }));
    EXPECT_EQ(m_entries->remotePlays[0], std::make_pair(std::string("10.0.0.7"), std::string("a b.mp4")));
}
