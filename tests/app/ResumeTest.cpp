// Resume positions on disk, keyed by content, and the window resuming.
#include "WindowFixture.h"
#include "app/ResumeStore.h"

#include <QImage>

#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using namespace windowtest;

namespace {

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A private directory for stores that are not the window's.
class ResumeStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sivo-resume-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::string Path() const { return m_dir + "/state/sivo/resume"; }
    std::string m_dir;
};

} // namespace

// The key follows the content, not the name: the same bytes anywhere give
// the same key; a change in the first or last 64 KiB, or in the size, gives
// another. A file of 50 GB is keyed from its two ends (it is sparse here; a
// scan would not end).
TEST_F(ResumeStoreTest, ContentKeysFollowTheBytesAtBothEndsAndTheSize) {
    std::string bytes(300 * 1024, '\0');
    std::mt19937 random(7);
    for (char& c : bytes)
        c = static_cast<char>(random());
    const std::string a = m_dir + "/a.mp4";
    WriteFile(a, bytes);
    const std::string key = ContentKey(a);
    ASSERT_FALSE(key.empty());
    fs::create_directories(m_dir + "/moved");
    fs::copy_file(a, m_dir + "/moved/renamed.mkv");
    EXPECT_EQ(ContentKey(m_dir + "/moved/renamed.mkv"), key);
    for (auto [offset, what] : {std::pair{size_t{10}, "head"}, {bytes.size() - 10, "tail"}}) {
        std::string changed = bytes;
        changed[offset] ^= 1;
        WriteFile(m_dir + "/b.mp4", changed);
        EXPECT_NE(ContentKey(m_dir + "/b.mp4"), key) << what;
    }
    WriteFile(m_dir + "/b.mp4", bytes + "x");
    EXPECT_NE(ContentKey(m_dir + "/b.mp4"), key) << "size";
    EXPECT_EQ(ContentKey(m_dir + "/missing.mp4"), "");
    EXPECT_EQ(ContentKey(m_dir), "");

    const std::string huge = m_dir + "/huge.mkv";
    const int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    const bool sparse = ::ftruncate(fd, off_t{50} << 30) == 0;
    ::close(fd);
    if (sparse) {
        EXPECT_EQ(ContentKey(huge).substr(0, 12), "53687091200-");
    }
}

// Positions survive a new store; the most recent 1000 are kept.
TEST_F(ResumeStoreTest, PositionsPersistAndTheOldestGoBeyondAThousand) {
    {
        ResumeStore store(Path());
        ASSERT_TRUE(store.Load());
        EXPECT_EQ(store.Size(), 0u);
        for (int i = 0; i < 1005; ++i)
            ASSERT_TRUE(store.Remember("k" + std::to_string(i), i + 0.25));
        ASSERT_TRUE(store.Remember("k3", 7.5));  // used again: the most recent
        EXPECT_TRUE(store.Forget("k1004"));
        EXPECT_FALSE(store.Remember("bad key", 1));
        EXPECT_FALSE(store.Remember("k1", std::nan("")));
    }
    ResumeStore store(Path());
    ASSERT_TRUE(store.Load()) << store.Problem();
    EXPECT_EQ(store.Size(), ResumeStore::kMaxEntries - 1);
    EXPECT_EQ(store.Position("k3"), 7.5);
    EXPECT_EQ(store.Position("k1003"), 1003.25);
    EXPECT_EQ(store.Position("k1004"), std::nullopt);
    for (const char* dropped : {"k0", "k5"})
        EXPECT_EQ(store.Position(dropped), std::nullopt) << dropped;
    EXPECT_EQ(store.Position("k6"), 6.25);
}

// A file cut short at any byte, damaged, foreign or from a newer version is
// set aside with a one-line reason, and the store starts afresh and works.
TEST_F(ResumeStoreTest, BrokenFilesAreSetAsideAndTheStoreGoesOn) {
    {
        ResumeStore store(Path());
        for (int i = 0; i < 3; ++i)
            store.Remember("key" + std::to_string(i), 10 + i);
    }
    const std::string whole = FileText(Path());
    std::vector<std::pair<std::string, std::string>> cases = {
        {"sivo-resume 2\nend 0\n", "newer"},
        {"sivo-resume 1\nkey0 12.000 5 junk\nend 1\n", "damaged"},
        {"sivo-resume 1\nkey0 -3 5\nend 1\n", "damaged"},
        {"sivo-resume 1\nkey0 nan 5\nend 1\n", "damaged"},
        {"sivo-resume 1\nkey0 12.000 5\nend 2\n", "cut short"},
        {std::string("\x89PNG\r\n\x1a\n\0\0", 10), "not a resume file"},
        {"", "not a resume file"},
    };
    for (size_t cut = 1; cut < whole.size(); cut += 3)
        cases.push_back({whole.substr(0, cut), ""});
    for (const auto& [bytes, why] : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        WriteFile(Path(), bytes);
        fs::remove(Path() + ".bad");
        ResumeStore store(Path());
        EXPECT_FALSE(store.Load());
        EXPECT_NE(store.Problem().find(why), std::string::npos) << store.Problem();
        EXPECT_EQ(store.Problem().find('\n'), std::string::npos);
        EXPECT_EQ(store.Size(), 0u);
        EXPECT_EQ(FileText(Path() + ".bad"), bytes) << "not set aside";
        EXPECT_TRUE(store.Remember("fresh", 9));
        ResumeStore again(Path());
        EXPECT_TRUE(again.Load());
        EXPECT_EQ(again.Position("fresh"), 9.0);
    }
}

