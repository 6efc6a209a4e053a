// The desktop program on a virtual X server: starts sivo on a colourful clip
// under Xvfb, screenshots the root window with xwd and checks what a viewer
// would see: the skinned frame, the controls and a moving picture.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/ChildProcess.h"
#include "common/TestMedia.h"
#include "common/TwoHostLan.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kStartWaitMs = 30000;  // server or window up, on a loaded 2-core machine
constexpr int kShotGapMs = 1000;
// The window's shutdown sequence takes well under a second; allow for load.
constexpr int kQuitWaitMs = 10000;
// Close to exit: 300 ms is the aim; a loaded machine and sanitizer builds
// (which check for leaks on the way out) get more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kCloseExitMs = 3000;
#else
constexpr int kCloseExitMs = 1000;
#endif
constexpr int kScreenW = 1280, kScreenH = 720;
// The skin's dark greys (band and background) have channels in this range.
constexpr int kDarkMin = 0x14, kDarkMax = 0x50;

bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

struct Rgb {
    int r = 0, g = 0, b = 0;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

struct Shot {
    int w = 0, h = 0;
    std::vector<Rgb> px;
    const Rgb& At(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }
};

// Runs a shell command with its standard error folded into `output`; the exit
// status, or -1 when it did not exit normally.
int RunCommand(const std::string& command, std::string& output) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[256];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, got);
    const int raw = ::pclose(pipe);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// Reads a picture of the whole screen (an X window dump, a PNG) through
// ffmpeg; false unless it is one.
bool ReadScreen(const fs::path& picture, Shot& shot) {
    const std::string raw = picture.string() + ".rgb";
    std::string output;
    if (RunCommand("ffmpeg -loglevel error -y -i '" + picture.string() + "' -f rawvideo -pix_fmt rgb24 '" + raw + "'",
                   output) != 0)
        return false;
    const std::string bytes = ReadWholeFile(raw);
    if (bytes.size() != size_t{3} * kScreenW * kScreenH)
        return false;
    shot.w = kScreenW;
    shot.h = kScreenH;
    shot.px.resize(size_t{1} * kScreenW * kScreenH);
    for (size_t i = 0; i < shot.px.size(); ++i)
        shot.px[i] = {static_cast<uint8_t>(bytes[3 * i]), static_cast<uint8_t>(bytes[3 * i + 1]),
                      static_cast<uint8_t>(bytes[3 * i + 2])};
    return true;
}

// testsrc2 pictures with a sine tone, in H.264 and AAC; `more` adds encoder options.
std::string ToneClip(const std::string& name, const char* size, int rate, int seconds, int tone = 440,
                     const std::string& more = "") {
    const std::string s = std::to_string(seconds);
    return TestMedia(name, "-f lavfi -i testsrc2=size=" + std::string(size) + ":rate=" + std::to_string(rate) +
                               ":duration=" + s + " -f lavfi -i sine=frequency=" + std::to_string(tone) + ":duration=" +
                               s + " -c:v libx264 -preset veryfast -pix_fmt yuv420p " + more + " -c:a aac -ac 2 -shortest");
}

bool FileHolds(const fs::path& file, const std::string& text) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()).find(text) !=
           std::string::npos;
}

bool IsSkinDark(const Rgb& c) {
    auto in = [](int v) { return v >= kDarkMin && v <= kDarkMax; };
    return in(c.r) && in(c.g) && in(c.b);
}

// Hue bucket (0..5) of a clearly saturated, not too dark colour, else -1.
int SaturatedHue(const Rgb& c) {
    int mx = std::max({c.r, c.g, c.b}), mn = std::min({c.r, c.g, c.b});
    if (mx < 0x60 || mx - mn < 0x60)
        return -1;
    double d = mx - mn, h;
    if (mx == c.r)
        h = (c.g - c.b) / d;
    else if (mx == c.g)
        h = 2 + (c.b - c.r) / d;
    else
        h = 4 + (c.r - c.g) / d;
    if (h < 0)
        h += 6;
    return static_cast<int>(h) % 6;
}

// Bounding box of the skin's dark pixels: the window on an empty screen.
struct Box {
    int x0 = 0, y0 = 0, x1 = -1, y1 = -1;
    int W() const { return x1 - x0 + 1; }
    int H() const { return y1 - y0 + 1; }
};

Box WindowBox(const Shot& s) {
    Box b{s.w, s.h, -1, -1};
    for (int y = 0; y < s.h; ++y)
        for (int x = 0; x < s.w; ++x)
            if (IsSkinDark(s.At(x, y))) {
                b.x0 = std::min(b.x0, x);
                b.y0 = std::min(b.y0, y);
                b.x1 = std::max(b.x1, x);
                b.y1 = std::max(b.y1, y);
            }
    return b;
}

// Distinct saturated hues in [x0, x1) x [y0, y1) of a shot (the whole of it by default).
size_t Hues(const Shot& s, int x0 = 0, int y0 = 0, int x1 = -1, int y1 = -1) {
    std::set<int> seen;
    for (int y = y0; y < (y1 < 0 ? s.h : y1); ++y)
        for (int x = x0; x < (x1 < 0 ? s.w : x1); ++x)
            seen.insert(SaturatedHue(s.At(x, y)));
    seen.erase(-1);
    return seen.size();
}

// Share of the pixels in [x0, x1) x [y0, y1), every step-th, that differ between two shots.
double ChangedShare(const Shot& a, const Shot& b, int x0, int y0, int x1, int y1, int step = 1) {
    int changed = 0, area = 0;
    for (int y = y0; y < y1; y += step)
        for (int x = x0; x < x1; x += step) {
            ++area;
            changed += !(a.At(x, y) == b.At(x, y));
        }
    return area ? double(changed) / area : 0;
}

