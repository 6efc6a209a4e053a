// Arbitrary bytes as a subtitle file beside a medium (the first byte picks
// its extension): offered, read to its end and drawn at several times into a
// small picture. A picture is left as it was unless something was drawn, and
// only ever gets colour, never its fourth byte changed.
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Check.h"
#include "engine/Subtitles.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

const char* const kExtensions[] = {".srt", ".ass", ".ssa", ".vtt", ".sub", ".txt", ".sup"};

// The folder the file and its medium are in, removed at exit.
struct Folder {
    std::string path;
    Folder() {
        char pattern[] = "/tmp/sivo-fuzz-subs-XXXXXX";
        const char* made = mkdtemp(pattern);
        FUZZ_CHECK(made);
        path = made;
    }
    ~Folder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// Draws `subs` at `at` into a picture of w x h, checking what changed.
void Draw(Subtitles& subs, int w, int h, double at) {
    std::vector<uint8_t> before(size_t(w) * h * 4);
    for (size_t i = 0; i < before.size(); ++i)
        before[i] = i % 4 == 3 ? 0xff : uint8_t(i * 37 >> 3);
    std::vector<uint8_t> picture = before;
    const bool drawn = subs.Render(picture.data(), w, h, w * 4, at);
    if (!drawn)
        FUZZ_CHECK(picture == before);
    for (size_t i = 3; i < picture.size(); i += 4)
        FUZZ_CHECK(picture[i] == 0xff);
    subs.TextAt(at);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Folder dir;
    static Subtitles subs;  // one renderer, as a player has (gone at exit, before the leak check)
    const std::string& folder = dir.path;
    if (size < 1)
        return 0;
    // Each run replaces the last one's file, whatever its extension was.
    for (const char* ext : kExtensions)
        std::remove((folder + "/film" + ext).c_str());
    const std::string file = folder + "/film" + kExtensions[data[0] % std::size(kExtensions)];
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data + 1), std::streamsize(size - 1));

    const std::vector<Subtitles::Choice> choices = Subtitles::Find(folder + "/film.mkv");
    FUZZ_CHECK(choices.size() == 1 && choices[0].path == file && choices[0].stream == -1);
    subs.SetScale(0.25 + (data[0] >> 3) % 16 * 0.25);
    subs.Load(choices[0], 0.0);
    while (subs.Reading())
        std::this_thread::sleep_for(std::chrono::microseconds(200));

    // Times most files use, and some the input names.
    std::vector<double> times = {-1.0, 0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 5.0, 10.0, 60.0, 3600.0};
    for (size_t i = 1; i + 2 <= size && times.size() < 16; i += 97)
        times.push_back((data[i] << 8 | data[i + 1]) / 100.0);
    for (double at : times)
        Draw(subs, 96, 54, at);
    // The same text again (drawn from what was kept), then at other sizes.
    Draw(subs, 96, 54, 1.5);
    Draw(subs, 96, 54, 1.5);
    Draw(subs, 1 + data[0] % 7, 1 + data[0] % 5, 1.5);
    Draw(subs, 1 + data[0] % 7, 1 + data[0] % 5, 1.5);
    Draw(subs, 37, 29, 1.5);
    return 0;
}
