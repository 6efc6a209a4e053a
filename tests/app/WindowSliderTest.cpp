#include "WindowTestUtil.h"

#include <QApplication>
#include <QMouseEvent>

namespace {

void SendMouse(QWidget& widget, QEvent::Type type, int x, Qt::MouseButtons buttons) {
    const QPointF local(x, widget.height() / 2);
    QMouseEvent event(type, local, widget.mapToGlobal(local), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

struct Notification {
    int code;
    int pos;
};

} // namespace

TEST(SkinSlider, DraggingTheThumbReportsPositionsAndChannelClicksReportZero) {
    CSliderCtrlEx slider;
    slider.resize(210, 20);   // 200 px of travel for a 10 px plain thumb
    std::vector<Notification> seen;
    QObject::connect(&slider, &CSliderCtrlEx::HScroll, [&](int code, int pos) { seen.push_back({code, pos}); });

    // Grab the thumb at 0 and drag it to the middle.
    SendMouse(slider, QEvent::MouseButtonPress, 5, Qt::LeftButton);
    SendMouse(slider, QEvent::MouseMove, 105, Qt::LeftButton);
    SendMouse(slider, QEvent::MouseButtonRelease, 105, Qt::NoButton);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].code, SB_THUMBTRACK);
    EXPECT_EQ(seen[0].pos, 50);
    EXPECT_EQ(seen[1].code, SB_THUMBPOSITION);
    EXPECT_EQ(seen[1].pos, 50);
    EXPECT_EQ(seen[2].code, SB_ENDSCROLL);
    EXPECT_EQ(seen[2].pos, 0);
    EXPECT_EQ(slider.GetPos(), 50);

    // A click in the channel pages toward it and carries no position.
    seen.clear();
    SendMouse(slider, QEvent::MouseButtonPress, 200, Qt::LeftButton);
    SendMouse(slider, QEvent::MouseButtonRelease, 200, Qt::NoButton);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].code, SB_PAGEDOWN);
    EXPECT_EQ(seen[0].pos, 0);
    EXPECT_EQ(slider.GetPos(), 70);

    // SetPos clamps to the range and notifies nobody.
    seen.clear();
    slider.SetRange(10, 40, true);
    slider.SetPos(99);
    EXPECT_EQ(slider.GetPos(), 40);
    slider.SetPos(-5);
    EXPECT_EQ(slider.GetPos(), 10);
    EXPECT_TRUE(seen.empty());
}

TEST_F(WindowFixture, DraggingTheProgressThumbToTheStartRecordsNoSeek) {
    CSivoDlg& dlg = Open();
    m_entries->duration = 200;
    CSliderCtrlEx& progress = dlg.Slider(IDC_PROGRESS);
    progress.resize(210, 20);
    progress.SetPos(50);
    // Thumb at 50 sits at x 100..110; drag it to the very start.
    SendMouse(progress, QEvent::MouseButtonPress, 105, Qt::LeftButton);
    SendMouse(progress, QEvent::MouseMove, 0, Qt::LeftButton);
    SendMouse(progress, QEvent::MouseButtonRelease, 0, Qt::NoButton);
    EXPECT_EQ(progress.GetPos(), 0);
    EXPECT_EQ(dlg.SeekTarget(), -1);

    // Dragging to 25 records 50 s.
    SendMouse(progress, QEvent::MouseButtonPress, 5, Qt::LeftButton);
    SendMouse(progress, QEvent::MouseMove, 55, Qt::LeftButton);
    EXPECT_EQ(dlg.SeekTarget(), 50);
}

TEST_F(WindowFixture, VolumeSliderSpansTheMixerRange) {
    CSivoDlg& dlg = Open();
    const CMixer mixer(0x1003, CMixer::kModeWaveOut);
    CSliderCtrlEx& volume = dlg.Slider(IDC_VOLUME);
    EXPECT_EQ(volume.GetRangeMin(), static_cast<int>(mixer.GetMin()));
    EXPECT_EQ(volume.GetRangeMax(), static_cast<int>(mixer.GetMax()));
    EXPECT_EQ(volume.GetPos(), static_cast<int>(mixer.GetVolume()));
}
