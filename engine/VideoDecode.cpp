// The two video threads of the controller: decoding into the frame queue, and
// presentation paced against the audio clock.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "engine/FfmpegPtr.h"
#include "engine/MediaPlayer.h"
#include "engine/VideoDemuxer.h"
#include "engine/VideoFrame.h"
#include "output/OutputHooks.h"
#include "platform/Trace.h"


extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/time.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kIntervalTolerance = 3; // ms, accepting an estimated interval
constexpr int kFreeRunTolerance = 2;  // ms, average gap counted as on target
constexpr int kFreeRunAdjustMs = 5;
constexpr int kFreeRunClockGap = 60;  // s between the clocks
constexpr int kMinSleepMs = 1;
constexpr double kMaxIntervalMs = 60000.0;  // an estimated frame interval beyond this is not one
// A stamp step outside (0, this] s is a gap or a jump: the picture then
// stands for its interval. Without audio, a picture due longer ago than
// kWallLateUs restarts the wall clock from it instead of rushing.
constexpr double kMaxStampStep = 2.0;
constexpr int64_t kWallLateUs = 500000;
// The first picture after a start or a seek waits at most this long for the
// sound to reach it (the device opens and plays its priming meanwhile).
constexpr int kStartSyncMaxMs = 1000;
constexpr const char* kDumpPath = "f://playpkg.dat";

// Raw dump of the video packages for offline inspection. Opened once per
// process on first use; the open fails (and nothing is written) unless the
// directory "f:" exists in the working directory.
class PacketDump {
public:
    PacketDump() : m_file(std::fopen(kDumpPath, "wb")) {}
    ~PacketDump() {
        if (m_file)
            std::fclose(m_file);
    }
    PacketDump(const PacketDump&) = delete;
    PacketDump& operator=(const PacketDump&) = delete;

    // The first 4 bytes (a length prefix or start code) become a start code.
    void Append(const uint8_t* data, int size) {
        if (!m_file || !data || size < 4)
            return;
        static const uint8_t kStartCode[4] = {0, 0, 0, 1};
        std::fwrite(kStartCode, 1, sizeof kStartCode, m_file);
        std::fwrite(data + 4, 1, size - 4, m_file);
        std::fflush(m_file);
    }

private:
    std::FILE* m_file;
};

PacketDump& Dump() {
    static PacketDump dump;
    return dump;
}

int EffectiveFps(int fps) { return fps > 0 ? fps : VideoDemuxer::kDefaultFps; }

// Low 32 bits of a time stamp, read as a signed value.
double LowBitsStamp(int64_t ts) { return static_cast<double>(static_cast<int32_t>(ts)); }

struct SwsContextFree {
    void operator()(SwsContext* p) const { sws_freeContext(p); }
};

// Paces a medium without audio: each picture waits for its time on the wall
// clock, taken from the step between stamps (or the interval where the
// stamps jump), so that sleeping late never adds up.
class WallPacer {
public:
    void Restart() { m_bValid = false; }
    // The wait in ms before the picture with this stamp is due.
    int Next(double stamp, double intervalMs) {
        const int64_t now = av_gettime();
        const double step = stamp - m_dStamp;
        int64_t due = now;
        if (m_bValid)
            due = m_nDueUs + static_cast<int64_t>((step > 0 && step <= kMaxStampStep ? step : intervalMs / 1000.0) * 1e6);
        if (now - due > kWallLateUs)
            due = now;
        m_bValid = true;
        m_nDueUs = due;
        m_dStamp = stamp;
        return due > now ? static_cast<int>((due - now + 500) / 1000) : 0;
    }

private:
    bool m_bValid = false;
    int64_t m_nDueUs = 0;   // when the last picture was due
    double m_dStamp = 0.0;  // and its stamp
};

} // namespace

// ---------------------------------------------------------------------------
// Video decode thread

