#include "WindowTestUtil.h"

#include <QImage>
#include <QScreen>

#include <fstream>

namespace {

// Puts the window at a known normal size and lets the resize arrive.
void ResizeTo(CSivoDlg& dlg, int w, int h) {
    if (dlg.IsMaxed())
        dlg.MaxOrNormal();
    dlg.resize(w, h);
    PumpUntil([&] { return dlg.width() == w && dlg.height() == h; });
    ASSERT_EQ(dlg.size(), QSize(w, h));
}

QRect Place(CSivoDlg& dlg, uint32_t id) {
    if (id == IDC_VOLUME || id == IDC_PROGRESS)
        return dlg.Slider(id).geometry();
    return dlg.Button(id).geometry();
}

// Left, top, width, height of each control for a client of w x h.
void ExpectControlsFor(CSivoDlg& dlg, int w, int h) {
    (void)w;
    EXPECT_EQ(Place(dlg, IDC_AUDIO), QRect(18, h - 15 - 22, 31, 22));
    EXPECT_EQ(Place(dlg, IDC_VOLUME), QRect(58, h - 10 - 30, 200, 30));
    EXPECT_EQ(Place(dlg, IDC_STOP), QRect(258 + 190 - 148, h - 59, 148, 59));
    EXPECT_EQ(Place(dlg, IDC_PREV), QRect(468, h - 59, 110, 59));
    EXPECT_EQ(Place(dlg, IDC_PLAY), QRect(598, h + 4 - 69, 72, 69));
    EXPECT_EQ(Place(dlg, IDC_NEXT), QRect(690, h - 59, 110, 59));
    EXPECT_EQ(Place(dlg, IDC_OPEN), QRect(820, h - 59, 148, 59));
    EXPECT_EQ(Place(dlg, IDC_SHARE), QRect(1028, h - 20 - 32, 34, 32));
    EXPECT_EQ(Place(dlg, IDC_PROGRESS), QRect(1072, h - 20 + 20 - 20, 200, 20));
}

} // namespace

TEST_F(WindowFixture, SkinnedWindowPlacesVideoAndControlsAndFollowsResizes) {
    LinkSkin();
    CSivoDlg& dlg = Open();
    // The skin's bands: 32 px top, 80 px bottom, 2 px side edges.
    EXPECT_EQ(dlg.TopBand(), 32);
    EXPECT_EQ(dlg.BottomBand(), 80);
    EXPECT_EQ(dlg.FrameAllowance(), 4);
    EXPECT_TRUE(dlg.IsMaxed());
    EXPECT_EQ(dlg.geometry(), dlg.screen()->availableGeometry());
    EXPECT_EQ(dlg.Video()->geometry(), dlg.VideoArea());
    EXPECT_EQ(dlg.TitleText(), QString("   Corvan"));
    EXPECT_EQ(dlg.Button(IDC_SHARE).toolTip(), QString("set share video files"));

    ResizeTo(dlg, 1400, 700);
    EXPECT_EQ(dlg.Video()->geometry(), QRect(0, 28, 1400 - 4 + 4, 700 - 80 - 32 + 8));
    ExpectControlsFor(dlg, 1400, 700);

    ResizeTo(dlg, 1300, 560);
    EXPECT_EQ(dlg.Video()->geometry(), QRect(0, 28, 1300, 560 - 80 - 32 + 8));
    ExpectControlsFor(dlg, 1300, 560);

    // Double-clicking the video maximises again.
    dlg.OnDblClkVideo();
    EXPECT_TRUE(dlg.IsMaxed());
    const QRect screen = dlg.screen()->availableGeometry();
    ASSERT_TRUE(PumpUntil([&] { return dlg.size() == screen.size(); }));
    EXPECT_EQ(dlg.Video()->geometry(), QRect(0, 28, screen.width(), screen.height() - 80 - 32 + 8));
    ExpectControlsFor(dlg, screen.width(), screen.height());
    // And back to the normal size it had.
    dlg.OnDblClkVideo();
    ASSERT_TRUE(PumpUntil([&] { return dlg.size() == QSize(1300, 560); }));
    ExpectControlsFor(dlg, 1300, 560);
}

TEST_F(WindowFixture, MissingOrBrokenSkinStillGivesAUsableWindow) {
    for (const bool broken : {false, true}) {
        SCOPED_TRACE(broken ? "broken images" : "no skin directory");
        if (broken) {
            std::filesystem::create_directories(m_dir + "/Skin/main");
            std::ofstream(m_dir + "/Skin/main/bg-top-mid.png") << "not a picture";
            std::ofstream(m_dir + "/Skin/main/button-play-normal.png") << "\x89PNG broken";
        }
        CSivoDlg& dlg = Open();
        EXPECT_GT(dlg.TopBand(), 0);
        EXPECT_GT(dlg.BottomBand(), 0);
        ResizeTo(dlg, 1400, 700);
        EXPECT_EQ(dlg.Video()->geometry(), dlg.VideoArea());
        ExpectControlsFor(dlg, 1400, 700);
        // Plain drawing paints the frame and the buttons.
        const QImage shot = dlg.grab().toImage();
        EXPECT_EQ(shot.size(), QSize(1400, 700));
        EXPECT_NE(shot.pixel(700, 5), shot.pixel(700, 300));
        dlg.Button(IDC_PLAY).click();
        EXPECT_EQ(m_entries->plays, 1);
        m_dlg.reset();
    }
}