// A virtual X server, a session bus and the window's private directory,
// for the fixtures below.
class XSession {
protected:
    static bool HaveTools() { return HaveTool("Xvfb") && HaveTool("xwd") && HaveTool("xdotool"); }
    void Begin() {
        m_dir = fs::path(SIVO_TEST_MEDIA_DIR) / ("xvfb-run-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
        // It also serves as the window's runtime directory, which must be private.
        fs::permissions(m_dir, fs::perms::owner_all);
    }
    void End() {
        if (m_server) {
            // Ended gently, Xvfb removes its lock and socket.
            m_server->Signal(SIGTERM);
            m_server->WaitExit(kStartWaitMs);
        }
        if (!m_dir.empty())
            fs::remove_all(m_dir);
    }

    // Starts Xvfb on the first free display, which it names once it accepts clients.
    bool StartServer() {
        const std::string number = (m_dir / "display").string();
        // Without -noreset the server resets as its last client leaves,
        // and the next window's connect can fall into the reset.
        m_server = std::make_unique<ChildProcess>(std::vector<std::string>{
            "sh", "-c", "exec Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp -noreset 3>'" + number + "'"});
        return nettest::WaitFor([&] {
            const std::string n = ReadWholeFile(number);
            m_display = ":" + n.substr(0, n.find('\n'));
            return m_server->Running() && !n.empty() && n.back() == '\n' && Screenshot(m_probe);
        }, kStartWaitMs);
    }

    bool Screenshot(Shot& shot) {
        std::string file = (m_dir / "shot.xwd").string();
        fs::remove(file);
        std::string cmd = "xwd -silent -root -display " + m_display + " -out '" + file + "' 2>/dev/null";
        return std::system(cmd.c_str()) == 0 && ReadScreen(file, shot);
    }

    // A private session bus for the window and gdbus.
    bool StartBus() {
        const fs::path socket = m_dir / "bus";
        m_busAddress = "unix:path=" + socket.string();
        m_bus = std::make_unique<ChildProcess>(std::vector<std::string>{
            "dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + m_busAddress});
        return nettest::WaitFor([&] { return fs::exists(socket); }, kStartWaitMs);
    }

    // The window under test, on this test's display, bus and runtime directory.
    std::unique_ptr<ChildProcess> StartSivo(const std::vector<std::string>& args) {
        std::vector<std::string> argv = m_sivoPrefix;
        argv.push_back(TestBinary("sivo"));
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>(argv, Env());
    }
    // The window's debug trace and its copy-data socket, in the test's own directory.
    fs::path Trace() const { return m_dir / "sivo.trace"; }
    fs::path CopyData() const { return m_dir / "sivo.copydata"; }
    std::vector<std::string> Env() const {
        std::vector<std::string> env = {
            "DISPLAY=" + m_display, "SDL_AUDIODRIVER=dummy", "QT_QPA_PLATFORM=xcb",
            "XDG_RUNTIME_DIR=" + m_dir.string(), "SIVO_TRACE=" + Trace().string(),
            "XDG_CONFIG_HOME=" + (m_dir / "config").string(), "XDG_STATE_HOME=" + (m_dir / "state").string(),
            "XDG_PICTURES_DIR=" + (m_dir / "pictures").string(),
            "DBUS_SESSION_BUS_ADDRESS=" + (m_busAddress.empty() ? "unix:path=" + (m_dir / "no-bus").string()
                                                                : m_busAddress)};
        env.insert(env.end(), m_extraEnv.begin(), m_extraEnv.end());
        return env;
    }
    std::string EnvPrefix() const {
        std::string prefix;
        for (const std::string& e : Env())
            prefix += "'" + e + "' ";
        return "env " + prefix;
    }
    // Runs a command with the window's environment; its output and exit status.
    int Run(const std::string& command, std::string& output) {
        output.clear();
        return RunCommand(EnvPrefix() + command, output);
    }
    int Xdotool(const std::string& args) {
        std::string output;
        return Run("xdotool " + args, output);
    }
    // A gdbus call on the window's media player object; the reply text.
    int Mpris(const std::string& method, std::string& reply) {
        return Run("gdbus call --session --dest org.mpris.MediaPlayer2.sivo --object-path /org/mpris/MediaPlayer2 "
                   "--method " + method, reply);
    }
    // A call on the player interface, which must succeed, then `until` within 5 s when given.
    bool Player(const std::string& call, const std::function<bool()>& until = nullptr) {
        std::string reply;
        if (Mpris("org.mpris.MediaPlayer2.Player." + call, reply) != 0) {
            ADD_FAILURE() << call << ": " << reply;
            return false;
        }
        return !until || nettest::WaitFor(until, 5000);
    }
    std::string Property(const std::string& name, const std::string& iface = "org.mpris.MediaPlayer2.Player") {
        std::string reply;
        Mpris("org.freedesktop.DBus.Properties.Get " + iface + " " + name, reply);
        return reply;
    }
    // Position in microseconds, -1 when it cannot be read.
    long long PositionUs() {
        const std::string reply = Property("Position");
        const size_t at = reply.find("int64 ");
        return at == std::string::npos ? -1 : std::stoll(reply.substr(at + 6));
    }
    // Position in whole seconds, -1 when it cannot be read.
    long long Position() {
        const long long us = PositionUs();
        return us < 0 ? -1 : us / 1000000;
    }
    double Volume() {
        const std::string reply = Property("Volume");
        const size_t at = reply.find('<');
        return at == std::string::npos ? -1 : std::stod(reply.substr(at + 1));
    }
    // What the medium's metadata holds between `open` and the next `close`; empty when nothing.
    std::string Metadata(const std::string& open, const std::string& close) {
        const std::string metadata = Property("Metadata");
        const size_t at = metadata.find(open), from = at + open.size();
        return at == std::string::npos ? std::string() : metadata.substr(from, metadata.find(close, from) - from);
    }
    // The medium's name as the media interface gives it.
    std::string Title() { return Metadata("'xesam:title': <'", "'>"); }
    bool WindowVisible() {
        std::string output;
        return Run("xdotool search --onlyvisible --name Corvan", output) == 0;
    }
    static bool HaveBusTools() { return HaveTool("gdbus") && HaveTool("dbus-daemon"); }
    // gdbus reads each argument as GVariant text: quoted strings.
    static std::string Quoted(const std::string& text) { return " \"'" + text + "'\""; }
    bool StatusIs(const char* want) { return Property("PlaybackStatus").find(want) != std::string::npos; }
    // The object path of the medium playing, as SetPosition names it.
    std::string Track() { return Metadata("objectpath '", "'"); }
    // Records the window's signals on the bus to `file`.
    std::unique_ptr<ChildProcess> Monitor(const fs::path& file) {
        return std::make_unique<ChildProcess>(std::vector<std::string>{
            "sh", "-c", EnvPrefix() + "gdbus monitor --session --dest org.mpris.MediaPlayer2.sivo > '" + file.string() +
                            "' 2>&1"});
    }
    // Quit through the media interface ends the window with status 0.
    void ExpectQuitEnds(ChildProcess& sivo) {
        std::string reply;
        EXPECT_EQ(Mpris("org.mpris.MediaPlayer2.Quit", reply), 0) << reply;
        const int status = sivo.WaitExit(kQuitWaitMs);
        ASSERT_NE(status, -1) << "Quit did not end the window";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    fs::path m_dir;
    std::string m_display;
    std::unique_ptr<ChildProcess> m_server;
    std::unique_ptr<ChildProcess> m_bus;
    std::string m_busAddress;
    Shot m_probe;
    // Put before the window's command line (to start it in another network).
    std::vector<std::string> m_sivoPrefix;
    // Set after (and so over) the usual environment.
    std::vector<std::string> m_extraEnv;
};

class WindowXvfbTest : public ::testing::Test, protected XSession {
protected:
    using XSession::Run;
    void SetUp() override {
        if (!HaveTools())
            GTEST_SKIP() << "Xvfb, xwd or xdotool is not installed";
        Begin();
        ASSERT_TRUE(StartServer()) << "Xvfb did not come up";  // with a screen of kScreenW x kScreenH
    }
    void TearDown() override { End(); }
};

TEST_F(WindowXvfbTest, ShowsTheSkinnedWindowPlayingAClip) {
    const std::string clip = ToneClip("testsrc2-10s.mp4", "640x360", 25, 10, 440, "-bf 0");
    ASSERT_FALSE(clip.empty());

    // No session bus: the window runs without its media player interface.
    auto sivo = StartSivo({clip});

    // Up means: the frame is drawn and the picture shows the clip's colours.
    Shot first;
    const bool up = nettest::WaitFor(
        [&] { return sivo->Running() && Screenshot(first) && WindowBox(first).W() > 0 && Hues(first) >= 4; },
        kStartWaitMs);
    ASSERT_TRUE(sivo->Running()) << "sivo exited";
    ASSERT_TRUE(up) << "no window with a picture on " << m_display;
    std::this_thread::sleep_for(std::chrono::milliseconds(kShotGapMs));
    Shot second;
    ASSERT_TRUE(Screenshot(second));

    fs::path artefacts = fs::path(SIVO_TEST_MEDIA_DIR).parent_path() / "artifacts";
    fs::create_directories(artefacts);
    fs::copy_file(m_dir / "shot.xwd", artefacts / "window.xwd", fs::copy_options::overwrite_existing);
    std::cout << "window screenshot: " << (artefacts / "window.xwd").string() << std::endl;

    Box box = WindowBox(second);
    ASSERT_GT(box.W(), 200);
    ASSERT_GT(box.H(), 150);

    // Top band: the skin's dark grey across the window, not black.
    int bandY = box.y0 + 4, dark = 0, black = 0;
    for (int x = box.x0; x <= box.x1; ++x) {
        const Rgb& c = second.At(x, bandY);
        dark += IsSkinDark(c);
        black += c.r + c.g + c.b == 0;
    }
    EXPECT_GT(dark, box.W() / 2) << "top band is not the skin's colour";
    EXPECT_LT(black, box.W() / 10);

    // Bottom band: controls stand out from the band's background.
    std::set<uint32_t> bottomColours;
    int notDark = 0;
    for (int y = box.y1 - 60; y <= box.y1 - 4; ++y)
        for (int x = box.x0; x <= box.x1; ++x) {
            const Rgb& c = second.At(x, y);
            bottomColours.insert(static_cast<uint32_t>(c.r << 16 | c.g << 8 | c.b));
            notDark += !IsSkinDark(c);
        }
    EXPECT_GE(bottomColours.size(), 4u) << "no controls in the bottom band";
    EXPECT_GT(notDark, 50);

    // Video area: between the bands, moving and colourful.
    EXPECT_GT(ChangedShare(first, second, box.x0 + 8, box.y0 + 40, box.x1 - 8, box.y1 - 90), 0.01)
        << "the picture did not move in " << kShotGapMs << " ms";
    EXPECT_GE(Hues(second, box.x0 + 8, box.y0 + 40, box.x1 - 8, box.y1 - 90), 4u) << "the picture lacks the clip's colours";

    // Another process hands the running window a play request.
    const std::string remotePlay = TestBinary("sivo") + " --remote-play 127.0.0.1 'my clip.mp4'";
    std::string output;
    ASSERT_TRUE(fs::exists(CopyData()));
    EXPECT_EQ(Run(remotePlay, output), 0) << output;
    EXPECT_TRUE(nettest::WaitFor([&] { return FileHolds(Trace(), "remote play 127.0.0.1 my clip.mp4"); }, kStartWaitMs))
        << "the window never saw the request";

    // SIGTERM closes the window the ordinary way, and its channels with it.
    sivo->Signal(SIGTERM);
    const int status = sivo->WaitExit(kQuitWaitMs);
    ASSERT_NE(status, -1) << "sivo still runs " << kQuitWaitMs << " ms after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status)) << "sivo died of signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(CopyData())) << "the copy-data channel was left behind";
    EXPECT_EQ(Run(remotePlay, output), 1);
    EXPECT_NE(output.find("no sivo window is running"), std::string::npos) << output;
}

// A 4:3 clip long enough for minute seeks; picture and sound.
std::string LongClip() { return ToneClip("testsrc2-4x3-150s.mp4", "320x240", 10, 150, 440, "-g 20"); }

// Real key presses (xdotool) on the real window, each read back through the
// media player interface on a private session bus; then the interface's own
// calls, bad ones included, and a second `sivo FILE` handing its file over.
TEST_F(WindowXvfbTest, KeysAndTheMediaInterfaceDriveTheWindow) {
    if (!HaveBusTools())
        GTEST_SKIP() << "gdbus or dbus-daemon is not installed";
    const std::string clip = LongClip();
    const std::string other = TestClipAv10s();
    ASSERT_FALSE(clip.empty());
    ASSERT_TRUE(StartBus()) << "no session bus";
    const fs::path changes = m_dir / "changes.txt";
    auto monitor = Monitor(changes);
    auto sivo = StartSivo({clip});
    ASSERT_TRUE(nettest::WaitFor([&] { return StatusIs("Playing") && Position() >= 2; }, kStartWaitMs))
        << "never playing: " << Property("PlaybackStatus");
    EXPECT_NE(Property("Metadata").find("testsrc2-4x3-150s.mp4"), std::string::npos) << Property("Metadata");
    EXPECT_NE(Property("Metadata").find("int64 150000000"), std::string::npos) << Property("Metadata");

    // Letterboxed: a 4:3 picture in the wide video area leaves black bars
    // left and right; the caption band above it stays.
    Shot shot;
    ASSERT_TRUE(Screenshot(shot));
    // The video area is 1280 x 616 under a 32 px caption band.
    const int videoTop = 40, videoBottom = kScreenH - 90, pictureWidth = (kScreenH - 104) * 4 / 3;
    const int barWidth = (kScreenW - pictureWidth) / 2;
    int black = 0, coloured = 0, samples = 0;
    for (int y = videoTop; y < videoBottom; y += 8) {
        for (int x : {8, barWidth - 12, kScreenW - barWidth + 12, kScreenW - 8}) {
            const Rgb& c = shot.At(x, y);
            black += c.r + c.g + c.b < 24;
            ++samples;
        }
        coloured += SaturatedHue(shot.At(kScreenW / 2 - pictureWidth / 4, y)) >= 0;
    }
    EXPECT_EQ(black, samples) << "no black bars beside the picture";
    EXPECT_GT(coloured, (videoBottom - videoTop) / 8 / 3) << "no picture between the bars";

    // The play button pauses what the file's open started, as space and
    // PlayPause do, and plays again.
    const std::string playButton = "mousemove 634 " + std::to_string(kScreenH - 30) + " click 1";
    for (const char* want : {"Paused", "Playing"}) {
        ASSERT_EQ(Xdotool(playButton), 0);
        EXPECT_TRUE(nettest::WaitFor([&] { return StatusIs(want); }, 5000))
            << "the play button did not make it " << want;
    }

    // Keys, with the pointer over the window so it has the keyboard.
    ASSERT_EQ(Xdotool("mousemove 640 360"), 0);
    const auto near = [](long long got, long long want) { return got >= want - 1 && got <= want + 4; };
    struct Step { const char* keys; std::function<bool()> done; std::string what; };
    long long base = 0;
    const double startVolume = Volume();
    ASSERT_GE(startVolume, 0.05) << Property("Volume");
    // Seeks stop at the start.
    const auto from = [&](int delta) { return [&, delta] { return near(Position(), std::max(0LL, base + delta)); }; };
    const auto status = [&](const char* want) { return [&, want] { return StatusIs(want); }; };
    const auto full = [&](bool want) {
        return [&, want] { return Property("Fullscreen", "org.mpris.MediaPlayer2").find(want ? "true" : "false") !=
                                  std::string::npos; };
    };
    const Step steps[] = {
        {"space", status("Paused"), "space pauses"},
        {"space", status("Playing"), "space plays"},
        {"Up", from(60), "Up seeks 60 s on"},
        {"Right", from(5), "Right seeks 5 s on"},
        {"Left", from(-5), "Left seeks 5 s back"},

        {"9", [&] { return std::abs(Volume() - (startVolume - 0.05)) < 0.011; }, "9 lowers the volume"},
        {"0", [&] { return std::abs(Volume() - startVolume) < 0.011; }, "0 raises it again"},
        {"m", [&] { return Volume() == 0.0; }, "m mutes"},
        {"m", [&] { return std::abs(Volume() - startVolume) < 0.011; }, "m unmutes"},
        {"f", full(true), "f goes fullscreen"},
        {"Escape", full(false), "Escape leaves fullscreen"},
        // The focus on a control does not take the keys away.
        {"Tab Tab Tab Tab Left", from(-5), "Left with a control focused"},
        {"Down", from(-60), "Down seeks 60 s back"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        base = Position();
        ASSERT_EQ(Xdotool(std::string("key --delay 50 ") + step.keys), 0);
        EXPECT_TRUE(nettest::WaitFor(step.done, 5000)) << "position " << Position() << " (from " << base
                                                        << "), volume " << Volume();
        if (std::string(step.keys) == "f") {
            Shot fullShot;
            ASSERT_TRUE(Screenshot(fullShot));
            EXPECT_FALSE(IsSkinDark(fullShot.At(kScreenW / 2, 4))) << "the caption band shows in fullscreen";
            EXPECT_FALSE(IsSkinDark(fullShot.At(kScreenW / 2, kScreenH - 4))) << "the controls show in fullscreen";
        }
    }
    EXPECT_TRUE(std::abs(Volume() - startVolume) < 0.011) << "Left moved the focused slider";

    // The interface's calls; bad ones are refused with an error and change nothing.
    std::string reply;
    EXPECT_TRUE(Player("Pause", status("Paused")));
    const std::string metadata = Property("Metadata");
    const std::string track = Track();
    ASSERT_FALSE(track.empty()) << metadata;
    for (const std::string& bad : std::vector<std::string>{
             "org.mpris.MediaPlayer2.Player.SetPosition" + Quoted("/org/mpris/nothing") + " 1000000",
             "org.mpris.MediaPlayer2.Player.SetPosition" + Quoted(track) + " 900000000000000000",
             "org.mpris.MediaPlayer2.Player.OpenUri" + Quoted("http://127.0.0.1/a.mp4"),
             "org.mpris.MediaPlayer2.Player.OpenUri" + Quoted("file:///no/such/file.mp4"),
             "org.mpris.MediaPlayer2.Player.OpenUri" + Quoted("file://" + m_dir.string())}) {
        EXPECT_NE(Mpris(bad, reply), 0) << bad << ": " << reply;
        EXPECT_NE(reply.find("InvalidArgs"), std::string::npos) << bad << ": " << reply;
    }
    EXPECT_TRUE(sivo->Running());
    EXPECT_TRUE(StatusIs("Paused"));
    EXPECT_EQ(Property("Metadata"), metadata);
    EXPECT_TRUE(Player("SetPosition" + Quoted(track) + " 30000000", [&] { return near(Position(), 30); })) << Position();
    // Fractions count both ways: targets go in microseconds, positions and
    // Seeked come back in them; a relative seek counts from the position heard.
    EXPECT_TRUE(Player("SetPosition" + Quoted(track) + " 30500000", [&] { return FileHolds(changes, "int64 30500000"); }))
        << "no Seeked to 30.5 s";
    const auto around = [&](long long want) {
        return [&, want] { const long long us = PositionUs(); return us >= want - 150000 && us <= want + 800000; };
    };
    EXPECT_TRUE(nettest::WaitFor(around(30500000), 5000)) << PositionUs();
    int fractions = 0;
    for (int i = 0; i < 5; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(130)))
        fractions += PositionUs() % 1000000 != 0;
    EXPECT_GE(fractions, 3) << "the position comes in whole seconds";
    const long long before = PositionUs();
    EXPECT_TRUE(Player("Seek 2250000", around(before + 2250000))) << PositionUs() << " after " << before;
    EXPECT_TRUE(Player("PlayPause", status("Paused")));
    EXPECT_TRUE(Player("Play", status("Playing")));

    // One window: a second `sivo FILE` hands the file over and exits 0.
    std::string output;
    EXPECT_EQ(Run(TestBinary("sivo") + " '" + other + "'", output), 0) << output;
    EXPECT_TRUE(nettest::WaitFor([&] { return Property("Metadata").find(fs::path(other).filename().string()) !=
                                              std::string::npos; }, 5000)) << Property("Metadata");
    // A file URI is decoded to open the file, and the medium's url is encoded again.
    const fs::path spaced = m_dir / "my clip.mp4";
    fs::create_symlink(clip, spaced);
    const std::string uri = "file://" + m_dir.string() + "/my%20clip.mp4";
    EXPECT_TRUE(Player("OpenUri" + Quoted(uri)));
    EXPECT_NE(Property("Metadata").find("'xesam:url': <'" + uri + "'>"), std::string::npos) << Property("Metadata");
    EXPECT_TRUE(Player("Stop", status("Stopped")));
    EXPECT_TRUE(nettest::WaitFor([&] { return FileHolds(changes, "PropertiesChanged") &&
                                              FileHolds(changes, "'PlaybackStatus': <'Stopped'>"); }, 5000))
        << "no PropertiesChanged for the stop";
    EXPECT_TRUE(FileHolds(changes, "Seeked")) << "no Seeked signal";
    ExpectQuitEnds(*sivo);
}

// Closing by the caption's close button, in each state: the window leaves
// the screen at once and the process ends soon after.
TEST_F(WindowXvfbTest, ClosingHidesTheWindowAtOnceInEveryState) {
    const std::string clip = ToneClip("testsrc2-2s.mp4", "320x240", 25, 2);
    // The skin's close button is the rightmost caption button; stop is the
    // first transport button.
    const std::string closeButton = "mousemove " + std::to_string(kScreenW - 18) + " 16 click 1";
    const std::string stopButton = "mousemove 374 " + std::to_string(kScreenH - 30) + " click 1";
    for (const std::string state : {"playing", "paused", "ended", "stopped"}) {
        SCOPED_TRACE(state);
        fs::remove(Trace());
        auto sivo = StartSivo({clip});
        ASSERT_TRUE(nettest::WaitFor([&] { return WindowVisible(); }, kStartWaitMs));
        std::this_thread::sleep_for(std::chrono::milliseconds(state == "ended" ? 3500 : 700));
        if (state == "paused") {
            ASSERT_EQ(Xdotool("mousemove 640 360 key space"), 0);
        } else if (state == "stopped") {
            ASSERT_EQ(Xdotool(stopButton), 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_EQ(Xdotool(closeButton), 0);
        const auto clicked = Clock::now();
        EXPECT_TRUE(nettest::WaitFor([&] { return !WindowVisible(); }, kQuitWaitMs));
        const auto hidden = Clock::now();
        const int exitStatus = sivo->WaitExit(kQuitWaitMs);
        const auto ended = Clock::now();
        ASSERT_NE(exitStatus, -1) << "still running";
        EXPECT_TRUE(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0);
        const auto ms = [&](Clock::time_point t) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(t - clicked).count();
        };
        std::cout << state << ": hidden after " << ms(hidden) << " ms, ended after " << ms(ended) << " ms"
                  << std::endl;
        EXPECT_LE(ms(hidden), 300) << "the window stayed on screen";
        EXPECT_LE(ms(ended), kCloseExitMs) << "the process lingered";
        EXPECT_FALSE(FileHolds(Trace(), "did not end within")) << "a shutdown wait ran out";
    }
}

// A strip of noise as wide as the 1280-pixel screen, for drawing at twice the scale.
std::string NoiseClip() {
    return TestMedia("noise-1280x90-2s.mp4", "-f lavfi -i nullsrc=s=1280x90:r=5:d=2,geq=lum='random(1)*255':cb=128:cr=128 "
                                             "-c:v libx264 -preset veryfast -qp 0 -pix_fmt yuv420p");
}

// Over the rows of a screen that show the noise (many colours): how many
// neighbouring pixel pairs there are and how many of them are equal. False
// when fewer than 40 such rows show.
bool NoisePairs(const Shot& shot, int& rows, int& pairs, int& same) {
    rows = pairs = same = 0;
    for (int y = 100; y < kScreenH - 200; ++y) {
        std::set<uint32_t> colours;
        int rowSame = 0;
        for (int x = 100; x + 1 < kScreenW - 100; x += 2) {
            const Rgb& a = shot.At(x, y);
            colours.insert(static_cast<uint32_t>(a.r << 16 | a.g << 8 | a.b));
            rowSame += a == shot.At(x + 1, y);
        }
        if (colours.size() < 100)
            continue;   // not a row of the picture
        ++rows;
        pairs += (kScreenW - 200) / 2;
        same += rowSame;
    }
    return rows >= 40;
}

// Waits for the noise to show on the screens `grab` takes; neighbouring
// pixels must mostly differ, as they do only when drawn at the device's pixels.
void ExpectNoiseAtDevicePixels(const std::function<bool(Shot&)>& grab) {
    int rows = 0, pairs = 0, same = 0;
    const auto measure = [&] {
        Shot shot;
        return grab(shot) && NoisePairs(shot, rows, pairs, same);
    };
    ASSERT_TRUE(nettest::WaitFor(measure, kStartWaitMs)) << "no picture rows found (" << rows << ")";
    EXPECT_LT(same, pairs / 5) << same << " of " << pairs << " neighbouring pixels are equal: drawn at half resolution";
}

// At a 2x scale the picture is drawn at the screen's resolution: a strip of
// noise as wide as the screen keeps neighbouring screen pixels apart instead
// of doubling each picture pixel.
TEST_F(WindowXvfbTest, PictureUsesEveryScreenPixelAtTwiceTheScale) {
    const std::string noise = NoiseClip();
    ASSERT_FALSE(noise.empty());
    m_extraEnv = {"QT_SCALE_FACTOR=2"};
    auto sivo = StartSivo({noise});
    ExpectNoiseAtDevicePixels([&](Shot& shot) { return Screenshot(shot); });
}

// The skin's colours and the empty video area's black.
constexpr Rgb kSkinColours[] = {{0x1e, 0x20, 0x24}, {0x2a, 0x2d, 0x33}, {0x3a, 0x3e, 0x46}, {0xd8, 0xdc, 0xe2},
                                {0x3d, 0x8b, 0xfd}, {0x22, 0x5f, 0xc0}, {0, 0, 0}};
constexpr Rgb kSkinAccent{0x3d, 0x8b, 0xfd};

// The skin's accent-coloured shapes (glyphs, the played part of a slider)
// on a screen at twice the scale: `fine` counts where the two device rows
// (or columns) of one logical pixel differ at the edge of a control's
// shape, which only an image drawn at the device's pixels has; `blurred`
// counts the pixels beside a shape that are none of the skin's colours, as
// scaling a smaller image smoothly leaves them.
struct SkinEdges {
    int accent = 0, fine = 0, blurred = 0;
};

SkinEdges MeasureSkinEdges(const Shot& s) {
    SkinEdges e;
    const auto skin = [](const Rgb& c) { return std::find(std::begin(kSkinColours), std::end(kSkinColours), c) != std::end(kSkinColours); };
    for (int y = 0; y < s.h; ++y)
        for (int x = 0; x < s.w; ++x) {
            if (!(s.At(x, y) == kSkinAccent))
                continue;
            ++e.accent;
            for (auto [dx, dy] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}})
                if (x + dx >= 0 && x + dx < s.w && y + dy >= 0 && y + dy < s.h && !skin(s.At(x + dx, y + dy)))
                    ++e.blurred;
        }
    // The controls along the bottom of the maximised window (the caption's
    // icon is scaled to its place whatever the scale).
    for (int y = s.h / 2; y + 1 < s.h; y += 2)
        for (int x = 0; x + 1 < s.w; x += 2) {
            e.fine += (s.At(x, y) == kSkinAccent) != (s.At(x, y + 1) == kSkinAccent);
            e.fine += (s.At(x, y) == kSkinAccent) != (s.At(x + 1, y) == kSkinAccent);

        }
    return e;
}

// Waits for the skin to show on the screens `grab` takes and checks that it
// is sharp: glyphs' slanted edges step by one device pixel, nothing blurred.
void ExpectSharpSkin(const std::function<bool(Shot&)>& grab) {
    // The skin's controls come up one by one: measured until all of them
    // are sharp, or the wait is over.
    SkinEdges edges;
    nettest::WaitFor([&] {
        Shot shot;
        return grab(shot) && (edges = MeasureSkinEdges(shot)).accent > 2000 && edges.fine >= 40;
    }, kStartWaitMs);
    ASSERT_GT(edges.accent, 2000) << "no skin on the screen";
    std::cout << "skin at scale 2: " << edges.accent << " accent pixels, " << edges.fine
              << " finer than a logical pixel, " << edges.blurred << " blurred" << std::endl;
    EXPECT_EQ(edges.blurred, 0);
    EXPECT_GE(edges.fine, 40) << "the skin is drawn at half the device's resolution";
}

// At a 2x scale the skin is drawn from images made for it, and its bands
// keep their sizes.
TEST_F(WindowXvfbTest, SkinIsSharpAtTwiceTheScale) {
    m_extraEnv = {"QT_SCALE_FACTOR=2"};
    auto sivo = StartSivo({});
    ExpectSharpSkin([&](Shot& shot) { return Screenshot(shot); });
    // The bands keep their height in the window's coordinates (32 and 80,
    // the video area reaching 4 into each): the empty video area is black
    // from device row 56 to 567 down the middle.
    Shot shot;
    ASSERT_TRUE(Screenshot(shot));
    std::vector<int> black;
    for (int y = 0; y < shot.h; ++y)
        if (shot.At(shot.w / 2, y) == Rgb{0, 0, 0})
            black.push_back(y);
    ASSERT_FALSE(black.empty());
    EXPECT_EQ(std::pair(black.front(), black.back()), std::pair(56, 567));
    EXPECT_EQ(black.size(), 512u);
}

// Without a window manager the window moves by its caption and resizes by
// its edges itself.
TEST_F(WindowXvfbTest, CaptionAndEdgesMoveAndResizeWithoutAWindowManager) {
    auto sivo = StartSivo({});
    Shot shot;
    const auto box = [&] { return Screenshot(shot) ? WindowBox(shot) : Box{}; };
    ASSERT_TRUE(nettest::WaitFor([&] { return box().W() == kScreenW; }, kStartWaitMs)) << "not maximised";
    // A double-click on the caption restores the 500 x 500 window.
    ASSERT_EQ(Xdotool("mousemove 300 16 click --repeat 2 --delay 60 1"), 0);
    ASSERT_TRUE(nettest::WaitFor([&] { return box().W() == 500; }, 5000)) << box().W();
    const Box normal = box();
    ASSERT_EQ(Xdotool("mousemove " + std::to_string(normal.x0 + 100) + " " + std::to_string(normal.y0 + 16) +
                      " mousedown 1 mousemove_relative -- -50 -25 mousemove_relative -- -50 -25 mouseup 1"), 0);
    ASSERT_TRUE(nettest::WaitFor([&] { return box().x0 == normal.x0 - 100; }, 5000)) << box().x0;
    const Box moved = box();
    EXPECT_EQ(moved.y0, normal.y0 - 50);
    EXPECT_EQ(std::pair(moved.W(), moved.H()), std::pair(normal.W(), normal.H()));
    ASSERT_EQ(Xdotool("mousemove " + std::to_string(moved.x1 - 1) + " " + std::to_string(moved.y1 - 1) +
                      " mousedown 1 mousemove_relative 40 30 mousemove_relative 40 30 mouseup 1"), 0);
    ASSERT_TRUE(nettest::WaitFor([&] { return box().W() == normal.W() + 80; }, 5000)) << box().W();
    EXPECT_EQ(box().H(), normal.H() + 60);
    EXPECT_EQ(std::pair(box().x0, box().y0), std::pair(moved.x0, moved.y0));
}

// A window that does not read its copy-data channel (stopped) makes
// `--remote-play` give up with a message instead of blocking.
TEST_F(WindowXvfbTest, RemotePlayGivesUpOnAWindowThatDoesNotRead) {
    auto sivo = StartSivo({});
    ASSERT_TRUE(nettest::WaitFor([&] { return fs::exists(CopyData()); }, kStartWaitMs));
    sivo->Signal(SIGSTOP);
    std::string output;
    int status = 0;
    for (int i = 0; i < 16 && status == 0; ++i) {
        const auto start = Clock::now();
        status = Run(TestBinary("sivo") + " --remote-play 127.0.0.1 clip" + std::to_string(i) + ".mp4", output);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << "request " << i << " blocked";
    }
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("does not answer"), std::string::npos) << output;
    sivo->Signal(SIGCONT);
    sivo->Signal(SIGTERM);
    EXPECT_NE(sivo->WaitExit(kQuitWaitMs), -1);
}

// Three short clips that differ, named to show natural order, in a folder.
std::vector<std::string> FolderOfThree(const fs::path& dir) {
    fs::create_directories(dir);
    std::vector<std::string> paths;
    for (const auto& [name, tone] : {std::pair{"ep1.mp4", 330}, {"ep2.mp4", 440}, {"ep10.mp4", 550}}) {
        fs::copy_file(ToneClip(std::string("folder-") + name, "320x240", 10, 3, tone), dir / name,
                      fs::copy_options::overwrite_existing);
        paths.push_back((dir / name).string());
    }
    return paths;
}

// Media a person comes back to: where a medium was left is where it starts
// again (after opening another file, renamed meanwhile, and after the window
// closed), not when it was left near its end; the folder is the list that
// the media interface and the keys move through, and the end of one starts
// the next; `s` saves the picture shown; `l` loops between two points.
TEST_F(WindowXvfbTest, ResumeFolderListScreenshotAndLoop) {
    if (!HaveBusTools())
        GTEST_SKIP() << "gdbus or dbus-daemon is not installed";
    const fs::path films = m_dir / "films";
    fs::create_directories(films);
    fs::copy_file(LongClip(), films / "film.mp4");
    const std::vector<std::string> folder = FolderOfThree(m_dir / "series");
    ASSERT_TRUE(StartBus()) << "no session bus";
    const fs::path changes = m_dir / "changes.txt";
    auto monitor = Monitor(changes);
    std::string output;
    const auto playing = [&](const std::string& title) {
        return nettest::WaitFor([&] { return Title() == title && StatusIs("Playing"); }, kStartWaitMs);
    };
    const auto near = [&](double want, double slack) {
        return [&, want, slack] { const double s = PositionUs() / 1e6; return s >= want - 0.3 && s <= want + slack; };
    };
    // Sets the position and waits until it is heard there.
    const auto setPosition = [&](double seconds, double slack = 2) {
        return Player("SetPosition" + Quoted(Track()) + " " + std::to_string(static_cast<long long>(seconds * 1e6)),
                      near(seconds, slack));
    };

    // Resume after another file was opened, under a new name.
    auto sivo = StartSivo({(films / "film.mp4").string()});
    ASSERT_TRUE(playing("film.mp4"));
    ASSERT_TRUE(setPosition(40)) << PositionUs();
    EXPECT_EQ(Run(TestBinary("sivo") + " '" + folder[0] + "'", output), 0) << output;
    ASSERT_TRUE(playing("ep1.mp4"));
    fs::rename(films / "film.mp4", films / "film renamed.mp4");
    const auto handed = Clock::now();
    EXPECT_EQ(Run(TestBinary("sivo") + " '" + (films / "film renamed.mp4").string() + "'", output), 0) << output;
    EXPECT_TRUE(nettest::WaitFor(near(40, 3), 5000)) << "no resume after another file: " << PositionUs();
    std::cout << "resumed position reached "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - handed).count()
              << " ms after the hand-over" << std::endl;
    // After the window closed; and not from near the end.
    ASSERT_TRUE(setPosition(70));
    ExpectQuitEnds(*sivo);
    sivo = StartSivo({(films / "film renamed.mp4").string()});
    EXPECT_TRUE(nettest::WaitFor(near(70, 3), kStartWaitMs)) << "no resume after a close: " << PositionUs();
    ASSERT_TRUE(setPosition(148));
    ExpectQuitEnds(*sivo);
    sivo = StartSivo({(films / "film renamed.mp4").string()});
    ASSERT_TRUE(playing("film renamed.mp4"));
    EXPECT_TRUE(nettest::WaitFor(near(0, 3), 5000)) << "resumed from near the end: " << PositionUs();

