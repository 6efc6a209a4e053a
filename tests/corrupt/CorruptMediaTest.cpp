// Damaged media files played by sivo-play: bit flips, truncations, zeroed and
// repeated stretches and headers spliced from another format, made
// deterministically from generated MP4, MKV, MP3 and WAV files. Every run
// must end in time with exit 0 or 1 and without a sanitizer report.

#include <gtest/gtest.h>

#include <future>
#include <random>
#include <string>
#include <vector>

#include "common/SivoPlayRun.h"
#include "common/TestMedia.h"

namespace {

constexpr int kPlaySeconds = 2;
constexpr int kCaseLimitS = 60;  // a 2 s run on a loaded machine under ASan; only a hang gets there

struct Format {
    const char* ext;
    const char* ffmpegArgs;
};

std::string Clip(const Format& f) {
    return ReadWholeFile(TestMedia(std::string("corrupt-source.") + f.ext, f.ffmpegArgs));
}

using Rng = std::mt19937;
using Other = const std::string&;
using Mutate = std::string (*)(std::string b, Rng& rng, Other other);

std::string FlipBits(std::string b, Rng& rng, size_t span, int count) {
    span = std::min(span, b.size());
    for (int i = 0; i < count && span > 0; ++i)
        b[rng() % span] ^= char(1 << (rng() % 8));
    return b;
}

const std::pair<const char*, Mutate> kMutations[] = {
    {"bit flips", [](std::string b, Rng& rng, Other) { return FlipBits(b, rng, b.size(), 40); }},
    {"bit flips in the header", [](std::string b, Rng& rng, Other) { return FlipBits(b, rng, 512, 12); }},
    {"cut in half", [](std::string b, Rng&, Other) { return b.substr(0, b.size() / 2); }},
    {"cut after the header", [](std::string b, Rng&, Other) { return b.substr(0, 100); }},
    {"zeroed middle", [](std::string b, Rng&, Other) {
         const size_t n = std::min<size_t>(8192, b.size() / 3);
         return b.replace(b.size() / 3, n, n, '\0');
     }},
    {"repeated stretch", [](std::string b, Rng&, Other) { return b.insert(b.size() / 2, b.substr(b.size() / 4, b.size() / 4)); }},
    {"header of another format",
     [](std::string b, Rng&, Other other) { return other.substr(0, other.size() / 4) + b.substr(b.size() / 4); }},
    {"noise run", [](std::string b, Rng& rng, Other) {
         for (size_t i = b.size() / 5; i < b.size() / 5 + b.size() / 50; ++i)
             b[i] = char(rng());
         return b;
     }},
};

const Format kFormats[] = {
    {"mp4", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 "
            "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 25 -c:a aac -shortest"},
    {"mkv", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 "
            "-c:v mpeg4 -c:a libvorbis -shortest"},
    {"mp3", "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 -c:a libmp3lame -b:a 64k"},
    {"wav", "-f lavfi -i sine=frequency=440:sample_rate=22050:duration=3 -c:a pcm_s16le"},
};

void PrintTo(const Format& f, std::ostream* os) { *os << f.ext; }

class CorruptMedia : public ::testing::TestWithParam<Format> {};

TEST_P(CorruptMedia, EveryDamagedFileEndsInTimeWithoutAReport) {
    const Format& format = GetParam();
    const std::string clip = Clip(format);
    const std::string other = Clip(kFormats[(&format - kFormats + 1) % std::size(kFormats)]);
    ASSERT_FALSE(clip.empty() || other.empty());

    std::mt19937 rng(20261206);  // the same files on every run
    std::vector<std::pair<std::string, std::future<PlayRun>>> runs;
    for (const auto& [what, mutate] : kMutations) {
        const std::string path = TestFile("corrupt-" + std::to_string(runs.size()) + "." + format.ext,
                                          mutate(clip, rng, other));
        runs.emplace_back(what, std::async(std::launch::async, [path] {
                              return SivoPlay("--seconds " + std::to_string(kPlaySeconds) + " '" + path + "'",
                                              kCaseLimitS);
                          }));
    }
    for (auto& [what, run] : runs)
        EXPECT_TRUE(EndedCleanly(run.get())) << what;
}

INSTANTIATE_TEST_SUITE_P(Formats, CorruptMedia, ::testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string(info.param.ext); });

}  // namespace