void MediaPlayer::VideoDecodeThread() {
    m_bIntervalLocked = false;
    m_nSkip = 0;
    m_nTotalFram = 0;
    m_nNoPicture = 0;
    m_bNewestValid = false;
    unsigned serial = m_nSeekSerial;
    int sinceKey = 0;
    while (!m_bQuit) {
        AVPacket* pkt = nullptr;
        WakeSignal* wake = nullptr;
        unsigned taken = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_videoWake.Wait(lock, [this] {
                return m_bQuit || (m_frames.size() < size_t(kMaxQueuedFrames) && !m_videoPkgs.empty());
            });
            if (m_bQuit)
                break;
            pkt = TakeLocked(m_videoPkgs, wake);
            taken = m_nSeekSerial;
        }
        if (wake)
            wake->Wake();
        if (serial != taken) {
            serial = taken;
            m_bNewestValid = false;
            if (m_pVideoCodecCtx && avcodec_is_open(m_pVideoCodecCtx))
                avcodec_flush_buffers(m_pVideoCodecCtx);
        }
        if (taken == m_nSeekSerial)  // else queued before a seek that came since
            DecodeVideoPacket(pkt);
        ++sinceKey;
        if (pkt->flags & AV_PKT_FLAG_KEY) {
            DebugTrace("DecodeOneVideoFram %d %d", pkt->flags, sinceKey);
            sinceKey = 0;
        }
        FreePacket(pkt);
    }
}

// One decode call per package. The send/receive API may return no picture or
// several for one package; all pictures received after the call are queued in
// order, the first carrying nSkipped, and the call counts once in the skip
// counters. A picture's time stamp is the decoder's best-effort stamp, which
// belongs to that picture even when the decoder reorders; without one it is
// the package's pts, else its dts, else 0.
int MediaPlayer::DecodeVideoPacket(AVPacket* pkt) {
    if (!pkt || !m_pVideoCodecCtx || !m_pFrame)
        return -1;
    const unsigned serial = m_nSeekSerial;
    UpdateFrameInterval();
    if (DecodingBehind())
        DropFrames();
    Dump().Append(pkt->data, pkt->size);

    AVCodecContext* ctx = m_pVideoCodecCtx;
    const AVDiscard mode = m_nSkip == 0 ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    ctx->skip_loop_filter = m_nSkip == 0 ? AVDISCARD_ALL : AVDISCARD_DEFAULT;
    ctx->skip_idct = mode;
    ctx->skip_frame = mode;

    int ret = avcodec_send_packet(ctx, pkt);
    if (ret < 0) {
        DebugTrace("avcodec_decode_video2 fail: %d\n", ret);
        return -1;
    }
    double pktStamp = 0.0;
    if (pkt->pts != AV_NOPTS_VALUE)
        pktStamp = LowBitsStamp(pkt->pts);
    else if (pkt->dts != AV_NOPTS_VALUE)
        pktStamp = LowBitsStamp(pkt->dts);

    std::vector<std::unique_ptr<VideoFrame>> pictures;
    int produced = 0;
    int failure = 0;
    for (;;) {
        ret = avcodec_receive_frame(ctx, m_pFrame);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            break;
        if (ret < 0) {
            failure = ret;
            break;
        }
        const int64_t best = m_pFrame->best_effort_timestamp;
        const double stamp = best != AV_NOPTS_VALUE ? LowBitsStamp(best) : pktStamp;
        const int skipped = produced == 0 ? std::min(m_nSkip, kMaxSkipCount) : 0;
        ++produced;
        if (auto frame = VideoFrame::TakeFrom(m_pFrame, stamp, skipped))
            pictures.push_back(std::move(frame));
        av_frame_unref(m_pFrame);
    }
    if (failure < 0) {
        DebugTrace("avcodec_decode_video2 fail: %d\n", failure);
        if (produced == 0)
            return -1;
    }

    ++m_nTotalFram;
    if (produced > 0) {
        m_nFramesDecoded += produced;
        if (!pictures.empty()) {
            m_dNewestPicture = pictures.back()->dPts * m_dVideoTimeBase;
            m_bNewestValid = true;
        }
        bool wake = false;  // the presentation thread waits for a picture
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (serial == m_nSeekSerial && !pictures.empty()) {  // else from before a seek that has flushed the queue
                wake = m_frames.empty();
                for (auto& frame : pictures)
                    m_frames.push_back(frame.release());
            }
        }
        if (wake)
            m_presentWake.Wake();
        m_nSkip = 0;
    } else {
        ++m_nNoPicture;
        ++m_nSkip;
        DebugTrace("Skip %d  m_nTotalFram:%5d %5d\r\n", m_nSkip, m_nTotalFram, m_nNoPicture);
    }
    return 0;
}

