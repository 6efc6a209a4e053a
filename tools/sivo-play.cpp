// sivo-play: a headless player for terminals, tests and benchmarks. Plays one
// medium through the engine and the audio output (no window) and prints one
// JSON line of what happened.

#include <arpa/inet.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "engine/MediaPlayer.h"
#include "engine/VideoDemuxer.h"
#include "engine/control/NetEntry.h"
#include "engine/control/PlayEntry.h"
#include "engine/control/Playable.h"
#include "output/PlaySound.h"
#include "output/VideoWindow.h"
#include "platform/TextCodec.h"
#include "share/LanBrowser.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace {

// While playing, the main loop looks this often for the end of the medium
// (which no event announces when a sender goes away); paused, it sleeps until
// its next action. --seconds and --pause-at are kept to the ms.
constexpr int kWaitPollMs = 100;
// A position step between two polls longer than this is a seek, not play.
constexpr double kMaxPositionStep = 1.0;
constexpr int kDrainConfirmMs = 200;      // the drained state must hold this long
constexpr double kAvGapSkipSeconds = 1.0; // pictures before this media time are not measured
constexpr double kSeekAfterSeconds = 1.0; // --seek happens after this much play
constexpr double kSeekLandingS = 0.05;     // a picture this close to the target is the target's
constexpr double kPauseSeconds = 1.0;     // --pause-at pauses this long
constexpr double kPauseSettleSeconds = 0.2; // wake-ups while paused are counted after this

constexpr int kExitPlayed = 0;
constexpr int kExitNothingPlayed = 1;
constexpr int kExitUsage = 2;

using Clock = std::chrono::steady_clock;

const char* const kUsage =
    "usage: sivo-play FILE [--aid N] [--sid N] [--seconds N] [--seek S] [--pause-at S] [--speed X] [--paint]\n"
    "       sivo-play --remote ADDR NAME [--seconds N] [--seek S] [--pause-at S] [--speed X] [--paint]\n"
    "       sivo-play --discover [--seconds S]\n"
    "       sivo-play --list ADDR\n"
    "Plays FILE (or medium NAME served by the stream server at ADDR) headless and prints one JSON line with frames_shown, frames_decoded,\n"
    "frames_expected (media seconds played times the frame rate), fast_decode_share (share of\n"
    "pictures decoded with a shortcut), display_width and display_height (the shape shown), audio_bytes, duration_s, position_s, wall_s, first_picture_ms, av_gap_mean_ms,\n"
    "av_gap_max_ms, lipsync_mean_ms and lipsync_max_ms (|picture stamp - stamp of the\n"
    "sound heard when it is shown|), seek_ms (--seek to the first picture of the target) and, for a FILE,\n"
    "tracks (the medium's streams and the subtitle files beside it: type, index, language, title, default,\n"
    "selected, and file for a subtitle file). Ctrl-C or SIGTERM ends playback and still prints it.\n"
    "Exit status: 0 played, 1 nothing playable, 2 usage error.\n"
    "--discover asks the local network which machines share media and prints one\n"
    "JSON line {\"addr\",\"local\"} per machine that answers within S seconds (default 1);\n"
    "--list prints one JSON line {\"name\"} per file the machine at ADDR shares.\n"
    "Both exit 0 when something answered, 1 when nothing did.\n"
    "  --aid N       play audio track N (the index tracks gives it) instead of the default one\n"
    "  --sid N       show subtitle track N; 0 shows none\n"
    "  --seconds N   stop after N seconds (default: play to the end)\n"
    "  --seek S      seek to S seconds after one second of play\n"
    "  --speed X     play X times as fast (0.25 to 4), the pitch kept\n"
    "  --pause-at S  pause for one second when the position reaches S seconds; the\n"
    "                line then also has paused_wakeups_per_s (wake-ups while paused)\n"
    "  --paint       draw each picture into memory at its own size, subtitles\n"
    "                included, as a window does; the line then also has frames_painted\n"
    "  --help        show this text\n"
    "  --version     show the version\n";

enum class Mode { Local, Remote, Discover, List };

