// Resume positions on disk, keyed by content, and the window resuming.
#include "WindowFixture.h"
#include "app/ResumeStore.h"
#include "output/OutputTestUtil.h"
#include "share/ShareTestUtil.h"

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

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A private directory for stores that are not the window's.
class ResumeStoreTest : public ::testing::Test {
protected:
    std::string Path() const { return m_dir + "/state/sivo/resume"; }
    TempDir m_tmp;
    const std::string m_dir = m_tmp.path;
};

} // namespace

// The key follows the content, not the name: the same bytes anywhere give
// the same key; a change in the first or last 64 KiB, or in the size, gives
// another. A file of 50 GB is keyed from its two ends (it is sparse here; a
// scan would not end).
TEST_F(ResumeStoreTest, ContentKeysFollowTheBytesAtBothEndsAndTheSize) {
    const std::string bytes = Noise(300 * 1024, 7);
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

// The streams chosen come back with the position, whatever bytes a
// subtitle file's name holds; a part not known (a medium from a peer) or not
// valid keeps what was chosen before. A store written by the version that
// kept positions alone loads, its media with nothing chosen.
TEST_F(ResumeStoreTest, ChosenStreamsComeBackWithThePosition) {
    using S = ResumeTracks::Subtitle;
    const ResumeTracks chosen[] = {
        {},
        {2, S::Off, -1, ""},
        {0, S::Stream, 3, ""},
        {1, S::File, -1, "film.en.srt"},
        {-1, S::File, -1, "sp ace 100%20 caf\xc3\xa9\n\t#.ass"},
        {7, S::Unknown, -1, ""},
    };
    {
        ResumeStore store(Path());
        for (size_t i = 0; i < std::size(chosen); ++i)
            ASSERT_TRUE(store.Remember("m" + std::to_string(i), 10.0 + i, chosen[i]));
    }
    ResumeStore store(Path());
    ASSERT_TRUE(store.Load()) << store.Problem();
    for (size_t i = 0; i < std::size(chosen); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(store.Position("m" + std::to_string(i)), 10.0 + i);
        EXPECT_TRUE(store.Tracks("m" + std::to_string(i)) == chosen[i]);
    }
    EXPECT_TRUE(store.Tracks("never") == ResumeTracks());

    // Over {1, File "film.en.srt"}: what is known replaces, the rest stays.
    const struct { ResumeTracks given, kept; } merges[] = {
        {{}, chosen[3]},
        {{-1, S::File, -1, "subs/other.srt"}, chosen[3]},
        {{-1, S::File, -1, ""}, chosen[3]},
        {{-1, S::Stream, -4, ""}, chosen[3]},
        {{4, S::Unknown, -1, ""}, {4, S::File, -1, "film.en.srt"}},
        {{-1, S::Off, 5, "x.srt"}, {1, S::Off, -1, ""}},
        {{-1, S::Stream, 2, "x.srt"}, {1, S::Stream, 2, ""}},
    };
    for (const auto& [given, kept] : merges) {
        ASSERT_TRUE(store.Remember("m3", 20, chosen[3]));
        ASSERT_TRUE(store.Remember("m3", 21, given));
        ResumeStore again(Path());
        ASSERT_TRUE(again.Load()) << again.Problem();
        EXPECT_TRUE(again.Tracks("m3") == kept) << given.audio << " " << given.subtitleFile;
        EXPECT_EQ(again.Position("m3"), 21.0);
    }

    WriteFile(Path(), "sivo-resume 1\nold1 12.500 100\nold2 30.000 200\nend 2\n");
    ResumeStore old(Path());
    ASSERT_TRUE(old.Load()) << old.Problem();
    EXPECT_EQ(old.Position("old1"), 12.5);
    EXPECT_EQ(old.Position("old2"), 30.0);
    EXPECT_TRUE(old.Tracks("old1") == ResumeTracks());
    ASSERT_TRUE(old.Remember("old1", 13, chosen[2]));
    ResumeStore upgraded(Path());
    ASSERT_TRUE(upgraded.Load()) << upgraded.Problem();
    EXPECT_EQ(upgraded.Position("old2"), 30.0);
    EXPECT_TRUE(upgraded.Tracks("old1") == chosen[2]);
}

// The key of a file a peer serves, read from its HTTP file server by the
// name its catalogue lists (under a share root of its own, and under one
// holding ":" as the built-in root does), is the key of the same bytes here.
// A file the peer does not serve, or a peer without the server, gives none.
TEST_F(ResumeStoreTest, AFileFromAPeerHasTheKeyOfTheSameBytesHere) {
    for (const std::string& root : {m_dir + "/peer share", m_dir + "/D:"}) {
        SCOPED_TRACE(root);
        const std::unique_ptr<TcpServer> served = ServeHttp(root);
        TcpServer& server = *served;
        for (const size_t size : {size_t{0}, size_t{1000}, CONTENT_KEY_SPAN, CONTENT_KEY_SPAN + 1, size_t{2 * CONTENT_KEY_SPAN},
                                  size_t{900 * 1024}}) {
            const std::string bytes = Noise(size, unsigned(size));
            const std::string name = root + "/films " + std::to_string(size) + "/a film.mp4";
            fs::create_directories(fs::path(name).parent_path());
            WriteFile(name, bytes);
            fs::create_directories(m_dir + "/here");
            WriteFile(m_dir + "/here/copy.mp4", bytes);
            const std::string key = RemoteContentKey("127.0.0.1", server.GetPort(), name);
            EXPECT_EQ(key, ContentKey(m_dir + "/here/copy.mp4")) << size;
            EXPECT_FALSE(key.empty());
        }
        EXPECT_EQ(RemoteContentKey("127.0.0.1", server.GetPort(), root + "/missing.mp4"), "");
        const int closed = server.GetPort();
        server.StopListen();
        EXPECT_EQ(RemoteContentKey("127.0.0.1", closed, root + "/films 1000/a film.mp4"), "");
    }
}

// A file cut short at any byte, damaged, foreign or from a newer version is
// set aside with a one-line reason, and the store starts afresh and works.
TEST_F(ResumeStoreTest, BrokenFilesAreSetAsideAndTheStoreGoesOn) {
    {
        ResumeStore store(Path());
        for (int i = 0; i < 3; ++i)
            store.Remember("key" + std::to_string(i), 10 + i);
    }
    const std::string whole = ReadWholeFile(Path());
    std::vector<std::pair<std::string, std::string>> cases = {
        {"sivo-resume 3\nend 0\n", "newer"},
        {"sivo-resume 0\nend 0\n", "not a resume file"},
        {"sivo-resume 1\nkey0 12.000 5\nend 2\n", "cut short"},
        {std::string("\x89PNG\r\n\x1a\n\0\0", 10), "not a resume file"},
        {"", "not a resume file"},
    };
    // One entry that does not read, in a file of each version ("1 off": a
    // later version's line in an old file).
    for (const auto& [version, entries] :
         {std::pair{"1", std::vector<std::string>{"1 off", "junk"}},
          {"2", {"", "1", "1  off", "x off", "-2 off", "1 on", "1 s-1", "1 s", "1 f", "1 fsubs%2Fa.srt", "1 f..",
                 "99999999999999999999 off"}}})
        for (const std::string& entry : entries)
            cases.push_back({std::string("sivo-resume ") + version + "\nkey0 12.000 5" + (entry.empty() ? "" : " ") + entry +
                                 "\nend 1\n", "damaged"});
    for (const char* bad : {"sivo-resume 2\nkey0 +12 5 1 off", "sivo-resume 1\nkey0 -3 5", "sivo-resume 1\nkey0 nan 5"})
        cases.push_back({bad + std::string("\nend 1\n"), "damaged"});
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
        EXPECT_EQ(ReadWholeFile(Path() + ".bad"), bytes) << "not set aside";
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
    WriteFile(other, ReadWholeFile(first) + "different tail");
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
    Press(dlg.Button(IDC_PLAY), Qt::Key_Home);
    EXPECT_EQ(m_entries->seeks.back(), 0.0);

    // Left near either end: forgotten; closed elsewhere: kept; stopped
    // elsewhere and closed at the start after: kept where it stopped.
    for (auto [left, stops, resumes] : {std::tuple{2.0, false, false}, {96.0, false, false}, {60.25, false, true},
                                        {4.99, false, false}, {95.0, false, true}, {50.0, true, true}}) {
        SCOPED_TRACE(std::to_string(left) + (stops ? ", stopped" : ""));
        m_entries->position = left;
        if (stops) {
            m_dlg->OnStop();
            m_entries->position = 0;
        }
        m_dlg.reset();  // closing remembers
        CSivoDlg& again = Open();
        m_entries->duration = 100;
        m_entries->position = 0;
        ASSERT_TRUE(again.OpenMedia(m_dir + "/renamed.mp4"));
        EXPECT_EQ(m_entries->seeks, resumes ? std::vector<double>{left} : std::vector<double>{});
    }
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

namespace {

// The recorder with streams and subtitles as the engine has them: an open
// offers `offered` and chooses the first audio stream and the first
// subtitle, a medium from a peer offers none and has no length until its
// description comes.
struct StreamEntries : TrackEntries {
    void LocalPlay(const char* path) override {
        TrackEntries::LocalPlay(path);
        streams = {{1, "eng", true}, {2, "eng - Commentary", false}};
        subtitles = offered;
        subtitle = subtitles.empty() ? -1 : 0;
    }
    void RemotePlay(const char* address, const char* name) override {
        TrackEntries::RemotePlay(address, name);
        streams.clear();
        subtitles.clear();
        subtitle = -1;
        duration = 0;
    }
    std::vector<SubtitleChoice> offered;
};

class ResumeStreamsTest : public ResumeWindowTest {
protected:
    CSivoDlg& OpenWithStreams() { return Open(m_streams = new StreamEntries); }
    // A medium of its own content, so that each has a key of its own.
    std::string Medium(const std::string& name) {
        const std::string path = Clip(name);
        std::ofstream(path, std::ios::binary | std::ios::app) << name;
        return path;
    }
    StreamEntries* m_streams = nullptr;
};

SivoEntries::SubtitleChoice FileChoice(const std::string& dir, const std::string& name) {
    return {name, true, dir + "/" + name, -1};
}

SivoEntries::SubtitleChoice StreamChoice(const std::string& medium, int stream) {
    return {"stream " + std::to_string(stream), false, medium, stream};
}

} // namespace

// The audio stream and the subtitle chosen come back with the position: a
// file beside the medium by its name and a stream of the medium by its
// index, wherever the list now has them; nothing is chosen that the medium
// no longer offers, nor what the open chose already.
TEST_F(ResumeStreamsTest, ChosenStreamsComeBackWithThePosition) {
    CSivoDlg& dlg = OpenWithStreams();
    const std::string other = Medium("other.mp4");
    const struct {
        const char* what;
        int audio;
        int subtitle;  // an index into `before`
        std::vector<std::string> expected;
    } rounds[] = {
        {"a file beside it, another audio stream", 2, 0, {"SelectAudioStream 2", "SelectSubtitle 1", "SeekTo 42"}},
        {"a stream of the medium", 1, 3, {"SelectSubtitle 3", "SeekTo 42"}},
        {"no subtitles", 2, -1, {"SelectAudioStream 2", "SelectSubtitle -1", "SeekTo 42"}},
        {"what the open chooses anyway", 1, 1, {"SeekTo 42"}},
        {"a stream no longer offered", 1, 2, {"SeekTo 42"}},
    };
    for (size_t i = 0; i < std::size(rounds); ++i) {
        const auto& round = rounds[i];
        SCOPED_TRACE(round.what);
        const std::string film = Medium("film" + std::to_string(i) + ".mp4");
        const std::vector<SivoEntries::SubtitleChoice> before = {
            FileChoice(m_dir, "film.srt"), FileChoice(m_dir, "film.en.srt"), StreamChoice(film, 3), StreamChoice(film, 5)};
        // Since then a file came and one stream went; the order changed.
        const std::vector<SivoEntries::SubtitleChoice> after = {
            FileChoice(m_dir, "film.en.srt"), FileChoice(m_dir, "film.srt"), FileChoice(m_dir, "film.de.srt"),
            StreamChoice(film, 5), StreamChoice(film, 3 + 100 * (round.subtitle == 2))};
        m_streams->offered = before;
        m_streams->duration = 100;
        ASSERT_TRUE(dlg.OpenMedia(film));
        m_streams->SelectAudioStream(round.audio);
        m_streams->SelectSubtitle(round.subtitle);
        m_streams->position = 42;
        ASSERT_TRUE(dlg.OpenMedia(other));
        m_streams->offered = after;
        m_streams->calls.clear();
        ASSERT_TRUE(dlg.OpenMedia(film));
        EXPECT_EQ(m_streams->calls, round.expected);
        m_streams->position = 0;
    }
}

// A medium played from a peer is keyed by the bytes the peer's file server
// gives: it resumes where the same file was left here, once its length is
// known, and where it is left is where the file here resumes, with the
// streams chosen here still chosen.
TEST_F(ResumeStreamsTest, AMediumFromAPeerResumesLikeTheSameFileHere) {
    const std::string root = m_dir + "/peer share";
    const std::string served = root + "/films/the film.mp4";
    fs::create_directories(root + "/films");
    const std::string here = Medium("film.mp4");
    fs::copy_file(here, served);
    const std::unique_ptr<TcpServer> peer = ServeHttp(root);
    TcpServer& server = *peer;

    CSivoDlg& dlg = OpenWithStreams();
    dlg.SetPeerHttpPort(server.GetPort());
    m_streams->offered = {FileChoice(m_dir, "film.srt"), StreamChoice(here, 4)};
    m_streams->duration = 100;
    ASSERT_TRUE(dlg.OpenMedia(here));
    m_streams->SelectAudioStream(2);
    m_streams->SelectSubtitle(1);
    m_streams->position = 42;
    dlg.OnRemotePlayRequest("127.0.0.1", "127.0.0.1", served);
    ASSERT_EQ(m_streams->remotePlays, std::vector<Request>{Request("127.0.0.1", served)});
    m_streams->seeks.clear();
    // The key comes before the length: the resume waits for it.
    PumpFor(300);
    EXPECT_TRUE(m_streams->seeks.empty());
    m_streams->duration = 100;
    ASSERT_TRUE(PumpUntil([&] { return !m_streams->seeks.empty(); })) << "the medium from the peer did not resume";
    EXPECT_EQ(m_streams->seeks, std::vector<double>{42});
    EXPECT_TRUE(dlg.NoteText().contains("Resumed at 0:42")) << dlg.NoteText().toStdString();

    m_streams->position = 61;
    m_streams->calls.clear();
    ASSERT_TRUE(dlg.OpenMedia(here));
    EXPECT_EQ(m_streams->calls, (std::vector<std::string>{"SelectAudioStream 2", "SelectSubtitle 1", "SeekTo 61"}));

    // A peer without a file server: its media play, and do not resume.
    const int closed = server.GetPort();
    server.StopListen();
    m_streams->position = 50;
    dlg.OnRemotePlayRequest("127.0.0.1", "127.0.0.1", served);
    m_streams->duration = 100;
    m_streams->calls.clear();
    PumpFor(500);
    EXPECT_EQ(m_streams->remotePlays.size(), 2u);
    EXPECT_TRUE(m_streams->calls.empty()) << m_streams->calls.front() << " on port " << closed;
}
