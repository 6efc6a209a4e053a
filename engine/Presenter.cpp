#include "engine/Presenter.h"

#include <algorithm>
#include <cmath>

#include "engine/FramePicture.h"
#include "engine/FrameQueue.h"
#include "engine/VideoDecoder.h"
#include "engine/VideoDemuxer.h"
#include "output/OutputHooks.h"

extern "C" {
#include <libavutil/time.h>
}

namespace {

// Clocks this many seconds apart belong to no common timeline (a stream
// whose stamps restarted): pictures then run on their own average pace.
constexpr int kUnrelatedClocksS = 60;
// A picture behind the sound by more than these sleeps a shorter share of
// its interval to catch up; the further behind, the shorter.
constexpr double kFarBehindS = 2.0;
constexpr double kBehindS = 1.0;
// A picture ahead of the sound by more than this is held back harder than
// one only slightly ahead.
constexpr double kAheadS = 1.0;
struct Share {
    int num, den;
};
constexpr Share kCatchUpFar{1, 2};
constexpr Share kCatchUp{2, 3};
constexpr Share kCatchUpSlightly{9, 10};
constexpr Share kHoldBack{3, 2};
constexpr Share kHoldBackSlightly{4, 3};
// Free-running: an average gap within this of the interval counts as on
// target, and the sleep is then shortened to leave room for conversion.
constexpr int kFreeRunToleranceMs = 2;
constexpr int kFreeRunAdjustMs = 5;
// No sleep is shorter: the window and the output get their turn.
constexpr int kMinSleepMs = 1;
// A stamp step beyond this (seconds) is a jump, not the picture's duration.
constexpr double kMaxStampStep = 2.0;
// The first picture after a start or a seek waits at most this long for the
// sound to reach it (the device opens and plays its priming meanwhile).
constexpr int kStartSyncMaxMs = 1000;

int Scaled(int ms, Share share) { return ms * share.num / share.den; }

}  // namespace

Presenter::Presenter(FrameQueue& frames, const VideoDecoder& video, const PaceSource& pace,
                     std::shared_ptr<Subtitles> subtitles)
    : m_frames(frames), m_video(video), m_pace(pace), m_subtitles(std::move(subtitles)) {}

Presenter::~Presenter() = default;

int Presenter::PaceSleepMs(double V, double A, int i) {
    if (std::abs(std::trunc(A - V)) >= kUnrelatedClocksS)
        return kFreeRun;
    int sleep = i;
    if (V + kFarBehindS < A)
        sleep = Scaled(i, kCatchUpFar);
    else if (V + kBehindS < A)
        sleep = Scaled(i, kCatchUp);
    else if (V < A)
        sleep = Scaled(i, kCatchUpSlightly);
    else if (A + kAheadS < V)
        sleep = Scaled(i, kHoldBack);
    else if (A < V)
        sleep = Scaled(i, kHoldBackSlightly);
    return std::max(sleep, kMinSleepMs);
}

// The averaged quantity is the time in ms from one presentation to the next,
// so it compares directly with the interval: on target the next sleep is
// shortened to leave room for conversion, a slow average is caught up with
// half a sleep, a fast one is held back.
int Presenter::FreeRunSleepMs(double averageGapMs, double intervalMs) {
    int sleep;
    if (averageGapMs < 0)
        sleep = static_cast<int>(intervalMs) - kFreeRunAdjustMs;
    else if (std::abs(averageGapMs - intervalMs) <= kFreeRunToleranceMs)
        sleep = static_cast<int>(intervalMs * 3 / 4);
    else if (averageGapMs > intervalMs)
        sleep = static_cast<int>(intervalMs / 2);
    else
        sleep = static_cast<int>(intervalMs) + kFreeRunAdjustMs;
    return std::max(sleep, kMinSleepMs);
}

void Presenter::RestartPacing() {
    m_nShown = 0;
    m_nGapTotalUs = 0;
    m_nLastShownUs = 0;
}

std::unique_ptr<VideoFrame> Presenter::TakeNextPicture(double& nextPts, unsigned& serial) {
    for (;;) {
        FrameQueue::Popped popped;
        switch (m_frames.Next(popped)) {
        case FrameQueue::Pop::Aborted:
            return nullptr;
        case FrameQueue::Pop::Held:  // paused: the wall clock and the sleeps start afresh after it
            m_wall.Restart();
            m_nWokeUs = 0;
            if (m_frames.Size() == 0)
                RestartPacing();
            m_frames.WaitWhileHeld();
            continue;
        case FrameQueue::Pop::Picture:
            nextPts = popped.dNextPts;
            serial = popped.serial;
            return std::move(popped.frame);
        }
    }
}