    // A-B: from 10 s to 11.5 s, looping for 4 s, then off.
    ASSERT_EQ(Xdotool("mousemove 640 360"), 0);
    ASSERT_TRUE(setPosition(10, 0.5));
    ASSERT_EQ(Xdotool("key l"), 0);
    ASSERT_TRUE(nettest::WaitFor(near(11.5, 0.5), 5000));
    ASSERT_EQ(Xdotool("key l"), 0);
    const auto loopStart = Clock::now();
    double lowest = 1e9, highest = 0;
    while (Clock::now() - loopStart < std::chrono::seconds(4)) {
        const double s = PositionUs() / 1e6;
        lowest = std::min(lowest, s);
        highest = std::max(highest, s);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LT(lowest, 10.8) << "the loop never went back";
    EXPECT_GT(lowest, 9.0);
    EXPECT_LT(highest, 12.5) << "the loop ran past its end";
    ASSERT_EQ(Xdotool("key l"), 0);
    EXPECT_TRUE(nettest::WaitFor(near(13.5, 2), 5000)) << "the loop did not end: " << PositionUs();

    // A screenshot is a frame of the medium at its own size, pixel for pixel:
    // it matches ffmpeg's decode of one of the frames around its stamp (the
    // name has the position heard, which the picture shown follows within a
    // frame or two). Compared in luma: the shapes tell the frame; how sharp
    // colour edges are interpolated is the converter's choice.
    ASSERT_EQ(Xdotool("key s"), 0);
    const fs::path shots = m_dir / "pictures" / "sivo";
    fs::path shot;
    ASSERT_TRUE(nettest::WaitFor([&] {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(shots, ec))
            if (entry.path().extension() == ".png" && entry.path().filename().string()[0] != '.')
                shot = entry.path();
        return !shot.empty();
    }, 10000)) << "no screenshot in " << shots;
    std::smatch m;
    const std::string shotName = shot.filename().string();
    ASSERT_TRUE(std::regex_match(shotName, m, std::regex("film renamed_0-00-([0-9]{2})\\.([0-9]{3})\\.png"))) << shotName;
    const double stamp = std::stoi(m[1]) + std::stoi(m[2]) / 1000.0;
    double best = 0, bestAt = 0;
    for (const double at : {stamp - 0.25, stamp - 0.15, stamp - 0.05, stamp + 0.05, stamp + 0.15}) {
        const fs::path ref = m_dir / "ref.png";
        fs::remove(ref);
        ASSERT_EQ(RunCommand("ffmpeg -loglevel error -y -ss " + std::to_string(at) + " -i '" +
                                 (films / "film renamed.mp4").string() + "' -frames:v 1 '" + ref.string() + "'", output), 0)
            << output;
        output.clear();
        RunCommand("ffmpeg -loglevel info -i '" + shot.string() + "' -i '" + ref.string() +
                       "' -lavfi '[0]format=gray[a];[1]format=gray[b];[a][b]ssim' -f null -",
                   output);
        if (std::regex_search(output, m, std::regex("All:([0-9.]+)")) && std::stod(m[1]) > best) {
            best = std::stod(m[1]);
            bestAt = at;
        }
    }
    EXPECT_GE(best, 0.99) << shotName;
    std::cout << "screenshot at " << stamp << " s: SSIM " << best << " against the frame from " << bestAt << " s"
              << std::endl;