struct Options {
    Mode mode = Mode::Local;
    std::string file;
    std::string remoteAddr;  // remote mode
    std::string remoteName;
    double seconds = 0.0;    // 0: until the medium has ended
    double seekTo = -1;      // -1: no --seek
    double pauseAt = -1.0;   // negative: no --pause-at
    double speed = 1.0;
    int aid = 0;   // 0: the default audio track
    int sid = -1;  // -1: the default subtitle choice, 0: none
    bool paint = false;
    bool help = false;
    bool version = false;
};

// Browsing the local network: --discover and --list.

std::string LanModeError(const Options& opt) {
    in_addr address {};
    if (inet_pton(AF_INET, opt.remoteAddr.c_str(), &address) != 1)
        return "--list needs a dotted IPv4 ADDR, not " + opt.remoteAddr;
    if (opt.seconds > 0)
        return "--seconds does not apply to --list";
    return "";
}

// Length of the valid UTF-8 sequence at text[i], 0 when it is not one.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
    const unsigned c = byte(i);
    size_t length = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    const unsigned lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    const unsigned hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (length > 1 && (byte(i + 1) < lo || byte(i + 1) > hi))
        return 0;
    for (size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    return length;
}

// Code points a terminal acts on rather than shows: C0 and C1 controls, and
// the bidirectional marks with which a name can show its letters reordered.
bool ActsOnTerminal(unsigned cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x200E || cp == 0x200F ||
           (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

// A JSON string of text a peer sent: quotes, backslashes and what a terminal
// would act on escaped, bytes that are not UTF-8 replaced by U+FFFD.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        unsigned cp = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; k < length; ++k)
            cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (ActsOnTerminal(cp)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", cp);
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out + "\"";
}

int DiscoverMachines(const Options& opt) {
    constexpr double kLongestWindowS = 3600.0;
    const int windowMs =
        opt.seconds > 0 ? static_cast<int>(std::lround(std::min(opt.seconds, kLongestWindowS) * 1000)) : DISCOVERY_WINDOW_MS;
    LanBrowser browser;
    const auto found = browser.Discover(windowMs, [](const LanMachine& machine) {
        std::printf("{\"addr\":%s,\"local\":%s}\n", JsonString(machine.address).c_str(), machine.local ? "true" : "false");
        std::fflush(stdout);
    });
    if (found.empty()) {
        std::fprintf(stderr, "sivo-play: no machine answered within %d ms\n", windowMs);
        return kExitNothingPlayed;
    }
    return kExitPlayed;
}

int ListCatalogue(const Options& opt) {
    LanBrowser browser;
    const auto entries = browser.ListShareFiles(opt.remoteAddr, [](const std::string& name) {
        std::printf("{\"name\":%s}\n", JsonString(AnsiToUtf8(name)).c_str());
        std::fflush(stdout);
    });
    if (entries.empty()) {
        std::fprintf(stderr, "sivo-play: %s listed nothing\n", opt.remoteAddr.c_str());
        return kExitNothingPlayed;
    }
    return kExitPlayed;
}

// Returns an empty string on success, else the reason of the usage error.
std::string ParseArgs(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto needValue = [&](int count) { return i + count < argc; };
        if (arg == "--help" || arg == "-h") {
            opt.help = true;
        } else if (arg == "--version") {
            opt.version = true;
        } else if (arg == "--paint") {
            opt.paint = true;
        } else if (arg == "--seconds") {
            if (!needValue(1))
                return "--seconds needs a value";
            char* end = nullptr;
            opt.seconds = std::strtod(argv[++i], &end);
            if (!end || *end || !(opt.seconds > 0) || !std::isfinite(opt.seconds))
                return std::string("bad --seconds value: ") + argv[i];
        } else if (arg == "--speed") {
            if (!needValue(1))
                return arg + " needs a value";
            char* end = nullptr;
            opt.speed = std::strtod(argv[++i], &end);
            if (!end || *end || !(opt.speed >= MediaPlayer::kMinSpeed && opt.speed <= MediaPlayer::kMaxSpeed))
                return std::string("bad --speed value (0.25 to 4): ") + argv[i];
        } else if (arg == "--aid" || arg == "--sid") {
            if (!needValue(1))
                return arg + " needs a value";
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (!end || *end || value < (arg == "--aid" ? 1 : 0) || value > 1000000)
                return "bad " + arg + " value: " + argv[i];
            (arg == "--aid" ? opt.aid : opt.sid) = int(value);
        } else if (arg == "--seek" || arg == "--pause-at") {
            if (!needValue(1))
                return arg + " needs a value";
            char* end = nullptr;
            double value = std::strtod(argv[++i], &end);
            if (!end || *end || !(value >= 0) || value > 1e9)
                return "bad " + arg + " value: " + argv[i];
            if (arg == "--seek")
                opt.seekTo = value;
            else
                opt.pauseAt = value;
        } else if ((arg == "--remote" || arg == "--discover" || arg == "--list") && opt.mode != Mode::Local) {
            return "one of --remote, --discover and --list at a time";
        } else if (arg == "--remote") {
            if (!needValue(2))
                return "--remote needs ADDR and NAME";
            opt.mode = Mode::Remote;
            opt.remoteAddr = argv[++i];
            opt.remoteName = argv[++i];
        } else if (arg == "--discover") {
            opt.mode = Mode::Discover;
        } else if (arg == "--list") {
            if (!needValue(1))
                return "--list needs ADDR";
            opt.mode = Mode::List;
            opt.remoteAddr = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option: " + arg;
        } else if (opt.file.empty()) {
            opt.file = arg;
        } else {
            return "more than one FILE given";
        }
    }
    if (opt.help || opt.version)
        return "";
    if (opt.mode != Mode::Local && !opt.file.empty())
        return "FILE and --remote, --discover or --list exclude each other";
    if ((opt.mode == Mode::Discover || opt.mode == Mode::List) && (opt.seekTo >= 0 || opt.pauseAt >= 0 || opt.paint))
        return "--seek, --pause-at and --paint apply to playing only";
    if (opt.mode != Mode::Local && (opt.aid > 0 || opt.sid >= 0))
        return "--aid and --sid apply to a FILE only";
    if (opt.mode == Mode::Remote || opt.mode == Mode::Discover)
        return "";
    if (opt.mode == Mode::List)
        return LanModeError(opt);
    if (opt.file.empty())
        return "no FILE given";
    return "";
}

// Mean and largest of a set of distances in ms, as two JSON fields.
struct Spread {
    double sum = 0.0, max = 0.0;
    int count = 0;
    void Add(double ms) {
        sum += ms;
        max = std::max(max, ms);
        ++count;
    }
    std::string Json(const char* key) const {
        char buf[128];
        if (count > 0)
            std::snprintf(buf, sizeof buf, "\"%s_mean_ms\":%.1f,\"%s_max_ms\":%.1f", key, sum / count, key, max);
        else
            std::snprintf(buf, sizeof buf, "\"%s_mean_ms\":null,\"%s_max_ms\":null", key, key);
        return buf;
    }
};

// Counts presented pictures and measures the time to the first one, the
// distance between the video and the decoded audio clock, and the lip sync:
// the picture's stamp against the sound heard as it is shown. Nothing is on
// a screen, so no picture is converted unless asked to paint: then each is
// drawn at its own size into memory, as a window draws it. Called on the
// presentation thread; read by main after the player has stopped.
class CountingWindow : public VideoWindow {
public:
    CountingWindow(Clock::time_point start, bool paint) : m_start(start), m_bPaint(paint) {}

    void ShowFrame(std::shared_ptr<const Picture> picture) override {
        MediaPlayer& player = ThePlayer();
        const double heard = player.HeardClock();
        const bool painted = m_bPaint && Paint(*picture);
        std::lock_guard<std::mutex> lock(m_lock);
        m_nWidth = picture->Width();
        m_nHeight = picture->Height();
        if (m_seekTarget >= 0 && player.VideoClock() - player.StartTime() >= m_seekTarget - kSeekLandingS) {
            m_seekMs = std::chrono::duration<double, std::milli>(Clock::now() - m_seekAt).count();
            m_seekTarget = -1;
        }
        if (m_nShown++ == 0)
            m_firstPictureMs = std::chrono::duration<double, std::milli>(Clock::now() - m_start).count();
        m_nPainted += painted;
        const double video = player.VideoClock();
        if (video - player.StartTime() >= kAvGapSkipSeconds) {
            m_avGap.Add(std::fabs(video - player.AudioClock()) * 1000.0);
            m_lipSync.Add(std::fabs(video - heard) * 1000.0);
        }
    }

    int Shown() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_nShown;
    }

    // A seek to `target` seconds is asked for now: the time until a picture
    // of the target shows is measured.
    void Seeking(double target) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_seekTarget = target;
        m_seekAt = Clock::now();
    }

    std::string Json(std::string prefix) {
        std::lock_guard<std::mutex> lock(m_lock);
        char buf[160];
        if (m_nShown > 0)
            std::snprintf(buf, sizeof buf, "\"display_width\":%d,\"display_height\":%d,\"first_picture_ms\":%.1f,",
                          m_nWidth, m_nHeight, m_firstPictureMs);
        else
            std::snprintf(buf, sizeof buf, "\"display_width\":null,\"display_height\":null,\"first_picture_ms\":null,");
        std::string seek = ",\"seek_ms\":null";
        if (m_seekMs >= 0)
            seek = ",\"seek_ms\":" + std::to_string(std::lround(m_seekMs));
        if (m_bPaint)
            seek += ",\"frames_painted\":" + std::to_string(m_nPainted);
        return prefix + buf + m_avGap.Json("av_gap") + "," + m_lipSync.Json("lipsync") + seek;
    }

