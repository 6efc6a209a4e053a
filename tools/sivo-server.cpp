// sivo-server: a headless host of the engine. Starts the stream and HTTP
// listeners and the UDP control socket, serves until SIGINT or SIGTERM, then
// stops everything. Meant to run as a service: it logs one line per start,
// listening port, refused connection, share-root change and stop to stderr.

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/control/NetEntry.h"
#include "platform/NetAddress.h"
#include "platform/PollLoop.h"
#include "platform/ShareRoot.h"
#include "platform/Trace.h"
#include "share/UdpSocket.h"
#include "stream/TcpServer.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

constexpr int kExitUsage = 2;
// How often the share root is looked at, to log when it vanishes or returns.
constexpr int kShareRootCheckMs = 3000;
// Like refusals within this time after a logged one are counted, not logged.
constexpr auto kRefusalQuiet = std::chrono::seconds(60);
// Address ranges allowed to connect, besides those given with --allow.
constexpr char kAllowVariable[] = "SIVO_ALLOW";

const char* const kUsage =
    "usage: sivo-server [--share-root DIR] [--allow RANGE]...\n"
    "Serves media over the stream protocol (TCP 8888), files over HTTP (TCP 2888)\n"
    "and the control protocol (UDP 2000) until SIGINT or SIGTERM.\n"
    "  --share-root DIR  the only directory whose files are streamed, served over\n"
    "                    HTTP and listed to control peers\n"
    "                    (default: D://ROZivuvori, relative to the working directory)\n"
    "  --allow RANGE     only addresses in RANGE (192.168.1.0/24, 10.0.0.7, fd00::/8)\n"
    "                    may connect to the stream and HTTP ports; may be repeated,\n"
    "                    and SIVO_ALLOW may hold more, separated by spaces or commas\n"
    "  --help            show this text\n"
    "  --version         show the version\n";

// syslog priorities, which journald reads from a "<N>" line prefix.
enum class Level { Error = 3, Warning = 4, Info = 6 };

// True when stderr is a journald stream (systemd names it in JOURNAL_STREAM).
bool g_bJournal = false;

bool StderrIsJournal() {
    const char* id = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st {};
    return id && std::sscanf(id, "%llu:%llu", &dev, &ino) == 2 && fstat(2, &st) == 0 &&
           st.st_dev == dev && st.st_ino == ino;
}

// One whole line per call, written at once so lines of several threads never
// interleave. The journal gets the priority instead of the program name.
void Log(Level level, const char* fmt, ...) SIVO_PRINTF(2, 3);
void Log(Level level, const char* fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    for (char* c = text; *c; ++c)
        if (*c == '\n' || *c == '\r')
            *c = ' ';
    if (g_bJournal)
        std::fprintf(stderr, "<%d>%s\n", int(level), text);
    else
        std::fprintf(stderr, "sivo-server: %s\n", text);
}

// Refusals come in floods (a scan, a client that reconnects at once), so
// after one line of a kind the like ones are counted for kRefusalQuiet and
// the count goes with the next line of that kind, with the latest peer.
struct ListenerEvents {
    using Clock = std::chrono::steady_clock;
    struct Seen {
        int port = 0;
        std::string what, peer;  // the latest peer
        Clock::time_point logged;
        int held = 0;
    };
    std::mutex mutex;
    std::map<std::string, Seen> seen;

    static void Write(const Seen& s, int count) {
        const std::string from = s.peer.empty() ? "" : " (latest from " + s.peer + ")";
        if (count)
            Log(Level::Warning, "TCP port %d: %s, %d more like it in the last minute%s", s.port, s.what.c_str(),
                count, from.c_str());
        else
            Log(Level::Warning, "TCP port %d: %s%s", s.port, s.what.c_str(), s.peer.empty() ? "" : (" (" + s.peer + ")").c_str());
    }
    void Note(int port, const char* what, const char* peer) {
        std::lock_guard<std::mutex> lock(mutex);
        Seen& s = seen[std::to_string(port) + what];
        const Clock::time_point now = Clock::now();
        s.port = port;
        s.what = what;
        s.peer = peer;
        if (s.logged != Clock::time_point{} && now - s.logged < kRefusalQuiet) {
            ++s.held;
            return;
        }
        Write(s, 0);
        s.logged = now;
        s.held = 0;
    }
    // The counts held back whose minute has passed.
    void Flush() {
        std::lock_guard<std::mutex> lock(mutex);
        const Clock::time_point now = Clock::now();
        for (auto& [key, s] : seen)
            if (s.held && now - s.logged >= kRefusalQuiet) {
                Write(s, s.held);
                s.logged = now;
                s.held = 0;
            }
    }
};
ListenerEvents g_listenerEvents;

void LogListenerEvent(int port, const char* what, const char* peer) { g_listenerEvents.Note(port, what, peer); }

// Why `root` cannot be served, or "" when it can.
std::string ShareRootProblem(const std::string& root) {
    struct stat st {};
    if (stat(root.c_str(), &st) != 0)
        return errno == ENOENT ? "does not exist" : std::string("cannot be reached: ") + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return "is not a directory";
    DIR* dir = opendir(root.c_str());
    if (!dir)
        return std::string("cannot be read: ") + std::strerror(errno);
    closedir(dir);
    return "";
}