// Killed at any moment while it writes, the store leaves a file that loads.
TEST_F(ResumeStoreTest, AStoreKilledWhileWritingLeavesAWholeFile) {
    {
        ResumeStore store(Path());
        for (int i = 0; i < 500; ++i)
            store.Remember("seed" + std::to_string(i), i);
    }
    std::mt19937 random(11);
    for (int round = 0; round < 20; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ResumeStore store(Path());
            store.Load();
            for (int i = 0;; ++i)
                store.Remember("w" + std::to_string(i % 700), i);
        }
        ::usleep(std::uniform_int_distribution<int>(2000, 60000)(random));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ResumeStore store(Path());
        ASSERT_TRUE(store.Load()) << "round " << round << ": " << store.Problem();
        EXPECT_GE(store.Size(), 500u);
    }
}

namespace {

class ResumeWindowTest : public WindowTest {
protected:
    // A copy of the 10 s clip under a name of this test's.
    std::string Clip(const std::string& name) {
        const std::string path = m_dir + "/" + name;
        fs::copy_file(TestClipAv10s(), path, fs::copy_options::overwrite_existing);
        return path;
    }
};

} // namespace

// Where a medium was left is where it starts again, whatever its name now:
// after another file was opened and after the window closed; not when it was
// left near either end. Home plays it from the start.
TEST_F(ResumeWindowTest, MediaResumeWhereTheyWereLeftByContent) {
    const std::string first = Clip("first.mp4"), other = m_dir + "/other.mp4";
    WriteFile(other, FileText(first) + "different tail");
    CSivoDlg& dlg = Open();
    m_entries->duration = 100;
    ASSERT_TRUE(dlg.OpenMedia(first));
    EXPECT_TRUE(m_entries->seeks.empty()) << "a medium never played resumed";
    m_entries->position = 42.5;
    ASSERT_TRUE(dlg.OpenMedia(other));
    EXPECT_TRUE(m_entries->seeks.empty()) << "another file resumed at the first one's place";
    m_entries->position = 3;
    fs::rename(first, m_dir + "/renamed.mp4");
    ASSERT_TRUE(dlg.OpenMedia(m_dir + "/renamed.mp4"));
    EXPECT_EQ(m_entries->seeks, std::vector<double>{42.5});
    EXPECT_TRUE(dlg.NoteText().contains("Resumed at 0:42")) << dlg.NoteText().toStdString();
    EXPECT_EQ(dlg.Slider(IDC_PROGRESS).GetPos(), 42);
    QKeyEvent home(QEvent::KeyPress, Qt::Key_Home, Qt::NoModifier);
    QApplication::sendEvent(&dlg.Button(IDC_PLAY), &home);
    EXPECT_EQ(m_entries->seeks.back(), 0.0);

    // Left near either end, or stopped there: forgotten; closed elsewhere: kept.
    for (auto [left, resumes] : {std::pair{2.0, false}, {96.0, false}, {60.25, true}, {4.99, false}, {95.0, true}}) {
        SCOPED_TRACE(left);
        m_entries->position = left;
        m_dlg.reset();  // closing remembers
        CSivoDlg& again = Open();
        m_entries->duration = 100;
        m_entries->position = 0;
        ASSERT_TRUE(again.OpenMedia(m_dir + "/renamed.mp4"));
        EXPECT_EQ(m_entries->seeks, resumes ? std::vector<double>{left} : std::vector<double>{});
    }
    m_entries->position = 50;
    m_dlg->OnStop();
    m_entries->position = 0;
    m_dlg.reset();
    CSivoDlg& stopped = Open();
    m_entries->duration = 100;
    ASSERT_TRUE(stopped.OpenMedia(m_dir + "/renamed.mp4"));
    EXPECT_EQ(m_entries->seeks, std::vector<double>{50}) << "the stop forgot the place, or the close after it moved it";
}

// A broken store is set aside with a note; the window plays on and keeps new positions.
TEST_F(ResumeWindowTest, ABrokenStoreIsSetAsideAndPlaybackGoesOn) {
    const std::string path = m_dir + "/XDG_STATE_HOME/sivo/resume";
    fs::create_directories(fs::path(path).parent_path());
    WriteFile(path, "sivo-resume 1\nabc 12.0 1\n");
    CSivoDlg& dlg = Open();
    EXPECT_TRUE(dlg.NoteText().contains("cut short")) << dlg.NoteText().toStdString();
    EXPECT_TRUE(fs::exists(path + ".bad"));
    const std::string clip = Clip("a.mp4");
    m_entries->duration = 100;
    ASSERT_TRUE(dlg.OpenMedia(clip));
    m_entries->position = 30;
    m_dlg.reset();
    ResumeStore store(path);
    ASSERT_TRUE(store.Load()) << store.Problem();
    EXPECT_EQ(store.Position(ContentKey(clip)), 30.0);
}
