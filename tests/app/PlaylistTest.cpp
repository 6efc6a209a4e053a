// The folder as a list, screenshots and the A-B loop in the window.
#include "BgrPicture.h"
#include "WindowFixture.h"
#include "app/Playlist.h"
#include "output/OutputHooks.h"

#include <QImage>

#include <fstream>

using namespace windowtest;

namespace {

void Key(CSivoDlg& dlg, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    Press(dlg.Button(IDC_PLAY), key, modifiers);
}

std::vector<std::string> Names(const std::vector<std::string>& paths) {
    std::vector<std::string> names;
    for (const std::string& p : paths)
        names.push_back(fs::path(p).filename().string());
    return names;
}

class PlaylistWindowTest : public WindowTest {
protected:
    // ep1, ep2 and ep10 (copies of the 10 s clip), and things that are no media.
    void MakeFolder() {
        m_media = m_dir + "/media";
        fs::create_directories(m_media + "/season.mp4");
        for (const char* name : {"ep2.mp4", "ep10.mp4", "ep1.mp4"})
            fs::copy_file(TestClipAv10s(), m_media + "/" + name);
        std::ofstream(m_media + "/notes.txt") << "x";
        std::ofstream(m_media + "/.hidden.mp4") << "x";
    }
    std::string Media(const std::string& name) const { return m_media + "/" + name; }
    std::string m_media;
};

} // namespace

TEST(NaturalOrder, NumbersCompareByValueAndLettersWithoutCase) {
    const std::vector<std::string> sorted = {"a.mp4", "B.mp4", "ep01.mp4", "ep1.mp4", "ep2.mp4", "EP3.mkv", "ep10.mp4",
                                             "ep10b.mp4", "ep100.mp4", "x9y2", "x9y10", "x10y1", "z"};
    for (size_t i = 0; i < sorted.size(); ++i)
        for (size_t j = 0; j < sorted.size(); ++j)
            EXPECT_EQ(NaturalLess(sorted[i], sorted[j]), i < j) << sorted[i] << " < " << sorted[j];
    for (auto [name, media] : {std::pair{"a.MKV", true}, {"b.webm", true}, {"c.txt", false}, {"mp4", false},
                               {".mp4", false}, {"d.mp4.part", false}, {"e.Flac", true}})
        EXPECT_EQ(LooksLikeMedia(name), media) << name;
}

// The medium's folder, read off the UI thread, becomes the list in natural
// order; buttons, keys and the media interface move through it, and a
// medium that ends starts the next.
TEST_F(PlaylistWindowTest, TheFolderIsTheListInNaturalOrder) {
    MakeFolder();
    fs::create_symlink(Media("ep1.mp4"), Media("ep1-link.mp4"));
    CSivoDlg& dlg = Open();
    MprisHost& mpris = dlg;
    EXPECT_FALSE(mpris.CanGoNext() || mpris.CanGoPrevious());
    ASSERT_TRUE(dlg.OpenMedia(Media("ep2.mp4")));
    ASSERT_TRUE(PumpUntil([&] { return !dlg.Listing(); }));
    EXPECT_EQ(Names(dlg.List().Files()),
              (std::vector<std::string>{"ep1-link.mp4", "ep1.mp4", "ep2.mp4", "ep10.mp4"}));
    EXPECT_TRUE(mpris.CanGoNext() && mpris.CanGoPrevious());

    // Each move, and the file it plays (empty: none, at an end).
    const struct { std::function<bool()> move; const char* plays; bool next, previous; } steps[] = {
        {[&] { dlg.Button(IDC_NEXT).click(); return true; }, "ep10.mp4", false, true},
        {[&] { return mpris.GoNext(); }, "", false, true},
        {[&] { Key(dlg, Qt::Key_Less, Qt::ShiftModifier); return true; }, "ep2.mp4", true, true},
        {[&] { return mpris.GoPrevious(); }, "ep1.mp4", true, true},
        {[&] { dlg.Button(IDC_PREV).click(); return true; }, "ep1-link.mp4", true, false},
        {[&] { return dlg.GoPrevious(); }, "", true, false},
        {[&] { Key(dlg, Qt::Key_Greater); return true; }, "ep1.mp4", true, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.plays);
        const size_t before = m_entries->localPlays.size();
        const bool moved = step.move();
        EXPECT_EQ(m_entries->localPlays.size(), before + (*step.plays ? 1 : 0));
        if (*step.plays)
            EXPECT_EQ(fs::path(m_entries->localPlays.back()).filename(), step.plays);
        else
            EXPECT_FALSE(moved);
        EXPECT_EQ(std::pair(mpris.CanGoNext(), mpris.CanGoPrevious()), std::pair(step.next, step.previous));
    }

    // A file that went away is passed over; the end of one starts the next,
    // unless paused.
    fs::remove(Media("ep2.mp4"));
    m_entries->duration = 10;
    m_entries->position = 9.8;
    m_entries->paused = true;
    const size_t before = m_entries->localPlays.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * END_STILL_MS));
    QApplication::processEvents();
    EXPECT_EQ(m_entries->localPlays.size(), before) << "a paused medium near its end moved on";
    m_entries->paused = false;
    ASSERT_TRUE(PumpUntil([&] { return m_entries->localPlays.size() > before; }));
    EXPECT_EQ(fs::path(m_entries->localPlays.back()).filename(), "ep10.mp4");
    EXPECT_TRUE(dlg.ReasonText().isEmpty());

    // Another process's play request leaves the list; a folder of unreadable
    // entries gives a list of the file alone.
    dlg.OnRemotePlayRequest("127.0.0.1", "127.0.0.1", "x.mp4");
    EXPECT_FALSE(mpris.CanGoNext() || mpris.CanGoPrevious());
}

