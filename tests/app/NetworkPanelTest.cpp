// The Network panel driven like a person would, through Qt's test API, against
// a real control socket on an ephemeral loopback port.
#include "WindowFixture.h"
#include "app/NetworkPanel.h"
#include "common/FileTestUtil.h"
#include "common/NetTestUtil.h"
#include "platform/PollLoop.h"
#include "share/ShareFiles.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

using windowtest::PumpUntil;

// A share root of many files in folders, answered by a control socket on
// its own thread (which paces the catalogue as a real machine does).
class SharingMachine {
public:
    // depth: folders above one more file.
    explicit SharingMachine(int files, int depth = 0) {
        std::string deep;
        for (int i = 0; i < depth; ++i)
            deep += "d/";
        if (depth > 0)
            m_tree.File(deep + "deep.mp4");
        for (int i = 0; i < files; ++i)
            m_tree.File((i % 3 ? "films/" : "music/") + std::to_string(i) + (i == 7 ? " bell\x07.mp3" : ".mp4"));
        EXPECT_TRUE(m_socket.Create(0));
        m_socket.SetShareRoot(m_tree.root);
        m_loop.Watch(m_socket.Fd(), [this] { m_socket.OnReceive(0); });
        m_thread = std::thread([this] { m_loop.Run(); });
    }
    ~SharingMachine() {
        m_loop.Quit();
        m_thread.join();
    }
    unsigned Port() const { return m_socket.LocalPort(); }
    std::vector<std::string> Catalogue() const {
        std::vector<std::string> out;
        FindShareFiles(m_tree.root, out);
        return out;
    }

private:
    TempTree m_tree;
    CUdpSocket m_socket;
    PollLoop m_loop;
    std::thread m_thread;
};

using Play = std::pair<std::string, std::string>;

struct PanelWindow {
    QWidget window;
    std::vector<Play> plays;
    NetworkPanel* panel = new NetworkPanel(&window, {}, [this](const std::string& a, const std::string& n) {
        plays.emplace_back(a, n);
    });
    explicit PanelWindow(unsigned port) {
        panel->SetEndpoints(port, {"127.0.0.1"});
        window.resize(900, 700);
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
    }
    QTreeWidget& Tree() { return *panel->Tree(); }
};

// What a person's double-click delivers: a click, then the second press
// as a double-click, then its release.
void DoubleClick(QTreeWidget& tree, QTreeWidgetItem* item) {
    tree.scrollToItem(item);
    QCoreApplication::processEvents();
    EXPECT_TRUE(tree.viewport()->rect().contains(tree.visualItemRect(item)));
    const QPoint at = tree.visualItemRect(item).center();
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(tree.viewport(), Qt::LeftButton, {}, at);
    QTest::mouseRelease(tree.viewport(), Qt::LeftButton, {}, at);
}

// Searches until the one machine is listed; on a machine this loaded its
// answer may miss a window, and a person would refresh.
bool FindMachine(NetworkPanel& panel) {
    for (int attempt = 0; attempt < 3 && panel.Tree()->topLevelItemCount() == 0; ++attempt) {
        if (attempt > 0)
            panel.Refresh();
        PumpUntil([&] { return !panel.Searching(); });
    }
    return panel.Tree()->topLevelItemCount() == 1;
}

// Every file item under `item`, in tree order.
void Leaves(QTreeWidgetItem* item, std::vector<QTreeWidgetItem*>& out) {
    for (int i = 0; i < item->childCount(); ++i) {
        QTreeWidgetItem* child = item->child(i);
        if (child->childCount() == 0 && !child->toolTip(0).isEmpty())
            out.push_back(child);
        Leaves(child, out);
    }
}

} // namespace

