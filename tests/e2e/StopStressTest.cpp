// Thousands of random steps of a user who cannot make up their mind: play,
// pause, seek, stop and reopen local files and media a stream server on
// loopback serves, with the real audio layer (dummy driver). Every Stop must
// return within 100 ms from whatever state the player is in, no step may
// hang, and the player must still play afterwards.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "common/PlayerFixture.h"
#include "stream/StreamTestUtil.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDefaultSteps = 2000;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kStopLimitMs = 400.0;  // a sanitizer slows every thread down several times
#else
constexpr double kStopLimitMs = 100.0;
#endif
constexpr double kStepLimitMs = 5000.0;  // an open on a loaded machine; only a hang reaches it
constexpr int kMaxDwellMs = 30;          // what a step lets happen before the next

// Ends the process with the step's name when one outlasts its limit: a hung
// join or wait never returns to report itself.
class Watchdog {
public:
    ~Watchdog() {
        m_bDone = true;
        m_thread.join();
    }
    void Arm(const char* what, int step) {
        m_nStep = step;
        m_deadline = Clock::now() + std::chrono::milliseconds(int(kStepLimitMs));
        m_what = what;
    }
    void Disarm() { m_what = nullptr; }

private:
    std::atomic<bool> m_bDone{false};
    std::atomic<const char*> m_what{nullptr};
    std::atomic<int> m_nStep{0};
    std::atomic<Clock::time_point> m_deadline{};
    std::thread m_thread{[this] {
        for (; !m_bDone; std::this_thread::sleep_for(std::chrono::milliseconds(100)))
            if (const char* what = m_what; what && Clock::now() >= m_deadline.load()) {
                std::fprintf(stderr, "%s at step %d hangs\n", what, m_nStep.load());
                std::abort();
            }
    }};
};

int Steps() {
    const char* steps = std::getenv("SIVO_STRESS_STEPS");
    return steps && std::atoi(steps) > 0 ? std::atoi(steps) : kDefaultSteps;
}

class StopStress : public PlayerFixture {};

}  // namespace

TEST_F(StopStress, StopIsPromptFromAnyStateOfRandomPlayback) {
    const std::string clips[] = {TestClipAv10s(), TestClipAv4s()};
    auto server = ServeStream();

    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    auto pick = [&](int n) { return int(std::uniform_int_distribution<int>(0, n - 1)(random)); };
    enum Step { kLocal, kRemote, kPause, kPlay, kSeek, kStop, kStepCount };
    const char* names[kStepCount] = {"local open", "remote open", "pause", "play", "seek", "stop"};
    int stops = 0;
    double slowestStop = 0.0;
    const int steps = Steps();
    Watchdog watchdog;
    for (int i = 0; i < steps; ++i) {
        const Step step = Step(pick(kStepCount));
        const std::string& clip = clips[pick(2)];
        const auto start = Clock::now();
        watchdog.Arm(names[step], i);
        switch (step) {
        case kLocal: LocalPlay(clip.c_str()); break;
        case kRemote:
            player.Stop();
            player.StartPlay("127.0.0.1", server->GetPort(), clip.c_str());
            Play();
            break;
        case kPause: Pause(); break;
        case kPlay: Play(); break;
        case kSeek: Seek(pick(12)); break;
        case kStop: Stop(); break;
        default: break;
        }
        const double ms = MsSince(start);
        watchdog.Disarm();
        if (step == kStop) {
            ++stops;
            slowestStop = std::max(slowestStop, ms);
            EXPECT_LT(ms, kStopLimitMs) << "step " << i << ", seed " << seed;
        }
        ASSERT_LT(ms, kStepLimitMs) << names[step] << " at step " << i << ", seed " << seed;
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(kMaxDwellMs)));
    }
    EXPECT_GT(stops, steps / kStepCount / 2);

    // Still a working player.
    Stop();
    const int before = window.frames;
    LocalPlay(clips[0].c_str());
    EXPECT_TRUE(WaitFor([&] { return window.frames > before + 10; }));
    const auto start = Clock::now();
    Stop();
    EXPECT_LT(MsSince(start), kStopLimitMs);
    RecordProperty("slowest_stop_ms", std::to_string(slowestStop));
    std::printf("%d steps, %d stops, slowest %.1f ms (seed %u)\n", steps, stops, slowestStop, seed);
}
