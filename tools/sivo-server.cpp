// sivo-server: a headless host of the engine. Starts the stream and HTTP
// listeners, serves until SIGINT or SIGTERM, then stops everything.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/control/NetEntry.h"
#include "platform/ShareRoot.h"
#include "platform/Sleep.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

constexpr const char* kVersion = "0.1.0";
constexpr int kSignalPollMs = 50;  // main loop poll for a stop signal
constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: sivo-server [--share-root DIR]\n"
    "Serves media over the stream protocol (TCP 8888) and files over HTTP (TCP 2888)\n"
    "until SIGINT or SIGTERM.\n"
    "  --share-root DIR  directory served over HTTP (default: D://ROZivuvori,\n"
    "                    relative to the working directory)\n"
    "  --help            show this text\n"
    "  --version         show the version\n";

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

} // namespace

int main(int argc, char** argv) {
    std::string shareRoot = SHARE_ROOT;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("sivo-server %s\n", kVersion);
            return 0;
        }
        if (arg == "--share-root") {
            if (i + 1 >= argc || !*argv[i + 1]) {
                std::fprintf(stderr, "sivo-server: --share-root needs a directory (try --help)\n");
                return kExitUsage;
            }
            shareRoot = argv[++i];
            continue;
        }
        std::fprintf(stderr, "sivo-server: unknown argument: %s (try --help)\n", arg.c_str());
        return kExitUsage;
    }
    if (!std::getenv("SIVO_TRACE"))
        av_log_set_level(AV_LOG_QUIET);

    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A client that vanishes mid-answer must not end the server.
    std::signal(SIGPIPE, SIG_IGN);

    SetHttpRoot(shareRoot.c_str());
    StartTcp();

    // The UDP control socket (port 2000) is created and serviced here, on
    // this thread, once it has a headless host.

    while (!g_stop)
        Sleep(kSignalPollMs);
    StopAll();
    return 0;
}
