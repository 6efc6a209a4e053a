// sivo: the desktop window.
#include "app/sivo.h"
#include "platform/CopyData.h"

#include <QApplication>

#include <clocale>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <unistd.h>
#include <string>

namespace {


void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "usage: sivo [--fullscreen] [FILE]\n"
                 "       sivo --remote-play ADDR NAME\n"
                 "Opens the player window; with FILE it plays FILE at start.\n"
                 "--fullscreen opens the window on the whole screen.\n"
                 "--remote-play asks the running window to play NAME served by ADDR, then exits.\n");
}

int UsageError(const char* message) {
    std::fprintf(stderr, "sivo: %s (try --help)\n", message);
    return 2;
}

int RemotePlayRequest(const char* address, const char* name) {
    const std::vector<uint8_t> block = MakeRemotePlayBlock(address, name);
    const std::string path = CopyDataPath();
    if (SendCopyData(path, COPYDATA_REMOTE_PLAY, block.data(), block.size()))
        return 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        std::fprintf(stderr, "sivo: the sivo window does not answer (%s)\n", path.c_str());
    else
        std::fprintf(stderr, "sivo: no sivo window is running (%s: %s)\n", path.c_str(), std::strerror(errno));
    return 1;
}

// One window per user: when one runs, it gets the file (or, with none, is
// only brought to the front). True when a window took the request.
bool HandToRunningWindow(const std::string& file) {
    std::string absolute = file;
    if (!file.empty() && file[0] != '/')
        if (char* cwd = ::getcwd(nullptr, 0)) {
            absolute = std::string(cwd) + "/" + file;
            std::free(cwd);
        }
    return SendCopyData(CopyDataPath(), COPYDATA_OPEN_FILE, absolute.data(), absolute.size());
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");  // file names in the user's code set
    std::string startFile;
    bool fullScreen = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("sivo %s\n", SIVO_VERSION);
            return 0;
        }
        if (arg == "--remote-play") {
            if (argc != i + 3 || i != 1)
                return UsageError("--remote-play takes ADDR and NAME");
            return RemotePlayRequest(argv[i + 1], argv[i + 2]);
        }
        if (arg == "--fullscreen") {
            fullScreen = true;
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-')
            return UsageError(("unknown option " + arg).c_str());
        if (!startFile.empty())
            return UsageError("only one FILE may be given");
        startFile = arg;
    }

    if (HandToRunningWindow(startFile))
        return 0;
    QApplication app(argc, argv);
    theApp.InitInstance(startFile, fullScreen);
    return 0;
}
