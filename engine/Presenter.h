#pragma once
// The presentation thread's work: takes each decoded picture, hands it to
// the display through ShowPicture (which converts it at the size it shows)
// and paces the next one against the
// sound being heard, or against the wall clock where there is no sound.
//
// Threads: Run is the presentation thread; VideoClock and AwaitingSound any
// thread.

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/MediaClock.h"
#include "engine/VideoFrame.h"

class FrameQueue;
class Subtitles;
class VideoDecoder;
class Picture;

// What the presenter paces against; the player provides it.
class PaceSource {
public:
    virtual ~PaceSource() = default;
    // Stamp in seconds of the sound being heard (the picture's own without sound).
    virtual double HeardClock() const = 0;
    // No sound to follow: none in the medium, or it has played out.
    virtual bool WallPaced() const = 0;
    // Sound decoded since the last start or seek is playing.
    virtual bool SoundStarted() const = 0;
    // Media seconds per second of play.
    virtual double Speed() const = 0;
};

class Presenter {
public:
    Presenter(FrameQueue& frames, const VideoDecoder& video, const PaceSource& pace,
              std::shared_ptr<Subtitles> subtitles);
    ~Presenter();
    Presenter(const Presenter&) = delete;
    Presenter& operator=(const Presenter&) = delete;

    void Run();  // until the frame queue is aborted

    // Stamp in seconds of the picture shown last.
    double VideoClock() const { return m_dVideoClock; }
    void ResetVideoClock() { m_dVideoClock = 0.0; }
    // The first picture after a start or a seek waits for the sound to reach it.
    bool AwaitingSound() const { return m_bAwaitingSound; }

    // Sleep in ms after a picture shown at video clock V for audio clock A
    // (seconds) and interval i (ms); kFreeRun when the clocks are unrelated.
    static constexpr int kFreeRun = -1;
    static int PaceSleepMs(double V, double A, int i);
    // Free-running sleep in ms from the mean gap between presentations so far
    // (negative before the first) and the interval.
    static int FreeRunSleepMs(double averageGapMs, double intervalMs);

private:
    // The next picture, or null once the queue is aborted; pauses are
    // waited out here.
    std::unique_ptr<VideoFrame> TakeNextPicture(double& nextPts, unsigned& serial);
    // How long the picture stands for, in ms.
    double IntervalMs(const VideoFrame& frame, double nextPts) const;
    void Show(std::shared_ptr<const Picture> picture);
    // Sleeps ms unless a pause, a seek or a stop comes first.
    void Sleep(int ms);
    // Until the sound has reached the stamp, at most kStartSyncMaxMs.
    void AwaitSound(double stamp);
    bool SoundReached(double stamp) const { return m_pace.SoundStarted() && m_pace.HeardClock() >= stamp; }
    void RestartPacing();

    FrameQueue& m_frames;
    const VideoDecoder& m_video;
    const PaceSource& m_pace;
    std::shared_ptr<Subtitles> m_subtitles;  // drawn into each picture
    std::atomic<double> m_dVideoClock{0.0};
    std::atomic<bool> m_bAwaitingSound{false};

    // Presentation thread only.
    unsigned m_nSerial = 0;       // of the frame queue, at the picture shown last
    int m_nShown = 0;             // pictures shown since pacing restarted
    int64_t m_nGapTotalUs = 0;    // presentation-to-presentation gaps over them
    int64_t m_nLastShownUs = 0;   // 0: no presentation recorded
    int64_t m_nWokeUs = 0;        // end of the last pacing sleep; 0 after a pause
    WallClock m_wall;             // without sound, or once it is over
    bool m_bWasWallPaced = false;
};
