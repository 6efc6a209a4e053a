#include "common/TestMedia.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

std::string TestMedia(const std::string& name, const std::string& ffmpegArgs) {
    fs::path dir = SIVO_TEST_MEDIA_DIR;
    fs::create_directories(dir);
    fs::path path = dir / name;
    if (fs::exists(path))
        return path.string();
    // Generate under a private name, then rename: readers never see half a file.
    fs::path tmp = dir / ("tmp." + std::to_string(getpid()) + "." + name);
    std::string cmd = "ffmpeg -nostdin -loglevel error -y " + ffmpegArgs + " '" + tmp.string() + "'";
    if (std::system(cmd.c_str()) != 0) {
        ADD_FAILURE() << "could not generate test media: " << cmd;
        return "";
    }
    fs::rename(tmp, path);
    return path.string();
}

std::string TestClipAv10s() {
    return TestMedia("av10s-g50-bf0.mp4",
                     "-f lavfi -i testsrc2=size=320x240:rate=25:duration=10 "
                     "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=10 "
                     "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 50 -keyint_min 50 -bf 0 "
                     "-c:a aac -ac 2 -b:a 96k -shortest");
}

std::string TestClipAv4s() {
    return TestMedia("ctl_av4s.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=4 "
                                     "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=4 "
                                     "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac -ac 2 -shortest");
}

std::string TestFile(const std::string& name, const std::string& bytes) {
    fs::path dir = SIVO_TEST_MEDIA_DIR;
    fs::create_directories(dir);
    fs::path path = dir / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path.string();
}

std::string TestBinary(const std::string& name) {
    return (fs::path(SIVO_BIN_DIR) / name).string();
}

bool UseLatin1Locale() {
    if (std::setlocale(LC_ALL, "de_DE.ISO-8859-1") || std::setlocale(LC_ALL, "en_US.ISO-8859-1"))
        return true;
    std::string probe = TestFile("latin1-locale.probe", "");
    std::string dir = probe.substr(0, probe.rfind('/')) + "/locale";
    std::string cmd = "mkdir -p '" + dir + "' && localedef -i en_US -f ISO-8859-1 '" + dir +
                      "/en_US.ISO-8859-1' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0)
        return false;
    setenv("LOCPATH", dir.c_str(), 1);
    return std::setlocale(LC_ALL, "en_US.ISO-8859-1") != nullptr;
}