    // The folder: the media interface and the keys move through it in
    // natural order; the end of one starts the next.
    EXPECT_EQ(Run(TestBinary("sivo") + " '" + folder[1] + "'", output), 0) << output;
    ASSERT_TRUE(playing("ep2.mp4"));
    const auto can = [&](const char* which, bool want) {
        return nettest::WaitFor([&] { return Property(which).find(want ? "true" : "false") != std::string::npos; }, 5000);
    };
    EXPECT_TRUE(can("CanGoNext", true) && can("CanGoPrevious", true));
    EXPECT_TRUE(Player("Next") && playing("ep10.mp4"));
    EXPECT_TRUE(can("CanGoNext", false));
    EXPECT_TRUE(Player("Previous") && playing("ep2.mp4"));
    ASSERT_EQ(Xdotool("key less"), 0);
    EXPECT_TRUE(playing("ep1.mp4"));
    EXPECT_TRUE(can("CanGoPrevious", false));
    // ep1 plays to its end (3 s), then ep2 starts by itself.
    EXPECT_TRUE(nettest::WaitFor([&] { return Title() == "ep2.mp4"; }, 10000)) << "no next at the end: " << Title();
    ASSERT_EQ(Xdotool("key greater"), 0);
    EXPECT_TRUE(playing("ep10.mp4"));
    EXPECT_TRUE(FileHolds(changes, "'CanGoNext': <false>")) << "CanGoNext changes were not announced";
    ExpectQuitEnds(*sivo);
}