// Files dropped together are the list, in the order dropped; those that
// cannot be played are passed over.
TEST_F(PlaylistWindowTest, FilesDroppedTogetherAreTheList) {
    MakeFolder();
    CSivoDlg& dlg = Open();
    const std::vector<std::string> dropped = {Media("notes.txt"), Media("ep10.mp4"), Media("ep1.mp4"), Media("ep2.mp4")};
    ASSERT_TRUE(dlg.OpenFiles(dropped));
    EXPECT_FALSE(dlg.Listing());
    EXPECT_EQ(m_entries->localPlays, std::vector<std::string>{Media("ep10.mp4")});
    EXPECT_EQ(dlg.List().Files(), dropped);
    EXPECT_TRUE(dlg.GoNext());
    EXPECT_TRUE(dlg.GoNext());
    EXPECT_FALSE(dlg.GoNext());
    EXPECT_EQ(Names(m_entries->localPlays), (std::vector<std::string>{"ep10.mp4", "ep1.mp4", "ep2.mp4"}));
    EXPECT_TRUE(dlg.GoPrevious());
    EXPECT_TRUE(dlg.GoPrevious());
    EXPECT_FALSE(dlg.GoPrevious()) << "moved back onto a file that cannot play";
    EXPECT_EQ(dlg.MediaName(), "ep10.mp4");
}

// `s` saves the picture shown at the video's own size as PNG, named after
// the medium and the position; without a picture it says so.
TEST_F(PlaylistWindowTest, ScreenshotSavesThePictureAtItsOwnSize) {
    MakeFolder();
    CSivoDlg& dlg = Open();
    Key(dlg, Qt::Key_S);
    EXPECT_TRUE(dlg.NoteText().contains("No picture")) << dlg.NoteText().toStdString();
    ASSERT_TRUE(dlg.OpenMedia(Media("ep1.mp4")));
    std::vector<uint8_t> bgr;
    for (int y = 0; y < 90; ++y)
        for (int x = 0; x < 161; ++x)
            bgr.insert(bgr.end(), {uint8_t(x), uint8_t(y), uint8_t(x + y)});
    std::thread([&] { ShowPicture(BgrPicture(bgr.data(), 161, 90)); }).join();
    m_entries->position = 83.4567;
    Key(dlg, Qt::Key_S);
    ASSERT_TRUE(PumpUntil([&] { return !dlg.LastScreenshot().empty(); })) << dlg.NoteText().toStdString();
    const std::string path = dlg.LastScreenshot();
    EXPECT_EQ(path, m_dir + "/XDG_PICTURES_DIR/sivo/ep1_0-01-23.457.png");
    EXPECT_TRUE(dlg.NoteText().contains("Screenshot saved")) << dlg.NoteText().toStdString();
    const QImage shot(QString::fromStdString(path), "PNG");
    ASSERT_EQ(shot.size(), QSize(161, 90));
    int wrong = 0;
    for (int y = 0; y < 90; ++y)
        for (int x = 0; x < 161; ++x)
            wrong += shot.pixel(x, y) != qRgb((x + y) & 0xFF, y, x);
    EXPECT_EQ(wrong, 0);
    // A second one at the same place does not overwrite the first.
    Key(dlg, Qt::Key_S);
    ASSERT_TRUE(PumpUntil([&] { return dlg.LastScreenshot() != path; }));
    EXPECT_EQ(dlg.LastScreenshot(), m_dir + "/XDG_PICTURES_DIR/sivo/ep1_0-01-23.457-2.png");
    EXPECT_TRUE(fs::exists(path));
}

// `l` sets A, then B, then ends the loop; reaching B goes back to A.
TEST_F(PlaylistWindowTest, ALoopGoesBackFromBToAUntilItEnds) {
    MakeFolder();
    CSivoDlg& dlg = Open();
    ASSERT_TRUE(dlg.OpenMedia(Media("ep1.mp4")));
    m_entries->duration = 10;
    m_entries->paused = false;
    const auto at = [&](double position) {
        m_entries->position = position;
        dlg.OnWatch();
    };
    at(6);
    Key(dlg, Qt::Key_L);
    at(6.1);
    Key(dlg, Qt::Key_L);
    EXPECT_EQ(std::pair(dlg.LoopA(), dlg.LoopB()), std::pair(6.0, -1.0)) << "B too close to A was taken";
    at(3.5);
    Key(dlg, Qt::Key_L);
    EXPECT_EQ(std::pair(dlg.LoopA(), dlg.LoopB()), std::pair(3.5, 6.0)) << "the ends were not put in order";
    for (double p : {4.0, 5.9})
        at(p);
    EXPECT_TRUE(m_entries->seeks.empty());
    at(6.0);
    EXPECT_EQ(m_entries->seeks, std::vector<double>{3.5});
    at(6.2);
    EXPECT_EQ(m_entries->seeks, (std::vector<double>{3.5, 3.5}));
    Key(dlg, Qt::Key_L);
    EXPECT_TRUE(dlg.NoteText().contains("Loop off"));
    at(7);
    EXPECT_EQ(m_entries->seeks.size(), 2u) << "an ended loop still looped";
    // Another file ends the loop too.
    at(1);
    Key(dlg, Qt::Key_L);
    at(2);
    Key(dlg, Qt::Key_L);
    ASSERT_TRUE(dlg.OpenMedia(Media("ep2.mp4")));
    EXPECT_EQ(dlg.LoopB(), -1.0);
}
