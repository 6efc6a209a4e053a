// Streams, subtitles, chapters and speed as the window offers them: keys,
// the caption menu's submenus, dropped subtitle files and the media
// interface's Rate.
#include "WindowFixture.h"
#include "app/Mpris.h"
#include "common/ChildProcess.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QMenu>
#include <QTest>

#include <string>
#include <vector>

namespace windowtest {
namespace {

class TracksTest : public WindowTest {
protected:
    CSivoDlg& OpenTracks() {
        CSivoDlg& dlg = Open(m_tracks = new TrackEntries);
        m_tracks->duration = 200;
        return dlg;
    }
    TrackEntries* m_tracks = nullptr;
};

QStringList Texts(const QMenu* pMenu, QStringList* checked = nullptr) {
    QStringList texts;
    for (const QAction* pAction : pMenu->actions()) {
        texts << pAction->text();
        if (checked && pAction->isChecked())
            *checked << pAction->text();
    }
    return texts;
}

QAction* Item(const QMenu* pMenu, const QString& text) {
    for (QAction* pAction : pMenu->actions())
        if (pAction->text() == text)
            return pAction;
    return nullptr;
}

// Each key, in turn, makes the one call mpv's users expect, and says what it did.
TEST_F(TracksTest, KeysSwitchStreamsMoveSubtitlesAndChaptersAndSetTheSpeed) {
    CSivoDlg& dlg = OpenTracks();
    ASSERT_TRUE(dlg.OpenMedia(TestClipAv10s()));
    const struct { int key; Qt::KeyboardModifiers modifiers; double position; const char* call; const char* note; } steps[] = {
        {Qt::Key_NumberSign, Qt::ShiftModifier, 0, "SelectAudioStream 2", "Audio: eng - Commentary"},
        {Qt::Key_NumberSign, Qt::NoModifier, 0, "SelectAudioStream 1", "Audio: eng - Main"},
        {Qt::Key_J, Qt::NoModifier, 0, "SelectSubtitle 1", "Subtitles: fre - Forced & signs"},
        {Qt::Key_J, Qt::NoModifier, 0, "SelectSubtitle -1", "Subtitles: off"},
        {Qt::Key_J, Qt::NoModifier, 0, "SelectSubtitle 0", "Subtitles: film.srt"},
        {Qt::Key_X, Qt::NoModifier, 0, "SetSubtitleDelay 0.1", "Subtitle delay: +100 ms"},
        {Qt::Key_X, Qt::NoModifier, 0, "SetSubtitleDelay 0.2", "Subtitle delay: +200 ms"},
        {Qt::Key_Z, Qt::NoModifier, 0, "SetSubtitleDelay 0.1", "Subtitle delay: +100 ms"},
        {Qt::Key_Z, Qt::NoModifier, 0, "SetSubtitleDelay 0", "Subtitle delay: +0 ms"},
        {Qt::Key_Z, Qt::NoModifier, 0, "SetSubtitleDelay -0.1", "Subtitle delay: -100 ms"},
        {Qt::Key_G, Qt::ShiftModifier, 0, "SetSubtitleScale 1.1", "Subtitle size: 110%"},
        {Qt::Key_F, Qt::ShiftModifier, 0, "SetSubtitleScale 1", "Subtitle size: 100%"},
        {Qt::Key_F, Qt::ShiftModifier, 0, "SetSubtitleScale 0.9", "Subtitle size: 90%"},
        {Qt::Key_PageDown, Qt::NoModifier, 61, "SeekTo 120", "Chapter 3/3: End"},
        {Qt::Key_PageDown, Qt::NoModifier, 30, "SeekTo 60", "Chapter 2/3: Middle"},
        // Just past a chapter's start goes to the one before; later, to its start.
        {Qt::Key_PageUp, Qt::NoModifier, 61, "SeekTo 0", "Chapter 1/3: Opening"},
        {Qt::Key_PageUp, Qt::NoModifier, 90, "SeekTo 60", "Chapter 2/3: Middle"},
        {Qt::Key_PageUp, Qt::NoModifier, 1, "SeekTo 0", "Chapter 1/3: Opening"},
        {Qt::Key_BracketRight, Qt::NoModifier, 0, "SetSpeed 1.1", "Speed: 1.10x"},
        {Qt::Key_BracketRight, Qt::NoModifier, 0, "SetSpeed 1.21", "Speed: 1.21x"},
        {Qt::Key_BracketLeft, Qt::NoModifier, 0, "SetSpeed 1.1", "Speed: 1.10x"},
        {Qt::Key_Backspace, Qt::NoModifier, 0, "SetSpeed 1", "Speed: 1.00x"},
        {Qt::Key_BracketLeft, Qt::NoModifier, 0, "SetSpeed 0.91", "Speed: 0.91x"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.note);
        m_tracks->position = step.position;
        const size_t before = m_tracks->calls.size();
        // Whichever control has the focus, the window takes the key.
        QTest::keyClick(&dlg.Button(IDC_PLAY), static_cast<Qt::Key>(step.key), step.modifiers);
        EXPECT_EQ(m_tracks->calls.size(), before + 1);
        EXPECT_EQ(m_tracks->Last(), step.call);
        EXPECT_EQ(dlg.NoteText().toStdString(), step.note);
        EXPECT_FALSE(dlg.IsFullScreen()) << "Shift+F is the subtitle size, not fullscreen";
    }
    // Past the last chapter nothing seeks; plain f is still fullscreen.
    m_tracks->position = 150;
    const size_t before = m_tracks->calls.size();
    QTest::keyClick(&dlg, Qt::Key_PageDown);
    QTest::keyClick(&dlg, Qt::Key_F);
    EXPECT_EQ(m_tracks->calls.size(), before);
    EXPECT_TRUE(dlg.IsFullScreen());
    // Speed stays within its range however often the keys go.
    for (int i = 0; i < 40; ++i)
        QTest::keyClick(&dlg, Qt::Key_BracketRight);
    EXPECT_DOUBLE_EQ(m_tracks->speed, MAX_SPEED);
    for (int i = 0; i < 40; ++i)
        QTest::keyClick(&dlg, Qt::Key_BracketLeft);
    EXPECT_DOUBLE_EQ(m_tracks->speed, MIN_SPEED);
}

// The caption menu names every stream, checks the one playing, and each
// item does what it says; a medium opening lists its own streams.
TEST_F(TracksTest, CaptionSubmenusListTheMediumsStreamsAndChaptersAndSelectThem) {
    CSivoDlg& dlg = OpenTracks();
    ASSERT_TRUE(dlg.OpenMedia(TestClipAv10s()));
    ASSERT_TRUE(dlg.AudioMenu() && dlg.SubtitleMenu() && dlg.ChapterMenu());
    QStringList checked;
    EXPECT_EQ(Texts(dlg.AudioMenu(), &checked), QStringList({"eng - Main", "eng - Commentary"}));
    EXPECT_EQ(Texts(dlg.SubtitleMenu(), &checked), QStringList({"&Off", "film.srt", "fre - Forced && signs"}));
    EXPECT_EQ(Texts(dlg.ChapterMenu()), QStringList({"0:00  Opening", "1:00  Middle", "2:00  End"}));
    EXPECT_EQ(checked, QStringList({"eng - Main", "film.srt"}));

    const struct { QMenu* menu; const char* item; const char* call; const char* note; const char* checked; } picks[] = {
        {dlg.AudioMenu(), "eng - Commentary", "SelectAudioStream 2", "Audio: eng - Commentary", "eng - Commentary"},
        {dlg.SubtitleMenu(), "&Off", "SelectSubtitle -1", "Subtitles: off", "&Off"},
        {dlg.SubtitleMenu(), "fre - Forced && signs", "SelectSubtitle 1", "Subtitles: fre - Forced & signs",
         "fre - Forced && signs"},
        {dlg.ChapterMenu(), "2:00  End", "SeekTo 120", nullptr, nullptr},
    };
    for (const auto& pick : picks) {
        SCOPED_TRACE(pick.item);
        QAction* pAction = Item(pick.menu, pick.item);
        ASSERT_TRUE(pAction);
        pAction->trigger();
        EXPECT_EQ(m_tracks->Last(), pick.call);
        if (pick.note) {
            EXPECT_EQ(dlg.NoteText().toStdString(), pick.note);
        }
        if (pick.checked) {
            QStringList now;
            Texts(pick.menu, &now);
            EXPECT_EQ(now, QStringList({pick.checked}));
        }
    }

    // Another medium, other streams: the menus follow it; none at all leaves them greyed.
    m_tracks->streams = {{4, "jpn", true}};
    m_tracks->subtitles.clear();
    m_tracks->subtitle = -1;
    m_tracks->chapters.clear();
    ASSERT_TRUE(dlg.OpenMedia(TestClipAv10s()));
    EXPECT_EQ(Texts(dlg.AudioMenu()), QStringList({"jpn"}));
    EXPECT_FALSE(dlg.SubtitleMenu()->isEnabled());
    EXPECT_FALSE(dlg.ChapterMenu()->isEnabled());
    EXPECT_TRUE(Texts(dlg.ChapterMenu()).isEmpty());
}

// Subtitle files dropped on a playing medium are added to it; the same
// files with nothing playing, or dropped with a medium, are opened as before.
TEST_F(TracksTest, DroppedSubtitleFilesJoinThePlayingMedium) {
    CSivoDlg& dlg = OpenTracks();
    const std::string clip = TestClipAv10s();
    std::vector<std::string> subs;
    for (const char* name : {"film.en.srt", "film.ass", "film.SSA", "film.vtt", "film.sub"})
        subs.push_back(TestFile(name, "1\n00:00:01,000 --> 00:00:02,000\nHello\n"));
    const auto drop = [&](const std::vector<std::string>& paths) {
        QList<QUrl> urls;
        for (const std::string& path : paths)
            urls << FileUrl(path);
        Drop(dlg, urls);
    };
    // Nothing plays: a subtitle file is no medium.
    drop({subs[0]});
    EXPECT_TRUE(m_tracks->calls.empty());

    ASSERT_TRUE(dlg.OpenMedia(clip));
    const size_t plays = m_tracks->localPlays.size();
    for (const std::string& sub : subs) {
        SCOPED_TRACE(sub);
        drop({sub});
        EXPECT_EQ(m_tracks->Last(), "AddSubtitleFile " + sub);
        EXPECT_EQ(m_tracks->localPlays.size(), plays);
        EXPECT_EQ(dlg.NoteText().toStdString(), "Subtitles: " + fs::path(sub).filename().string());
        EXPECT_EQ(dlg.MediaPath(), clip);
    }
    EXPECT_EQ(Texts(dlg.SubtitleMenu()).size(), 1 + 2 + subs.size()) << "the menu lists the added files";

    // A subtitle dropped together with a medium: the files are a list to play.
    const size_t calls = m_tracks->calls.size();
    drop({subs[0], clip});
    EXPECT_EQ(m_tracks->calls.size(), calls);
    EXPECT_EQ(m_tracks->localPlays.size(), plays + 1);
}

// Rate through the window and, on a private session bus, through the media
// interface itself: clamped to its range, announced, NaN ignored.
TEST_F(TracksTest, MediaInterfaceRateIsReadableAndSettableWithinItsRange) {
    // A bus of the test's own, so the window registers on it.
    const std::string socket = m_dir + "/bus", bus = "unix:path=" + socket;
    ChildProcess daemon({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + bus});
    if (!nettest::WaitFor([&] { return fs::exists(socket) || !daemon.Running(); }) || !fs::exists(socket))
        GTEST_SKIP() << "dbus-daemon did not start";
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);