// True when the newest decoded picture is due before the sound being heard:
// the queued pictures are stale then. Before the first picture, and before
// the audio decoder has set the clock after an open or a seek, nothing is late.
bool MediaPlayer::DecodingBehind() const {
    if (!m_bNewestValid || (m_bHasAudio && !m_audioAnchor.Read().bDecoded))
        return false;
    return m_dNewestPicture < HeardClock();
}

bool MediaPlayer::SoundReached(double stamp) const {
    return m_audioAnchor.Read().bDecoded && HeardClock() >= stamp;
}

// Jumps the queue forward to a key package queued behind a short run, so
// decoding never works through a stale group of pictures.
void MediaPlayer::DropFrames() {
    std::list<AVPacket*> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::list<AVPacket*> result;
        std::list<AVPacket*> pending;
        while (!m_videoPkgs.empty()) {
            AVPacket* pkt = m_videoPkgs.front();
            if (pkt->flags & AV_PKT_FLAG_KEY) {
                const int run = static_cast<int>(pending.size());
                if (run > 0 && run <= kDropRunLimit) {
                    DebugTrace("DropFrames %d", run);
                    dropped.splice(dropped.end(), pending);
                } else {
                    result.splice(result.end(), pending);
                }
            }
            pending.splice(pending.end(), m_videoPkgs, m_videoPkgs.begin());
        }
        result.splice(result.end(), pending);
        m_videoPkgs.swap(result);
    }
    if (!dropped.empty())
        m_feederWake.Wake();
    for (AVPacket* pkt : dropped)
        FreePacket(pkt);
}

void MediaPlayer::UpdateFrameInterval() {
    if (m_bIntervalLocked)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    const int count = static_cast<int>(m_videoPkgs.size());
    if (count <= kDropRunLimit) {
        m_nFrameInterval = 1000 / EffectiveFps(m_nFps);
        return;
    }
    const int64_t first = m_videoPkgs.front()->pts;
    const int64_t last = m_videoPkgs.back()->pts;
    if (first == AV_NOPTS_VALUE || last == AV_NOPTS_VALUE)
        return;
    // A peer's stamps and time base can be anything: the span is taken in
    // doubles and an interval beyond any frame rate is no estimate.
    const double perPackageMs = (double(last) - double(first)) * m_dVideoTimeBase * 1000.0 / count;
    if (!(std::abs(perPackageMs) <= kMaxIntervalMs))
        return;
    const int estimate = static_cast<int>(std::trunc(perPackageMs));
    const int current = m_nFrameInterval;
    if (std::abs(estimate - current) < kIntervalTolerance ||
        std::abs(estimate - current / 2) < kIntervalTolerance) {
        m_nFrameInterval = estimate;
        m_bIntervalLocked = true;
    }
}

// ---------------------------------------------------------------------------
// Pacing

double MediaPlayer::ShowIntervalMs(int frameInterval, int fps, int skipped) {
    double interval = frameInterval > 0 ? frameInterval : 1000.0 / EffectiveFps(fps);
    if (skipped > 0)
        interval *= skipped + 1;
    return interval;
}

