// Play requests from the network: only this machine and the devices the
// person allowed play at once; any other device is asked about first.
#include "WindowFixture.h"
#include "output/OutputTestUtil.h"
#include "app/AtomicFile.h"
#include "app/RemoteConsent.h"
#include "platform/AsyncSocket.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include <fstream>
#include <iterator>

using namespace windowtest;

namespace {

// Addresses of other machines (documentation ranges, never this one's).
constexpr char kStranger[] = "192.0.2.7";
constexpr char kOther[] = "198.51.100.3";

QPushButton* ButtonOf(ConsentPrompt& prompt, const char* name) {
    return prompt.findChild<QPushButton*>(QString::fromLatin1(name));
}

class ConsentTest : public WindowTest {
protected:
    std::string AllowedFile() const { return m_dir + "/XDG_CONFIG_HOME/sivo/allowed-devices"; }
    // Plays a local file first, so what a request does to it shows.
    CSivoDlg& OpenPlaying() {
        CSivoDlg& dlg = Open();
        EXPECT_TRUE(dlg.OpenMedia(TestClipAv10s()));
        return dlg;
    }
    std::vector<Request>& Remote() { return m_entries->remotePlays; }
};

} // namespace

// Each answer, clicked as a person would, and what it leaves behind: what
// plays, what the next request from that device does, the list on disk.
TEST_F(ConsentTest, EachAnswerDecidesThisRequestAndAlwaysAllowAlsoTheNext) {
    const struct {
        const char* button;
        bool plays, nextPlaysAtOnce;
    } answers[] = {
        {"Ignore", false, false},
        {"Allow once", true, false},
        {"Always allow this device", true, true},
    };
    for (const auto& a : answers) {
        SCOPED_TRACE(a.button);
        CSivoDlg& dlg = OpenPlaying();
        const std::string playing = dlg.MediaName();
        dlg.OnRemotePlayRequest(kStranger, kStranger, "movies/a b.mp4");
        ASSERT_EQ(dlg.ConsentPrompts().size(), 1u);
        ConsentPrompt& prompt = *dlg.ConsentPrompts().front();
        EXPECT_TRUE(prompt.isVisible());
        EXPECT_EQ(prompt.Text(), QStringLiteral("192.0.2.7 wants to play movies/a b.mp4"));
        EXPECT_TRUE(Remote().empty()) << "played before anyone allowed it";
        EXPECT_EQ(dlg.MediaName(), playing) << "the request stopped what plays";
        EXPECT_EQ(m_entries->stops, 0);

        ButtonOf(prompt, a.button)->click();
        EXPECT_TRUE(dlg.ConsentPrompts().empty());
        const std::vector<Request> played = a.plays ? std::vector<Request>{{kStranger, "movies/a b.mp4"}}
                                                    : std::vector<Request>{};
        EXPECT_EQ(Remote(), played);
        EXPECT_EQ(dlg.MediaName(), a.plays ? std::string("movies/a b.mp4") : playing);
        EXPECT_EQ(ReadWholeFile(AllowedFile()).find(kStranger) != std::string::npos, a.nextPlaysAtOnce);

        // The next request of the same device, and of another one.
        dlg.OnRemotePlayRequest(kStranger, kStranger, "b.mp4");
        EXPECT_EQ(dlg.ConsentPrompts().size(), a.nextPlaysAtOnce ? 0u : 1u);
        EXPECT_EQ(!Remote().empty() && Remote().back().second == "b.mp4", a.nextPlaysAtOnce);
        dlg.OnRemotePlayRequest(kOther, kOther, "c.mp4");
        EXPECT_EQ(dlg.ConsentPrompts().size(), a.nextPlaysAtOnce ? 1u : 2u) << "another device needs its own answer";
        m_dlg.reset();
        // A new window remembers whom the person allowed, and only them.
        CSivoDlg& again = Open();
        EXPECT_EQ(again.Allowed().Allows(kStranger), a.nextPlaysAtOnce);
        EXPECT_FALSE(again.Allowed().Allows(kOther));
        m_dlg.reset();
        fs::remove(AllowedFile());
    }
}