// The window on the near host of a two-host LAN, on the root network's X
// server and session bus; the far host serves a clip and sends play requests.
class WindowLanTest : public twohost::TwoHostLan, protected XSession {
protected:
    using XSession::Run;
    void SetUp() override {
        TwoHostLan::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (!HaveTools() || !HaveBusTools())
            GTEST_SKIP() << "Xvfb, xwd, xdotool, gdbus or dbus-daemon is not installed";
        Begin();
        m_sivoPrefix = {"nsenter", "-t", m_nearPid, "-n"};
        ASSERT_TRUE(StartServer()) << "Xvfb did not come up";
    }
    void TearDown() override {
        if (m_udp >= 0)
            ::close(m_udp);
        End();
        TwoHostLan::TearDown();
    }
    // A "raduzira:" datagram from the far host to the window's control port.
    void SendPlayRequest(const std::string& name) {
        if (m_udp < 0)
            m_udp = SocketIn(m_farPid, SOCK_DGRAM, twohost::kFarAddress, 0);
        ASSERT_GE(m_udp, 0);
        const std::string text = "raduzira: strFileName=\"" + name + "\" strSrcIP=\"" + twohost::kFarAddress +
                                 "\" time=\"0\" ";
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(2000);
        inet_pton(AF_INET, twohost::kNearAddress, &to.sin_addr);
        ASSERT_EQ(::sendto(m_udp, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(text.size()));
    }
    // Times `text` stands in the window's trace.
    int TraceCount(const std::string& text) {
        const std::string trace = ReadWholeFile(Trace().string());
        int count = 0;
        for (size_t at = trace.find(text); at != std::string::npos; at = trace.find(text, at + text.size()))
            ++count;
        return count;
    }
    // The position moves on: something plays. A reading lower than the
    // last (the medium just changed) starts the count again.
    bool Advancing() {
        long long last = -1;
        return nettest::WaitFor([&] {
            const long long now = Position();
            if (last >= 0 && now > last)
                return true;
            if (last < 0 || now < last)
                last = now;
            return false;
        }, 8000);
    }
    // The picture in the video area changes within a second: pictures arrive.
    bool PictureMoves() {
        Shot first, second;
        if (!Screenshot(first))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kShotGapMs));
        return Screenshot(second) && ChangedShare(first, second, 20, 60, kScreenW - 20, kScreenH - 120, 2) > 0.01;
    }

    int m_udp = -1;
};