int MediaPlayer::PacingSleepMs(double V, double A, int i) {
    if (std::abs(std::trunc(A - V)) >= kFreeRunClockGap)
        return -1;
    int sleep;
    if (V + 2.0 < A)
        sleep = i / 2;
    else if (V + 1.0 < A)
        sleep = i * 2 / 3;
    else if (V < A)
        sleep = i * 9 / 10;
    else if (A + 2.0 < V)
        sleep = i * 3 / 2;
    else if (A + 1.0 < V)
        sleep = i * 3 / 2;
    else if (A < V)
        sleep = i * 4 / 3;
    else
        sleep = i;
    return std::max(sleep, kMinSleepMs);
}

// The averaged quantity is the time in ms from one presentation to the next,
// so it compares directly with I: on target the next sleep is shortened to
// leave room for conversion, a slow average is caught up with half a sleep, a
// fast one is held back.
int MediaPlayer::FreeRunSleepMs(double averageGapMs, double intervalMs) {
    int sleep;
    if (averageGapMs < 0)
        sleep = static_cast<int>(intervalMs) - kFreeRunAdjustMs;
    else if (std::abs(averageGapMs - intervalMs) <= kFreeRunTolerance)
        sleep = static_cast<int>(intervalMs * 3 / 4);
    else if (averageGapMs > intervalMs)
        sleep = static_cast<int>(intervalMs / 2);
    else
        sleep = static_cast<int>(intervalMs) + kFreeRunAdjustMs;
    return std::max(sleep, kMinSleepMs);
}

// ---------------------------------------------------------------------------
// Presentation thread

void MediaPlayer::PacingWait(int ms, unsigned serial) {
    if (ms <= 0)
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_presentWake.WaitUntil(lock, WakeSignal::Clock::now() + std::chrono::milliseconds(ms),
                            [&] { return m_bQuit || m_bPause || serial != m_nSeekSerial; });
}

// Once the sound plays, its clock tells when it reaches the stamp; before
// that the audio decoder's first anchor wakes the wait.
void MediaPlayer::AwaitSound(double stamp, unsigned serial) {
    using namespace std::chrono;
    const auto deadline = WakeSignal::Clock::now() + milliseconds(kStartSyncMaxMs);
    const auto done = [&] { return m_bQuit || m_bPause || serial != m_nSeekSerial || SoundReached(stamp); };
    m_bAwaitingSound = true;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (auto now = WakeSignal::Clock::now(); !done() && now < deadline; now = WakeSignal::Clock::now()) {
        auto until = deadline;
        if (m_audioAnchor.Read().bDecoded) {
            // Clamped: a stamp from a hostile peer can lie ages ahead.
            const double left = std::clamp(stamp - HeardClock(), 0.001, kStartSyncMaxMs / 1000.0);
            until = std::min(deadline, now + duration_cast<WakeSignal::Clock::duration>(duration<double>(left)));
        }
        m_presentWake.WaitUntil(lock, until, done);
    }
    m_bAwaitingSound = false;
}