// The stamps say how long this picture stands for, also when the pictures
// skipped by fast decoding were reordered ones before it.
double Presenter::IntervalMs(const VideoFrame& frame, double nextPts) const {
    const int frameInterval = m_video.FrameIntervalMs();
    double interval = frameInterval > 0 ? frameInterval
                                        : 1000.0 / (m_video.Fps() > 0 ? m_video.Fps() : VideoDemuxer::kDefaultFps);
    if (frame.nSkipped > 0)
        interval *= frame.nSkipped + 1;
    const double untilNext = (nextPts - frame.dPts) * m_video.TimeBase();
    if (nextPts >= 0 && untilNext > 0 && untilNext <= kMaxStampStep)
        interval = untilNext * 1000.0;
    return interval / m_pace.Speed();  // in time played
}

void Presenter::Show(std::shared_ptr<const Picture> picture) {
    ShowPicture(std::move(picture));
    const int64_t now = av_gettime();
    if (m_nLastShownUs != 0)
        m_nGapTotalUs += now - m_nLastShownUs;
    m_nLastShownUs = now;
}

void Presenter::Sleep(int ms) {
    if (ms > 0)
        m_frames.SleepUntil(WakeSignal::Clock::now() + std::chrono::milliseconds(ms), m_nSerial, [] { return false; });
}

// Once the sound plays, its clock tells when it reaches the stamp; before
// that the audio decoder's first anchor wakes the wait.
void Presenter::AwaitSound(double stamp) {
    using namespace std::chrono;
    const auto deadline = WakeSignal::Clock::now() + milliseconds(kStartSyncMaxMs);
    m_bAwaitingSound = true;
    for (auto now = WakeSignal::Clock::now(); now < deadline && !SoundReached(stamp);
         now = WakeSignal::Clock::now()) {
        auto until = deadline;
        if (m_pace.SoundStarted()) {  // sleep until the sound should be there
            // Clamped: a stamp from a hostile peer can lie ages ahead.
            const double left = std::clamp(stamp - m_pace.HeardClock(), 0.001, kStartSyncMaxMs / 1000.0);
            until = std::min(deadline, now + duration_cast<WakeSignal::Clock::duration>(duration<double>(left)));
        }
        if (m_frames.SleepUntil(until, m_nSerial, [&] { return SoundReached(stamp); }))
            break;
    }
    m_bAwaitingSound = false;
}

void Presenter::Run() {
    m_nSerial = m_frames.Serial();
    RestartPacing();
    m_nWokeUs = 0;
    m_wall.Restart();
    m_bWasWallPaced = false;
    double nextPts = -1.0;
    unsigned taken = 0;
    while (std::unique_ptr<VideoFrame> frame = TakeNextPicture(nextPts, taken)) {
        m_dVideoClock = frame->dPts * m_video.TimeBase();
        const double interval = IntervalMs(*frame, nextPts);
        // Converted by the display when it shows it, at the size it shows.
        auto picture = std::make_shared<FramePicture>(std::move(frame), m_dVideoClock, m_video.Rotation(), m_subtitles);

        const bool wallPaced = m_pace.WallPaced();
        const bool restarted = m_nSerial != m_frames.Serial() || m_nShown == 0;
        m_nSerial = m_frames.Serial();
        if (wallPaced) {  // the picture waits for its time, then shows
            if (restarted || !m_bWasWallPaced)
                m_wall.Restart();
            m_nWokeUs = 0;
            Sleep(m_wall.Schedule(m_dVideoClock, interval, m_pace.Speed()));
        }
        if (taken != m_frames.Serial())
            continue;  // a seek came while it was converted or waited: it is of the old position
        const bool haveGap = m_nLastShownUs != 0 && m_nShown > 0;
        Show(std::move(picture));
        if (!wallPaced) {  // the picture shows, then the next waits its share
            int sleep = PaceSleepMs(m_dVideoClock, m_pace.HeardClock(), static_cast<int>(interval));
            if (sleep == kFreeRun)
                sleep = FreeRunSleepMs(haveGap ? m_nGapTotalUs / 1000.0 / m_nShown : -1.0, interval);
            // The sleep spaces presentations: the time taken since the last
            // one woke (conversion, display) is part of it, or a late
            // picture could never catch up with the sound.
            if (m_nWokeUs != 0)
                sleep = std::max(kMinSleepMs, sleep - static_cast<int>((m_nLastShownUs - m_nWokeUs) / 1000));
            Sleep(sleep);
            // Until the sound has reached it, the first picture stays.
            if (restarted)
                AwaitSound(m_dVideoClock);
            m_nWokeUs = av_gettime();
        }
        m_bWasWallPaced = wallPaced;
        ++m_nShown;
    }
}
