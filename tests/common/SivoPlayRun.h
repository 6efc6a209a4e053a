#pragma once
// One run of sivo-play in a fresh directory, with the disk audio driver.
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/TestMedia.h"
#include "output/OutputTestUtil.h"

inline constexpr int kRunTimeoutS = 120;  // one sivo-play run on a loaded 2-core machine

struct PlayRun {
    int status = -1;  // exit status (124: killed by the time limit), or -1 when killed by a signal
    std::string out, err, pcm;  // pcm: what the disk audio driver wrote
};

// A number field of sivo-play's JSON line; NAN when missing or null.
inline double Field(const std::string& json, const std::string& key) {
    std::smatch m;
    return std::regex_search(json, m, std::regex("\"" + key + "\":(-?[0-9.]+)")) ? std::stod(m[1]) : NAN;
}

// A program's output, line by line.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

inline PlayRun SivoPlay(const std::string& args, int timeoutS = kRunTimeoutS) {
    TempDir dir;
    std::string cmd = "cd '" + dir.path + "' && SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=pcm.raw timeout " +
                      std::to_string(timeoutS) + " '" + TestBinary("sivo-play") + "' " + args + " >out 2>err";
    int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadWholeFile(dir.path + "/out"),
            ReadWholeFile(dir.path + "/err"), ReadWholeFile(dir.path + "/pcm.raw")};
}

// Hostile input may end a run with "played" (0) or "nothing played" (1), in
// time, and without a sanitizer's report; anything else is a fault.
inline ::testing::AssertionResult EndedCleanly(const PlayRun& r) {
    const bool report = r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error:") != std::string::npos;
    if ((r.status == 0 || r.status == 1) && !report)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exit " << r.status << ", stderr: " << r.err.substr(0, 2000);
}

// Rising zero crossings of the left channel of 16-bit stereo PCM over the
// second from frame `from` on: the frequency of a tone; -1 when shorter.
inline int RisingPerSecond(const std::string& pcm, size_t from, int rate = 44100) {
    const auto* samples = reinterpret_cast<const int16_t*>(pcm.data());
    if (pcm.size() / 4 < from + size_t(rate))
        return -1;
    int rising = 0;
    for (size_t i = from + 1; i < from + size_t(rate); ++i)
        rising += samples[2 * (i - 1)] < 0 && samples[2 * i] >= 0;
    return rising;
}

// A 2 s clip with two video and two audio streams, the second audio stream
// (1 kHz, "ger - Commentary") marked as the default and the first (440 Hz,
// "eng") not.
inline std::string TwoTrackClip() {
    return TestMedia("e2e_tracks.mkv",
        "-f lavfi -i testsrc2=s=160x120:r=25:d=2 -f lavfi -i sine=f=440:r=44100:d=2 -f lavfi -i sine=f=1000:r=44100:d=2 "
        "-f lavfi -i testsrc2=s=160x120:r=25:d=2 -map 0:v -map 1:a -map 2:a -map 3:v -c:v libx264 -preset ultrafast "
        "-c:a aac -ac 2 -metadata:s:a:0 language=eng -metadata:s:a:1 language=ger -metadata:s:a:1 title=Commentary "
        "-disposition:a:0 0 -disposition:a:1 default -disposition:v:0 default -disposition:v:1 0 -shortest");
}