void MediaPlayer::PresentThread() {
    std::unique_ptr<SwsContext, SwsContextFree> scaler;
    int scalerWidth = 0, scalerHeight = 0, scalerFmt = -1;
    std::unique_ptr<VideoPicture> bgr;  // the converted picture
    int bgrWidth = 0, bgrHeight = 0;
    int shown = 0;               // frames shown since the count restarted
    int64_t gapTotalUs = 0;      // presentation-to-presentation gaps over them
    int64_t lastShownUs = 0;     // 0: no presentation recorded
    int64_t wokeUs = 0;          // end of the last pacing sleep; 0 after a pause
    WallPacer wall;              // without audio, or once the sound is over
    bool wasWallPaced = false;
    unsigned serial = m_nSeekSerial;

    while (!m_bQuit) {
        VideoFrame* raw = nullptr;
        double nextPts = -1.0;  // stamp of the picture after it, when one is queued
        bool roomMade = false;  // for the decoder, which waits for it
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_bPause) {
                wall.Restart();
                wokeUs = 0;
                m_presentWake.Wait(lock, [this] { return m_bQuit || !m_bPause; });
                continue;
            }
            if (m_frames.empty()) {
                m_presentWake.Wait(lock, [this] { return m_bQuit || m_bPause || !m_frames.empty(); });
                if (m_bPause) {
                    shown = 0;
                    gapTotalUs = 0;
                    lastShownUs = 0;
                }
                continue;
            }
            roomMade = m_frames.size() >= size_t(kMaxQueuedFrames);
            raw = m_frames.front();
            m_frames.pop_front();
            if (!m_frames.empty())
                nextPts = m_frames.front()->dPts;
        }
        if (roomMade)
            m_videoWake.Wake();
        std::unique_ptr<VideoFrame> frame(raw);
        m_dVideoClock = frame->dPts * m_dVideoTimeBase;

        const int w = frame->nWidth, h = frame->nHeight;
        if (!scaler || w != scalerWidth || h != scalerHeight || frame->nPixFmt != scalerFmt) {
            SwsContext* next = sws_getCachedContext(
                scaler.release(), w, h, static_cast<AVPixelFormat>(frame->nPixFmt), w, h,
                AV_PIX_FMT_BGR24, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
            scaler.reset(next);
            scalerWidth = w;
            scalerHeight = h;
            scalerFmt = frame->nPixFmt;
        }
        if (!scaler)
            continue;
        // One picture buffer while the size holds: a fresh one per picture
        // would be mapped and faulted in page by page each time.
        if (!bgr || w != bgrWidth || h != bgrHeight) {
            bgr = std::make_unique<VideoPicture>();
            bgrWidth = bgrHeight = 0;
            if (av_image_alloc(bgr->data, bgr->linesize, w, h, AV_PIX_FMT_BGR24, 1) < 0) {
                bgr.reset();
                continue;
            }
            bgrWidth = w;
            bgrHeight = h;
        }
        sws_scale(scaler.get(), frame->pPicture->data, frame->pPicture->linesize, 0, h, bgr->data,
                  bgr->linesize);

        // The stamps say how long this picture stands for, also when the
        // pictures skipped by fast decoding were reordered ones before it.
        double interval = ShowIntervalMs(m_nFrameInterval, m_nFps, frame->nSkipped);
        const double untilNext = (nextPts - frame->dPts) * m_dVideoTimeBase;
        if (nextPts >= 0 && untilNext > 0 && untilNext <= kMaxStampStep)
            interval = untilNext * 1000.0;
        frame.reset();
        const bool wallPaced = !m_bHasAudio || SoundOver();
        const bool restarted = serial != m_nSeekSerial || shown == 0;
        serial = m_nSeekSerial;
        if (wallPaced) {
            if (restarted || !wasWallPaced)
                wall.Restart();
            wokeUs = 0;
            PacingWait(wall.Next(m_dVideoClock, interval), serial);
        }
        ShowPicture(bgr->data[0], w, h);
        const int64_t now = av_gettime();
        if (lastShownUs != 0)
            gapTotalUs += now - lastShownUs;
        const bool haveGap = lastShownUs != 0 && shown > 0;
        lastShownUs = now;

        if (!wallPaced) {
            int sleep = PacingSleepMs(m_dVideoClock, HeardClock(), static_cast<int>(interval));
            if (sleep < 0)
                sleep = FreeRunSleepMs(haveGap ? gapTotalUs / 1000.0 / shown : -1.0, interval);
            // The sleep spaces presentations: the time taken since the last
            // one woke (conversion, display) is part of it, or a late
            // picture could never catch up with the sound.
            if (wokeUs != 0)
                sleep = std::max(kMinSleepMs, sleep - static_cast<int>((now - wokeUs) / 1000));
            PacingWait(sleep, serial);
            // Until the sound has reached it, the first picture stays.
            if (restarted)
                AwaitSound(m_dVideoClock, serial);
            wokeUs = av_gettime();
        }
        wasWallPaced = wallPaced;
        ++shown;
    }
}