// N opens the panel and searches; the machine appears; expanding it lists the
// whole catalogue as a folder tree while the window goes on painting; only a
// double-click or Enter on a file plays it, from that machine.
TEST(NetworkPanelTest, ListsTheMachineAndItsTreeWithoutBlockingAndPlaysOnlyWhatAPersonActivates) {
    constexpr int kFiles = 200;  // about 1.2 s of the server's pacing
    SharingMachine machine(kFiles);
    PanelWindow w(machine.Port());
    QTest::keyClick(&w.window, Qt::Key_N);
    ASSERT_TRUE(w.panel->isVisible());
    EXPECT_TRUE(w.panel->Searching());
    EXPECT_TRUE(w.panel->StatusText().contains("Searching"));
    ASSERT_TRUE(FindMachine(*w.panel));
    QTreeWidgetItem* host = w.Tree().topLevelItem(0);
    EXPECT_TRUE(host->text(0).startsWith("127.0.0.1"));

    // Expand by key, then watch the event loop while the listing streams in.
    w.Tree().setCurrentItem(host);
    int paints = 0, ticks = 0;
    qint64 longestGap = 0;
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, sinceTick.restart());
        ++ticks;
        w.Tree().viewport()->update();
    });
    struct PaintCounter : QObject {
        int& n;
        explicit PaintCounter(int& count) : n(count) {}
        bool eventFilter(QObject*, QEvent* e) override {
            n += e->type() == QEvent::Paint;
            return false;
        }
    } counter(paints);
    w.Tree().viewport()->installEventFilter(&counter);
    ticker.start(10);
    QTest::keyClick(&w.Tree(), Qt::Key_Right);
    std::vector<QTreeWidgetItem*> leaves;
    bool saidListing = false;
    ASSERT_TRUE(PumpUntil([&] {
        leaves.clear();
        Leaves(host, leaves);
        saidListing |= !leaves.empty() && int(leaves.size()) < kFiles && w.panel->StatusText().startsWith("Listing");
        return int(leaves.size()) == kFiles;
    })) << leaves.size();
    EXPECT_TRUE(saidListing) << "a listing in flight shows so";
    EXPECT_TRUE(PumpUntil([&] { return w.panel->StatusText().contains(QString("shares %1 file").arg(kFiles)); }))
        << w.panel->StatusText().toStdString();
    ticker.stop();
    w.Tree().viewport()->removeEventFilter(&counter);
    EXPECT_LT(longestGap, 600) << "the window stalled while listing";
    EXPECT_GT(ticks, 5) << "the gap was measured";
    EXPECT_GT(paints, 5);
    EXPECT_TRUE(w.plays.empty()) << "nothing plays before a person asks";

    // Folders as a tree, every file once, the control character shown safely.
    std::set<QString> shown;
    int replaced = 0;
    for (QTreeWidgetItem* leaf : leaves) {
        shown.insert(leaf->toolTip(0));
        EXPECT_TRUE(leaf->parent()->text(0) == "films" || leaf->parent()->text(0) == "music") << leaf->toolTip(0).toStdString();
        for (QChar c : leaf->text(0))
            EXPECT_NE(c.category(), QChar::Other_Control);
        replaced += leaf->text(0).contains(QChar::ReplacementCharacter);
    }
    EXPECT_EQ(int(shown.size()), kFiles);
    EXPECT_EQ(replaced, 1);

    QTreeWidgetItem* folder = leaves[0]->parent();
    DoubleClick(w.Tree(), folder);
    EXPECT_TRUE(w.plays.empty()) << "a folder is not played";

    const std::vector<std::string> catalogue = machine.Catalogue();
    auto nameOf = [&](QTreeWidgetItem* leaf) {
        for (const std::string& e : catalogue)
            if (QString::fromLocal8Bit(e.data(), qsizetype(e.size())).replace(QChar(7), QChar::ReplacementCharacter) == leaf->toolTip(0))
                return e;
        return std::string("?");
    };
    QTreeWidgetItem* first = nullptr;
    for (QTreeWidgetItem* leaf : leaves)
        if (leaf->text(0).contains(QChar::ReplacementCharacter))
            first = leaf;
    ASSERT_NE(first, nullptr);
    DoubleClick(w.Tree(), first);
    ASSERT_EQ(w.plays.size(), 1u);
    EXPECT_EQ(w.plays[0], Play("127.0.0.1", nameOf(first))) << "the name goes back exactly as listed";
    EXPECT_NE(w.plays[0].second.find('\x07'), std::string::npos);

    w.Tree().setCurrentItem(leaves.back());
    QTest::keyClick(&w.Tree(), Qt::Key_Return);
    ASSERT_EQ(w.plays.size(), 2u);
    EXPECT_EQ(w.plays[1], Play("127.0.0.1", nameOf(leaves.back())));

    QTest::keyClick(&w.window, Qt::Key_N);
    EXPECT_FALSE(w.panel->isVisible());
}

