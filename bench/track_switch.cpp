// Switching the audio stream, key to new sound: a medium with a 440 Hz tone
// in its first audio stream and a 1 kHz tone in its second plays through the
// disk audio driver, which writes each period of sound to a file as the
// device would play it; each switch is timed from the call a key press makes
// until the file holds the other tone (and, as call_ms, how long the call
// itself took). Target: at most 300 ms.
//
// usage: bench_track_switch (the medium is made by ffmpeg in /tmp)

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/MediaPlayer.h"
#include "engine/control/PlayEntry.h"
#include "output/PlaySound.h"
#include "output/VideoWindow.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 44100;
constexpr int kWindow = kRate / 100;  // 10 ms of sound tells the tone
constexpr int kWaitMs = 5000;          // a switch not heard by then failed

struct Ignore : VideoWindow {
    void ShowFrame(std::shared_ptr<const Picture>) override {}
};

// Zero crossings of the last 10 ms of 16-bit stereo sound written to the
// file, read from `offset` on (moved past what was read): about 9 for
// 440 Hz, 20 for 1 kHz; -1 before 10 ms have come or in silence.
int Crossings(const std::string& path, std::streamoff& offset, std::vector<int16_t>& last) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in.tellg();
    if (size < offset)  // the device was opened again
        offset = 0;
    std::vector<int16_t> frames(size_t(size - offset) / 4 * 2);
    in.seekg(offset);
    in.read(reinterpret_cast<char*>(frames.data()), std::streamsize(frames.size() * 2));
    offset += std::streamoff(frames.size() * 2);
    for (size_t i = 0; i < frames.size(); i += 2)
        last.push_back(frames[i]);
    if (last.size() > size_t(kWindow))
        last.erase(last.begin(), last.end() - kWindow);
    if (last.size() < size_t(kWindow))
        return -1;
    int crossings = 0, loud = 0;
    for (size_t i = 1; i < last.size(); ++i) {
        crossings += (last[i - 1] < 0) != (last[i] < 0);
        loud += std::abs(last[i]) > 1000;
    }
    return loud > kWindow / 4 ? crossings : -1;
}

void TrackSwitch(benchmark::State& state) {
    char dir[] = "/tmp/sivo-bench-switch-XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("no temp dir");
        return;
    }
    const std::string medium = std::string(dir) + "/two-tones.mkv", pcm = std::string(dir) + "/out.raw";
    const std::string make = "ffmpeg -nostdin -loglevel error -y -f lavfi -i color=c=gray:s=320x240:r=25:d=60 "
                             "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=60 "
                             "-f lavfi -i sine=frequency=1000:sample_rate=44100:duration=60 "
                             "-map 0 -map 1 -map 2 -c:v libx264 -preset ultrafast -c:a aac -ac 2 '" + medium + "'";
    if (std::system(make.c_str()) != 0) {
        state.SkipWithError("ffmpeg could not make the medium");
        return;
    }
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", pcm.c_str(), 1);
    Ignore window;
    ThePlaySound().CreateThread();
    SetVideoWindow(&window);
    LocalPlay(medium.c_str());
    MediaPlayer& player = ThePlayer();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));

    std::streamoff offset = 0;
    std::vector<int16_t> last;
    double worst = 0, calls = 0;
    bool high = false;  // the 1 kHz stream is on
    for (auto _ : state) {
        const std::vector<VideoDemuxer::StreamInfo> streams = player.AudioStreams();
        if (streams.size() != 2) {
            state.SkipWithError("the medium does not offer two audio streams");
            break;
        }
        high = !high;
        const Clock::time_point key = Clock::now();
        player.SelectAudioStream(streams[high ? 1 : 0].index);
        calls += std::chrono::duration<double, std::milli>(Clock::now() - key).count();
        double ms = -1;
        while (ms < 0 && Clock::now() - key < std::chrono::milliseconds(kWaitMs)) {
            const int crossings = Crossings(pcm, offset, last);
            if (crossings >= 0 && (crossings > 14) == high)
                ms = std::chrono::duration<double, std::milli>(Clock::now() - key).count();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (ms < 0) {
            state.SkipWithError("the other tone was never heard");
            break;
        }
        worst = std::max(worst, ms);
        state.SetIterationTime(ms / 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(700));  // plays on a while
    }
    state.counters["worst_ms"] = worst;
    // Of that, how long the call itself held the controlling thread.
    state.counters["call_ms"] = benchmark::Counter(calls, benchmark::Counter::kAvgIterations);
    Stop();
    SetVideoWindow(nullptr);
    ThePlaySound().StopThread();
    std::remove(medium.c_str());
    std::remove(pcm.c_str());
    rmdir(dir);
}

}  // namespace

BENCHMARK(TrackSwitch)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);