private:
    // Presentation thread only, as m_canvas.
    bool Paint(const Picture& picture) {
        const int w = picture.Width(), h = picture.Height();
        if (w <= 0 || h <= 0)
            return false;
        m_canvas.resize(size_t(w) * h * 4);
        return picture.Paint(m_canvas.data(), ptrdiff_t(w) * 4, w, h);
    }

    Clock::time_point m_start;
    const bool m_bPaint;
    std::vector<uint8_t> m_canvas;
    std::mutex m_lock;
    int m_nShown = 0;
    int m_nPainted = 0;
    int m_nWidth = 0, m_nHeight = 0;  // of the last picture shown
    double m_firstPictureMs = 0.0;
    Spread m_avGap, m_lipSync;
    double m_seekTarget = -1;  // a seek in flight, in medium seconds
    Clock::time_point m_seekAt{};
    double m_seekMs = -1;      // the last seek's time to its first picture
};

// Voluntary context switches of the whole process so far: each is a thread
// going to sleep, so between two readings they count the wake-ups.
long ProcessWakeups() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw;
}

// SIGINT and SIGTERM, blocked in every thread (threads inherit the mask) and
// taken by the main loop's wait.
sigset_t QuitSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Waits until `until` for a quit signal; true when one came.
bool QuitSignalBefore(const sigset_t& set, Clock::time_point until) {
    const auto left = std::max<int64_t>(0, std::chrono::ceil<std::chrono::microseconds>(until - Clock::now()).count());
    const timespec wait{time_t(left / 1000000), long(left % 1000000) * 1000};
    return sigtimedwait(&set, nullptr, &wait) > 0;  // EINTR and EAGAIN: the caller looks again
}