// A request from the far host asks first and plays only once allowed;
// Ignore leaves the current medium playing; a flood asks once; "Always
// allow" lets the next request play at once. The trace of every request is
// written as before.
TEST_F(WindowLanTest, PlayRequestsFromAnotherHostAskFirst) {
    const std::string local = LongClip();
    const std::string remote = TestClipAv10s();
    ASSERT_FALSE(local.empty());
    TempDir farRoot;
    const std::string farName = farRoot.path + "/far clip.mp4";
    fs::copy_file(remote, farName);
    Serve(m_farPid, farRoot.path);
    ASSERT_TRUE(StartBus()) << "no session bus";
    auto sivo = StartSivo({local});
    const std::string localTitle = fs::path(local).filename().string();
    ASSERT_TRUE(nettest::WaitFor([&] { return Title() == localTitle && Position() >= 1; }, kStartWaitMs))
        << "the window never played " << local;
    ASSERT_EQ(Xdotool("mousemove 640 360"), 0);
    const std::string asking = std::string("remote play from ") + twohost::kFarAddress + ": asking";
    const auto asked = [&](int times) { return nettest::WaitFor([&] { return TraceCount(asking) == times; }, 5000); };

    SendPlayRequest(farName);
    ASSERT_TRUE(asked(1)) << "no question about the first request; running " << sivo->Running();
    EXPECT_EQ(Title(), localTitle);
    EXPECT_TRUE(Advancing()) << "the question stopped what plays";
    ASSERT_EQ(Xdotool("key alt+i"), 0);
    EXPECT_TRUE(nettest::WaitFor([&] { return TraceCount("ignored") == 1; }, 5000));
    EXPECT_EQ(Title(), localTitle);
    EXPECT_TRUE(Advancing()) << "Ignore stopped what plays";

    for (int i = 0; i < 100; ++i)
        SendPlayRequest(farName);
    EXPECT_TRUE(nettest::WaitFor([&] { return TraceCount("remoteplay: raduzira:") == 101; }, 5000))
        << "the requests' trace: " << TraceCount("remoteplay: raduzira:");
    EXPECT_TRUE(asked(2)) << "a flood of 100 requests asked " << TraceCount(asking) - 1 << " times";
    EXPECT_EQ(Title(), localTitle);
    ASSERT_EQ(Xdotool("key alt+a"), 0);
    EXPECT_TRUE(nettest::WaitFor([&] { return Title() == farName; }, 10000)) << Title();
    // Its pictures show that it plays.
    EXPECT_TRUE(nettest::WaitFor([&] { return PictureMoves(); }, 10000)) << "the allowed request does not play";

    std::string output;
    EXPECT_EQ(Run(TestBinary("sivo") + " '" + local + "'", output), 0) << output;
    ASSERT_TRUE(nettest::WaitFor([&] { return Title() == localTitle; }, 5000));
    SendPlayRequest(farName);
    ASSERT_TRUE(asked(3)) << "Allow once allowed the next request too";
    ASSERT_EQ(Xdotool("key alt+d"), 0);
    EXPECT_TRUE(nettest::WaitFor([&] { return Title() == farName; }, 10000)) << Title();
    EXPECT_TRUE(FileHolds(m_dir / "config" / "sivo" / "allowed-devices", twohost::kFarAddress));

    EXPECT_EQ(Run(TestBinary("sivo") + " '" + local + "'", output), 0) << output;
    ASSERT_TRUE(nettest::WaitFor([&] { return Title() == localTitle; }, 5000));
    SendPlayRequest(farName);
    EXPECT_TRUE(nettest::WaitFor([&] { return Title() == farName; }, 10000)) << "an allowed device waited";
    EXPECT_EQ(TraceCount(asking), 3) << "an allowed device was asked about";
    EXPECT_EQ(TraceCount("remoteplay: raduzira:"), 103);

    sivo->Signal(SIGTERM);
    EXPECT_NE(sivo->WaitExit(kQuitWaitMs), -1);
}