// Logs when the share root stops being servable and when it is back; while
// it is gone the catalogue is simply empty.
class ShareRootWatch {
public:
    explicit ShareRootWatch(std::string root) : m_strRoot(std::move(root)), m_strProblem(ShareRootProblem(m_strRoot)) {}
    const std::string& Problem() const { return m_strProblem; }
    void Check() {
        std::string problem = ShareRootProblem(m_strRoot);
        if (problem == m_strProblem)
            return;
        m_strProblem = std::move(problem);
        if (m_strProblem.empty())
            Log(Level::Info, "share root %s is readable again", m_strRoot.c_str());
        else
            LogGone();
    }
    void LogGone() const {
        Log(Level::Warning, "share root %s %s: the catalogue is empty until it is back", m_strRoot.c_str(),
            m_strProblem.c_str());
    }

private:
    std::string m_strRoot;
    std::string m_strProblem;
};

// Set before the handlers are installed and never changed after.
PollLoop* g_loop = nullptr;
volatile std::sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int sig) {
    g_stopSignal = sig;
    g_loop->Quit();
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");  // file names in the user's code set
    std::string shareRoot = SHARE_ROOT;
    bool rootGiven = false;
    std::vector<AddressRange> allowed;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("sivo-server %s\n", SIVO_VERSION);
            return 0;
        }
        if (arg == "--share-root") {
            if (i + 1 >= argc || !*argv[i + 1]) {
                std::fprintf(stderr, "sivo-server: --share-root needs a directory (try --help)\n");
                return kExitUsage;
            }
            shareRoot = argv[++i];
            rootGiven = true;
            continue;
        }
        if (arg == "--allow") {
            const std::optional<AddressRange> range =
                i + 1 < argc ? AddressRange::Parse(argv[i + 1]) : std::nullopt;
            if (!range) {
                std::fprintf(stderr, "sivo-server: --allow %s: not an address range (ADDRESS or ADDRESS/BITS)\n",
                             i + 1 < argc ? argv[i + 1] : "needs a range");
                return kExitUsage;
            }
            allowed.push_back(*range);
            ++i;
            continue;
        }
        std::fprintf(stderr, "sivo-server: unknown argument: %s (try --help)\n", arg.c_str());
        return kExitUsage;
    }
    // A list that cannot be read must not leave the server open to everyone.
    if (const char* list = std::getenv(kAllowVariable)) {
        int bad = 0;
        std::string badText;
        if (!ParseAllowList(list, allowed, bad, badText)) {
            std::fprintf(stderr, "sivo-server: %s, entry %d: %s: not an address range (ADDRESS or ADDRESS/BITS)\n",
                         kAllowVariable, bad, badText.c_str());
            return kExitUsage;
        }
    }
    g_bJournal = StderrIsJournal();
    ShareRootWatch rootWatch(shareRoot);
    // A root named by the operator must be servable; the built-in default may
    // be missing, which leaves the catalogue empty.
    if (rootGiven && !rootWatch.Problem().empty()) {
        Log(Level::Error, "--share-root %s %s", shareRoot.c_str(), rootWatch.Problem().c_str());
        return kExitUsage;
    }
    if (!std::getenv("SIVO_TRACE"))
        av_log_set_level(AV_LOG_QUIET);

    PollLoop loop;
    g_loop = &loop;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A client that vanishes mid-answer must not end the server.
    std::signal(SIGPIPE, SIG_IGN);

    Log(Level::Info, "starting version %s, share root %s", SIVO_VERSION, shareRoot.c_str());
    if (!rootWatch.Problem().empty())
        rootWatch.LogGone();
    TcpServer::SetLogHook(LogListenerEvent);
    if (!allowed.empty()) {
        std::string ranges;
        for (const AddressRange& r : allowed)
            ranges += (ranges.empty() ? "" : ", ") + r.ToString();
        Log(Level::Info, "stream and HTTP ports allowed to %s only", ranges.c_str());
        TcpServer::SetAllowList(AllowList(allowed));
    }
    SetHttpRoot(shareRoot.c_str());
    StartTcp();
    Log(Level::Info, "listening on TCP port %d (stream)", StreamListener()->GetPort());
    Log(Level::Info, "listening on TCP port %d (HTTP)", HttpListener()->GetPort());

    // The control socket lives on this thread: play requests it hands on
    // reach RemotePlay from the thread that owns the player's controls.
    CUdpSocket udp;
    udp.SetShareRoot(shareRoot);
    udp.SetLogHook([](const std::string& line) { Log(Level::Warning, "%s", line.c_str()); });
    udp.SetPlayRequestHandler([](const std::string& srcIp, const std::string& fileName) {
        RemotePlay(srcIp.c_str(), fileName.c_str());
    });
    if (udp.Create(UDP_CONTROL_PORT)) {
        loop.Watch(udp.Fd(), [&udp] { udp.OnReceive(0); });
        Log(Level::Info, "listening on UDP port %u (control)", UDP_CONTROL_PORT);
    } else {
        Log(Level::Warning, "cannot bind UDP port %u: serving TCP only", UDP_CONTROL_PORT);
    }

    while (loop.RunOnce(kShareRootCheckMs)) {
        rootWatch.Check();
        g_listenerEvents.Flush();
    }
    Log(Level::Info, "stopping on %s", g_stopSignal == SIGINT ? "SIGINT" : "SIGTERM");
    StopAll();
    // Every connection thread is joined before exit, not left to the kernel.
    ReleaseTcp();
    return 0;
}
