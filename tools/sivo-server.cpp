// sivo-server: a headless host of the engine. Starts the stream and HTTP
// listeners and the UDP control socket, serves until SIGINT or SIGTERM, then
// stops everything.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/control/NetEntry.h"
#include "platform/PollLoop.h"
#include "platform/ShareRoot.h"
#include "share/UdpSocket.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

constexpr const char* kVersion = "0.1.0";
constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: sivo-server [--share-root DIR]\n"
    "Serves media over the stream protocol (TCP 8888), files over HTTP (TCP 2888)\n"
    "and the control protocol (UDP 2000) until SIGINT or SIGTERM.\n"
    "  --share-root DIR  directory served over HTTP and listed to control peers\n"
    "                    (default: D://ROZivuvori, relative to the working directory)\n"
    "  --help            show this text\n"
    "  --version         show the version\n";

// Set before the handlers are installed and never changed after.
PollLoop* g_loop = nullptr;

void OnStopSignal(int) { g_loop->Quit(); }

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

    PollLoop loop;
    g_loop = &loop;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A client that vanishes mid-answer must not end the server.
    std::signal(SIGPIPE, SIG_IGN);

    SetHttpRoot(shareRoot.c_str());
    StartTcp();

    // The control socket lives on this thread: play requests it hands on
    // reach RemotePlay from the thread that owns the player's controls.
    CUdpSocket udp;
    udp.SetShareRoot(shareRoot);
    udp.SetPlayRequestHandler([](const std::string& srcIp, const std::string& fileName) {
        RemotePlay(srcIp.c_str(), fileName.c_str());
    });
    if (udp.Create(UDP_CONTROL_PORT))
        loop.Watch(udp.Fd(), [&udp] { udp.OnReceive(0); });
    else
        std::fprintf(stderr, "sivo-server: cannot bind UDP port %u; serving TCP only\n",
                     UDP_CONTROL_PORT);

    loop.Run();
    StopAll();
    // Every connection thread is joined before exit, not left to the kernel.
    ReleaseTcp();
    return 0;
}