// The window on a Wayland compositor (Weston, headless, drawing in memory)
// through Qt's own Wayland platform, with no X server at all.
class WindowWestonTest : public ::testing::Test, protected XSession {
protected:
    void SetUp() override {
        for (const char* tool : {"weston", "weston-screenshooter", "gdbus", "dbus-daemon"})
            if (!HaveTool(tool))
                GTEST_SKIP() << tool << " is not installed";
        Begin();
        m_extraEnv = {"QT_QPA_PLATFORM=wayland", "WAYLAND_DISPLAY=" + std::string(kSocket), "DISPLAY="};
    }
    void TearDown() override {
        if (m_weston) {
            m_weston->Signal(SIGTERM);
            m_weston->WaitExit(kQuitWaitMs);
        }
        End();
    }
    static constexpr char kSocket[] = "wayland-sivo-test";
    // Weston on its headless backend, its screen 1280 x 720 device pixels.
    bool StartWeston(int scale) {
        m_weston = std::make_unique<ChildProcess>(
            std::vector<std::string>{"weston", "--backend=headless-backend.so", "--use-pixman",
                                     std::string("--socket=") + kSocket, "--width=" + std::to_string(kScreenW / scale),
                                     "--height=" + std::to_string(kScreenH / scale), "--scale=" + std::to_string(scale),
                                     "--debug", "--idle-time=0", "--log=" + (m_dir / "weston.log").string()},
            std::vector<std::string>{"XDG_RUNTIME_DIR=" + m_dir.string()});
        return nettest::WaitFor([&] { return fs::exists(m_dir / kSocket); }, kStartWaitMs);
    }
    // The compositor's screen, through its screenshot protocol.
    bool Screen(Shot& shot) {
        const fs::path dir = m_dir / "screens";
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::string output;
        // It writes into the pictures folder, else the current one.
        if (RunCommand("cd '" + dir.string() + "' && " + EnvPrefix() + "XDG_PICTURES_DIR='" + dir.string() +
                           "' timeout 10 weston-screenshooter", output) != 0)
            return false;
        for (const auto& entry : fs::directory_iterator(dir))
            return ReadScreen(entry.path(), shot);
        return false;
    }