    CSivoDlg& dlg = OpenTracks();
    MprisHost& host = dlg;
    QDBusConnection client = QDBusConnection::connectToBus(QString::fromStdString(bus), "rate-client");
    ASSERT_TRUE(client.isConnected());
    auto* pMpris = qobject_cast<CMpris*>(QDBusConnection::sessionBus().objectRegisteredAt("/org/mpris/MediaPlayer2"));
    ASSERT_TRUE(pMpris) << "the window did not register on the test's bus";

    const auto call = [&](const QString& method, const QVariantList& args) {
        QDBusMessage message = QDBusMessage::createMethodCall("org.mpris.MediaPlayer2.sivo", "/org/mpris/MediaPlayer2",
                                                              "org.freedesktop.DBus.Properties", method);
        message.setArguments(args);
        QDBusPendingCall pending = client.asyncCall(message);
        EXPECT_TRUE(PumpUntil([&] { return pending.isFinished(); }));
        return pending.reply();
    };
    const auto get = [&](const char* name) {
        const QDBusMessage reply = call("Get", {"org.mpris.MediaPlayer2.Player", QString(name)});
        return reply.arguments().isEmpty() ? -1.0 : reply.arguments().front().value<QDBusVariant>().variant().toDouble();
    };
    EXPECT_DOUBLE_EQ(get("MinimumRate"), 0.25);
    EXPECT_DOUBLE_EQ(get("MaximumRate"), 4.0);
    EXPECT_DOUBLE_EQ(get("Rate"), 1.0);