// The medium has ended (or its sender is gone) and everything queued has
// been played out.
bool Drained(MediaPlayer& player) {
    CPlaySound& sound = ThePlaySound();
    return (player.IsEnded() || player.RemoteSourceEnded()) && player.QueuedAudioPkgs() == 0 && player.QueuedVideoPkgs() == 0 &&
           player.QueuedFrames() == 0 && sound.GetQueuedCount() == 0 && sound.GetInDeviceCount() == 0;
}

// The streams of the medium open and its subtitle choices, numbered from 1
// per type as --aid and --sid take them.
std::string TracksJson(const MediaPlayer& player) {
    std::string json;
    const auto add = [&](const char* type, size_t n, const std::string& language, const std::string& title,
                         bool marked, bool selected, const std::string& file) {
        json += std::string(json.empty() ? "" : ",") + "{\"type\":\"" + type + "\",\"index\":" + std::to_string(n) +
                ",\"language\":" + (language.empty() ? "null" : JsonString(language)) +
                ",\"title\":" + (title.empty() ? "null" : JsonString(title)) + ",\"default\":" +
                (marked ? "true" : "false") + ",\"selected\":" + (selected ? "true" : "false") +
                (file.empty() ? "" : ",\"file\":" + JsonString(AnsiToUtf8(file))) + "}";
    };
    for (const auto& [type, streams] : {std::pair{"video", &player.VideoStreams()}, std::pair{"audio", &player.AudioStreams()}})
        for (size_t i = 0; i < streams->size(); ++i)
            add(type, i + 1, (*streams)[i].language, (*streams)[i].title, (*streams)[i].marked, (*streams)[i].selected, "");
    const std::vector<Subtitles::Choice>& subtitles = player.SubtitleChoices();
    for (size_t i = 0; i < subtitles.size(); ++i) {
        const Subtitles::Choice& c = subtitles[i];
        add("subtitle", i + 1, c.language, c.title, c.preferred, int(i) == player.SelectedSubtitle(),
            c.stream < 0 ? c.label : "");
    }
    return ",\"tracks\":[" + json + "]";
}