// Nobody answering ends the search with a message that says so; a refresh
// after the machine appears finds it, and however deep its folders, the tree
// nests only so far.
TEST(NetworkPanelTest, SaysSoWhenNothingAnswersAndFindsTheMachineOnRefresh) {
    int port = 0;
    const int fd = nettest::BoundSocket(SOCK_DGRAM, port);  // holds the port, never answers
    PanelWindow w{unsigned(port)};
    w.panel->Toggle();
    ASSERT_TRUE(PumpUntil([&] { return !w.panel->Searching(); }));
    EXPECT_EQ(w.Tree().topLevelItemCount(), 0);
    EXPECT_TRUE(w.panel->StatusText().contains("No sivo answered")) << w.panel->StatusText().toStdString();
    close(fd);

    SharingMachine machine(3, 200);
    w.panel->SetEndpoints(machine.Port(), {"127.0.0.1"});
    QTest::mouseClick(w.panel->findChild<QPushButton*>(), Qt::LeftButton);
    EXPECT_TRUE(w.panel->Searching());
    ASSERT_TRUE(FindMachine(*w.panel));
    w.Tree().topLevelItem(0)->setExpanded(true);
    std::vector<QTreeWidgetItem*> leaves;
    ASSERT_TRUE(PumpUntil([&] {
        leaves.clear();
        Leaves(w.Tree().topLevelItem(0), leaves);
        return leaves.size() == 4;
    }));
    int deepest = 0;
    for (QTreeWidgetItem* leaf : leaves) {
        int depth = 0;
        for (QTreeWidgetItem* up = leaf; up->parent(); up = up->parent())
            ++depth;
        deepest = std::max(deepest, depth);
        if (leaf->text(0).endsWith("deep.mp4")) {
            EXPECT_TRUE(leaf->text(0).startsWith("d/d/")) << "the rest of the path stays in the name";
        }
    }
    EXPECT_LE(deepest, 40);
}

// In the main window: N opens the panel over the video, and a double-click
// on a listed file reaches the engine's RemotePlay.
TEST(NetworkPanelTest, TheMainWindowOpensItWithNAndPlaysThroughRemotePlay) {
    struct Entries : SivoEntries {
        std::vector<::Play>& plays;
        explicit Entries(std::vector<::Play>& p) : plays(p) {}
        void RemotePlay(const char* address, const char* name) override { plays.emplace_back(address, name); }
        void StopAll() override {}
    };
    SharingMachine machine(2);
    std::vector<Play> plays;
    CSivoDlg dlg("/nonexistent");
    dlg.SetEntries(std::make_unique<Entries>(plays));
    NetworkPanel& panel = *dlg.Network();
    panel.SetEndpoints(machine.Port(), {"127.0.0.1"});
    dlg.resize(800, 600);
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    QTest::keyClick(&dlg, Qt::Key_N);
    ASSERT_TRUE(panel.isVisible());
    ASSERT_TRUE(FindMachine(panel));
    EXPECT_TRUE(dlg.VideoArea().contains(panel.geometry())) << panel.geometry().height();
    panel.Tree()->topLevelItem(0)->setExpanded(true);
    std::vector<QTreeWidgetItem*> leaves;
    ASSERT_TRUE(PumpUntil([&] {
        leaves.clear();
        Leaves(panel.Tree()->topLevelItem(0), leaves);
        return leaves.size() == 2;
    }));
    EXPECT_TRUE(plays.empty());
    DoubleClick(*panel.Tree(), leaves[1]);
    ASSERT_EQ(plays.size(), 1u);
    EXPECT_EQ(plays[0].first, "127.0.0.1");
    EXPECT_EQ(plays[0].second, machine.Catalogue()[1]);
}