    const struct { double asked, speed; const char* how; } rates[] = {
        {2.0, 2.0, "within the range"}, {9.0, 4.0, "above it"}, {0.1, 0.25, "below it"},
        {0.0, 0.25, "zero"},           {-3, 0.25, "negative"}, {std::nan(""), 0.25, "no number"},
        {1.5, 1.5, "back inside"},
    };
    for (const auto& rate : rates) {
        SCOPED_TRACE(rate.how);
        const QDBusMessage reply =
            call("Set", {"org.mpris.MediaPlayer2.Player", "Rate", QVariant::fromValue(QDBusVariant(rate.asked))});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        EXPECT_DOUBLE_EQ(m_tracks->speed, rate.speed);
        EXPECT_DOUBLE_EQ(get("Rate"), rate.speed);
        EXPECT_DOUBLE_EQ(host.Rate(), rate.speed);
        EXPECT_DOUBLE_EQ(pMpris->PlayerProperties().value("Rate").toDouble(), rate.speed);
    }
    // The window's own entry clamps the same way.
    host.SetRate(100);
    EXPECT_DOUBLE_EQ(m_tracks->speed, MAX_SPEED);
    host.SetRate(0.01);
    EXPECT_DOUBLE_EQ(m_tracks->speed, MIN_SPEED);
    QDBusConnection::disconnectFromBus("rate-client");
}

} // namespace
} // namespace windowtest