    std::unique_ptr<ChildProcess> m_weston;
};

// Runs natively: the skinned window shows the clip's moving picture, the
// media interface drives it and it closes the ordinary way.
TEST_F(WindowWestonTest, ShowsItsPictureAndAnswersTheMediaInterface) {
    const std::string clip = LongClip();
    ASSERT_TRUE(StartWeston(1)) << "weston did not come up";
    ASSERT_TRUE(StartBus()) << "no session bus";
    auto sivo = StartSivo({clip});
    Shot first, second;
    ASSERT_TRUE(nettest::WaitFor([&] { return FileHolds(Trace(), "first picture painted") && Screen(first) &&
                                              Hues(first) >= 5; }, kStartWaitMs))
        << "no picture on the Wayland screen; running " << sivo->Running();
    EXPECT_GT(WindowBox(first).W(), 200) << "no skinned window";
    std::this_thread::sleep_for(std::chrono::milliseconds(kShotGapMs));
    ASSERT_TRUE(Screen(second));
    EXPECT_GT(ChangedShare(first, second, 0, 0, kScreenW, kScreenH), 0.005) << "the picture did not move";

    EXPECT_TRUE(Player("Pause", [&] { return StatusIs("Paused"); }));
    EXPECT_TRUE(Player("Seek 20000000", [&] { return Position() >= 20; })) << Position();
    ExpectQuitEnds(*sivo);
}

// At the compositor's scale 2 the picture is drawn at the device's pixels:
// a strip of noise as wide as the screen keeps neighbouring pixels apart.
TEST_F(WindowWestonTest, PictureUsesEveryDevicePixelAtScaleTwo) {
    const std::string noise = NoiseClip();
    ASSERT_TRUE(StartWeston(2)) << "weston did not come up";
    auto sivo = StartSivo({noise});
    ExpectNoiseAtDevicePixels([&](Shot& shot) { return Screen(shot); });
}

// At the compositor's scale 2 the skin is drawn from images made for it.
TEST_F(WindowWestonTest, SkinIsSharpAtScaleTwo) {
    ASSERT_TRUE(StartWeston(2)) << "weston did not come up";
    auto sivo = StartSivo({});
    ExpectSharpSkin([&](Shot& shot) { return Screen(shot); });
}

TEST(SivoProgram, AnswersVersionAndHelpAndRefusesBadUsageInOneLine) {
    std::string output;
    EXPECT_EQ(RunCommand(TestBinary("sivo") + " --version", output), 0);
    EXPECT_TRUE(std::regex_match(output, std::regex("sivo [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << output;
    output.clear();
    EXPECT_EQ(RunCommand(TestBinary("sivo") + " --help", output), 0);
    EXPECT_NE(output.find("--remote-play ADDR NAME"), std::string::npos) << output;
    for (const char* bad : {"--bogus", "--remote-play 1.2.3.4", "a.mp4 b.mp4"}) {
        output.clear();
        EXPECT_EQ(RunCommand(TestBinary("sivo") + " " + bad, output), 2) << bad;
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    }
}

}  // namespace