// This machine asks through the copy-data channel, `sivo --remote-play` or
// the loopback: never a question. Any address of its own counts as itself.
TEST_F(ConsentTest, RequestsOfThisMachinePlayAtOnce) {
    CSivoDlg& dlg = Open();
    for (const char* self : {"127.0.0.1", "127.3.4.5", "::1"}) {
        dlg.OnRemotePlayRequest(self, "10.0.0.9", std::string("from ") + self);
        EXPECT_EQ(Remote().back(), Request("10.0.0.9", std::string("from ") + self));
    }
    EXPECT_TRUE(dlg.ConsentPrompts().empty());
    // Over the real control socket, from the loopback.
    CAsyncSocket peer;
    ASSERT_TRUE(peer.Create(0, "127.0.0.1"));
    const std::string request = "raduzira: strFileName=\"x.mp4\" strSrcIP=\"10.0.0.7\" time=\"5\" ";
    peer.SendTo(request.data(), static_cast<int>(request.size()), dlg.UdpSocket().LocalPort(), "127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return Remote().back().second == "x.mp4"; }));
    EXPECT_TRUE(dlg.ConsentPrompts().empty());
}

// A flood from one device is one question about its latest request; a
// crowd of devices gets a few questions and no more; an unanswered
// question goes by itself and plays nothing.
TEST_F(ConsentTest, FloodsShowOnePromptAndUnansweredOnesGo) {
    CSivoDlg& dlg = OpenPlaying();
    dlg.SetConsentWait(400);
    for (int i = 0; i < 100; ++i)
        dlg.OnRemotePlayRequest(kStranger, kStranger, "clip" + std::to_string(i) + ".mp4");
    ASSERT_EQ(dlg.ConsentPrompts().size(), 1u);
    EXPECT_TRUE(dlg.ConsentPrompts().front()->Text().endsWith("clip99.mp4"));
    for (int i = 0; i < 10; ++i)
        dlg.OnRemotePlayRequest("10.9.9." + std::to_string(i), "10.9.9.1", "x.mp4");
    EXPECT_EQ(dlg.ConsentPrompts().size(), MAX_CONSENT_PROMPTS);
    // Stacked, not on top of each other, all within the video area.
    const std::vector<ConsentPrompt*> prompts = dlg.ConsentPrompts();
    for (size_t i = 0; i < prompts.size(); ++i) {
        EXPECT_TRUE(dlg.Video()->geometry().contains(prompts[i]->geometry())) << i;
        for (size_t j = 0; j < i; ++j)
            EXPECT_FALSE(prompts[i]->geometry().intersects(prompts[j]->geometry())) << i << " over " << j;
    }
    EXPECT_TRUE(PumpUntil([&] { return dlg.ConsentPrompts().empty(); })) << "unanswered prompts stayed";
    EXPECT_TRUE(Remote().empty());
    EXPECT_EQ(dlg.MediaName(), fs::path(TestClipAv10s()).filename().string());
    // Answered from the keyboard, whichever control has the focus.
    dlg.SetConsentWait(REMOTE_PLAY_ANSWER_MS);
    dlg.OnRemotePlayRequest(kStranger, "10.0.0.9", "keys.mp4");
    dlg.OnRemotePlayRequest(kOther, kOther, "other.mp4");
    ASSERT_EQ(dlg.ConsentPrompts().size(), 2u);
    EXPECT_TRUE(dlg.ConsentPrompts().front()->Text().endsWith("keys.mp4 from 10.0.0.9"));
    Press(dlg.Button(IDC_PLAY), Qt::Key_I, Qt::AltModifier);
    ASSERT_EQ(dlg.ConsentPrompts().size(), 1u) << "Alt+I answered more than the top prompt";
    EXPECT_EQ(dlg.ConsentPrompts().front()->Peer(), kOther);
    Press(dlg.Button(IDC_PLAY), Qt::Key_A, Qt::AltModifier);
    EXPECT_TRUE(dlg.ConsentPrompts().empty());
    EXPECT_EQ(Remote(), (std::vector<Request>{{kOther, "other.mp4"}}));
}

// Names come from anyone on the network: shown as the characters they are,
// never as markup, controls escaped, long ones cut in the middle.
TEST_F(ConsentTest, NamesShowAsPlainEscapedElidedText) {
    const QString cut = QString(59, 'x') + QChar(0x2026) + QString(56, 'x') + ".mp4";
    for (auto [raw, shown] : {std::pair<std::string, QString>{"<b>bold</b>.mp4", "<b>bold</b>.mp4"},
                              {"a\nb\rc\td\x07\x7f.mp4", "a\\nb\\rc\\td\\x07\\x7f.mp4"},
                              {"\xe2\x80\xae" "4pm.exe", "\\u202e4pm.exe"},
                              {"caf\xc3\xa9 \xff.mp4", QString::fromUtf8("caf\xc3\xa9 \xef\xbf\xbd.mp4")},
                              {std::string(500, 'x') + ".mp4", cut}})
        EXPECT_EQ(PlainShown(raw, 120), shown) << raw;
    EXPECT_EQ(PlainShown(std::string(500, 'y'), 120).size(), 120);

    CSivoDlg& dlg = Open();
    dlg.OnRemotePlayRequest(kStranger, kStranger, "<img src=x>\n" + std::string(300, 'z'));
    ASSERT_EQ(dlg.ConsentPrompts().size(), 1u);
    const QLabel* pText = dlg.ConsentPrompts().front()->findChild<QLabel*>();
    ASSERT_NE(pText, nullptr);
    EXPECT_EQ(pText->textFormat(), Qt::PlainText);
    EXPECT_TRUE(pText->text().startsWith("192.0.2.7 wants to play <img src=x>\\nzzz")) << pText->text().toStdString();
    EXPECT_LT(pText->text().size(), 200);
}

// The list on disk: a broken line is reported with its number and allows
// nobody; the good lines stand; Settings lists the devices and removes one,
// and the file follows, rewritten whole.
TEST_F(ConsentTest, TheAllowedListSurvivesBadLinesAndIsEditedInSettings) {
    ASSERT_TRUE(MakeDirectories(m_dir + "/XDG_CONFIG_HOME/sivo"));
    std::ofstream(AllowedFile()) << "# comment\n192.0.2.7 laptop\n\nnot-an-address here\n198.51.100.3\n::zz\n";
    CSivoDlg& dlg = Open();
    EXPECT_TRUE(dlg.NoteText().contains("line 4")) << dlg.NoteText().toStdString();
    EXPECT_TRUE(dlg.Allowed().Allows(kStranger));
    EXPECT_TRUE(dlg.Allowed().Allows(kOther));
    EXPECT_EQ(dlg.Allowed().Devices().size(), 2u);
    dlg.OnRemotePlayRequest("not-an-address", "10.0.0.1", "x.mp4");
    EXPECT_EQ(dlg.ConsentPrompts().size(), 1u) << "a broken line allowed a device";

    QStringList listed;
    EXPECT_TRUE(WithDialog(dlg, [&] { dlg.OnSettings(); }, [&](QDialog& settings) {
        auto* pList = settings.findChild<QListWidget*>("AllowedDevices");
        ASSERT_NE(pList, nullptr);
        for (int i = 0; i < pList->count(); ++i)
            listed << pList->item(i)->text();
        pList->setCurrentRow(0);
        settings.findChild<QPushButton*>("RemoveDevice")->click();
        EXPECT_EQ(pList->count(), 1);
    }));
    EXPECT_EQ(listed, (QStringList{"192.0.2.7  laptop", "198.51.100.3"}));
    EXPECT_FALSE(dlg.Allowed().Allows(kStranger));
    const std::string text = ReadWholeFile(AllowedFile());
    EXPECT_EQ(text.find(kStranger), std::string::npos) << text;
    EXPECT_NE(text.find("198.51.100.3"), std::string::npos) << text;
    EXPECT_EQ(text.find("not-an-address"), std::string::npos) << text;
    dlg.OnRemotePlayRequest(kStranger, kStranger, "y.mp4");
    EXPECT_EQ(dlg.ConsentPrompts().size(), 2u) << "a removed device still plays at once";

    // A list that cannot be written (its directory is a file) leaves the
    // device allowed for this run and says so.
    m_dlg.reset();
    fs::remove_all(m_dir + "/XDG_CONFIG_HOME");
    std::ofstream(m_dir + "/XDG_CONFIG_HOME") << "in the way";
    CSivoDlg& blocked = Open();
    blocked.OnRemotePlayRequest(kStranger, kStranger, "z.mp4");
    ButtonOf(*blocked.ConsentPrompts().front(), "Always allow this device")->click();
    EXPECT_EQ(Remote().back().second, "z.mp4");
    EXPECT_TRUE(blocked.Allowed().Allows(kStranger));
    EXPECT_TRUE(blocked.NoteText().contains("cannot")) << blocked.NoteText().toStdString();
}