// --aid and --sid: a number the medium has no track for is said on stderr
// and the default plays.
void ChooseTracks(const Options& opt, MediaPlayer& player) {
    if (opt.aid > 0 && size_t(opt.aid) > player.AudioStreams().size())
        std::fprintf(stderr, "sivo-play: no audio track %d (the medium has %zu)\n", opt.aid, player.AudioStreams().size());
    else if (opt.aid > 0)
        player.SelectAudioStream(player.AudioStreams()[size_t(opt.aid) - 1].index);
    if (opt.sid > 0 && size_t(opt.sid) > player.SubtitleChoices().size())
        std::fprintf(stderr, "sivo-play: no subtitle track %d (there are %zu)\n", opt.sid, player.SubtitleChoices().size());
    else if (opt.sid >= 0)
        player.SelectSubtitle(opt.sid - 1);
}

int PlayMedium(const Options& opt) {
    const bool remote = opt.mode == Mode::Remote;
    const std::string what = remote ? opt.remoteName + " at " + opt.remoteAddr : opt.file;
    if (std::string reason = remote ? "" : CheckPlayable(opt.file); !reason.empty()) {
        std::fprintf(stderr, "sivo-play: %s\n", reason.c_str());
        return kExitNothingPlayed;
    }

    MediaPlayer& player = ThePlayer();
    CPlaySound& sound = ThePlaySound();
    const sigset_t quitSignals = QuitSignals();
    pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr);
    sound.CreateThread();
    Clock::time_point start = Clock::now();
    CountingWindow window(start, opt.paint);
    SetVideoWindow(&window);

    player.SetSpeed(opt.speed);
    if (remote)
        RemotePlay(opt.remoteAddr.c_str(), opt.remoteName.c_str());
    else
        LocalPlay(opt.file.c_str());
    ChooseTracks(opt, player);
    const std::string tracks = remote ? "" : TracksJson(player);

    // --pause-at: waiting for the position, paused since pausedAt, done.
    enum class PauseStep { Waiting, Paused, Done } pauseStep = opt.pauseAt >= 0 ? PauseStep::Waiting : PauseStep::Done;
    Clock::time_point pausedAt{};
    long pausedWakeups = -1;     // at kPauseSettleSeconds into the pause
    double pausedWakeupRate = -1.0;
    bool seekDone = opt.seekTo < 0;
    Clock::time_point drainedSince{};
    bool drained = false;
    // Media seconds played: the position's steps between polls, a seek's jump left out.
    double played = 0.0;
    double lastPosition = player.Position();
    using Seconds = std::chrono::duration<double>;
    const auto at = [](Clock::time_point from, double seconds) {
        return from + std::chrono::duration_cast<Clock::duration>(Seconds(seconds));
    };
    for (;;) {
        Clock::time_point next = Clock::time_point::max();
        if (opt.seconds > 0)
            next = std::min(next, at(start, opt.seconds));
        if (!seekDone)
            next = std::min(next, at(start, kSeekAfterSeconds));
        if (pauseStep == PauseStep::Paused)
            next = std::min(next, at(pausedAt, pausedWakeups < 0 ? kPauseSettleSeconds : kPauseSeconds));
        if (!player.IsPaused()) {
            const Clock::time_point soon = Clock::now();
            next = std::min(next, soon + std::chrono::milliseconds(kWaitPollMs));
            if (pauseStep == PauseStep::Waiting && seekDone)
                next = std::min(next, at(soon, std::max(opt.pauseAt - player.Position(), 0.001)));
        }
        if (QuitSignalBefore(quitSignals, next))
            break;
        Clock::time_point now = Clock::now();
        const double position = player.Position();
        if (position - lastPosition >= 0 && position - lastPosition <= kMaxPositionStep)
            played += position - lastPosition;
        lastPosition = position;
        if (opt.seconds > 0 && std::chrono::duration<double>(now - start).count() >= opt.seconds)
            break;
        if (!seekDone && now - start >= std::chrono::duration<double>(kSeekAfterSeconds)) {
            window.Seeking(std::clamp(opt.seekTo, 0.0, std::max(0.0, player.Duration() - 1.0)));
            player.SeekTo(opt.seekTo);
            seekDone = true;
        }
        if (pauseStep == PauseStep::Waiting && seekDone && player.Position() >= opt.pauseAt) {
            Pause();
            pausedAt = now;
            pauseStep = PauseStep::Paused;
        } else if (pauseStep == PauseStep::Paused && pausedWakeups < 0 &&
                   now - pausedAt >= std::chrono::duration<double>(kPauseSettleSeconds)) {
            pausedWakeups = ProcessWakeups();
        } else if (pauseStep == PauseStep::Paused && now - pausedAt >= std::chrono::duration<double>(kPauseSeconds)) {
            pausedWakeupRate = (ProcessWakeups() - pausedWakeups) / (kPauseSeconds - kPauseSettleSeconds);
            Play();
            pauseStep = PauseStep::Done;
        }
        if (!Drained(player)) {
            drained = false;
            continue;
        }
        if (!drained) {
            drained = true;
            drainedSince = now;
        }
        if (now - drainedSince >= std::chrono::milliseconds(kDrainConfirmMs))
            break;
    }

    int duration = GetDuration();
    const double position = player.Position();
    if (position - lastPosition >= 0 && position - lastPosition <= kMaxPositionStep)
        played += position - lastPosition;
    const int fps = player.FrameRate();
    Stop();
    SetVideoWindow(nullptr);
    sound.StopThread();
    double wall = std::chrono::duration<double>(Clock::now() - start).count();

    int shown = window.Shown();
    int decoded = player.FramesDecoded();
    const int fast = player.FastDecoded();
    unsigned long long audioBytes = sound.GetPcmBytesWritten();
    char head[512];
    std::snprintf(head, sizeof head,
                  "{\"frames_shown\":%d,\"frames_decoded\":%d,\"frames_expected\":%d,\"fast_decode_share\":%.3f,"
                  "\"audio_bytes\":%llu,\"duration_s\":%d,\"position_s\":%.6f,\"wall_s\":%.3f,",
                  shown, decoded, shown > 0 ? static_cast<int>(std::lround(played * fps)) : 0,
                  decoded > 0 ? double(fast) / decoded : 0.0, audioBytes, duration, std::max(position, 0.0), wall);
    char paused[64] = "";
    if (opt.pauseAt >= 0 && pausedWakeupRate >= 0)
        std::snprintf(paused, sizeof paused, ",\"paused_wakeups_per_s\":%.1f", pausedWakeupRate);
    else if (opt.pauseAt >= 0)
        std::snprintf(paused, sizeof paused, ",\"paused_wakeups_per_s\":null");
    std::printf("%s%s%s}\n", window.Json(head).c_str(), paused, tracks.c_str());
    std::fflush(stdout);

    if (shown == 0 && audioBytes == 0) {
        std::fprintf(stderr, "sivo-play: nothing in %s could be decoded\n", what.c_str());
        return kExitNothingPlayed;
    }
    return kExitPlayed;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");  // file names in the user's code set
    Options opt;
    std::string error = ParseArgs(argc, argv, opt);
    if (!error.empty()) {
        std::fprintf(stderr, "sivo-play: %s (try --help)\n", error.c_str());
        return kExitUsage;
    }
    if (opt.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (opt.version) {
        std::printf("sivo-play %s\n", SIVO_VERSION);
        return 0;
    }
    if (opt.mode == Mode::Discover)
        return DiscoverMachines(opt);
    if (opt.mode == Mode::List)
        return ListCatalogue(opt);
    // Library chatter about damaged input would drown the one-line reason.
    if (!std::getenv("SIVO_TRACE"))
        av_log_set_level(AV_LOG_QUIET);
    return PlayMedium(opt);
}
