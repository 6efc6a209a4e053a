#include "engine/Presenter.h"

#include <algorithm>
#include <cmath>

#include "engine/FrameQueue.h"
#include "engine/Subtitles.h"
#include "engine/VideoDecoder.h"
#include "engine/VideoDemuxer.h"
#include "output/OutputHooks.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/time.h>
#include <libswscale/swscale.h>
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
// A sample aspect ratio beyond this stretch is a broken stream's; no side
// shown is longer than kMaxDisplaySide.
constexpr double kMaxAspectStretch = 4.0;
constexpr int kMaxDisplaySide = 16384;
// Pictures this wide or tall without a stated matrix are HD ones.
constexpr int kHdWidth = 1280;
constexpr int kHdHeight = 720;
// The first picture after a start or a seek waits at most this long for the
// sound to reach it (the device opens and plays its priming meanwhile).
constexpr int kStartSyncMaxMs = 1000;

int Scaled(int ms, Share share) { return ms * share.num / share.den; }

}  // namespace

Presenter::Presenter(FrameQueue& frames, const VideoDecoder& video, const PaceSource& pace, Subtitles& subtitles)
    : m_frames(frames), m_video(video), m_pace(pace), m_subtitles(subtitles), m_scaler(nullptr, sws_freeContext) {}

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

// The matrix the stream states; untagged, what players assume: BT.709 for
// HD sizes, BT.601 below.
int Presenter::ColourMatrix(const AVFrame& picture) {
    switch (picture.colorspace) {
    case AVCOL_SPC_BT709:
        return SWS_CS_ITU709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M:
        return SWS_CS_SMPTE240M;
    case AVCOL_SPC_FCC:
        return SWS_CS_FCC;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return SWS_CS_BT2020;
    default:
        return picture.width >= kHdWidth || picture.height >= kHdHeight ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

// The picture's shape as shown: its sample aspect ratio widens or narrows
// it (a PAL picture of 720x576 at 64:45 shows as 1024x576); an absurd ratio
// from a broken stream is not followed.
void Presenter::DisplaySize(const VideoFrame& frame, int& width, int& height) {
    width = frame.nWidth;
    height = frame.nHeight;
    const AVRational sar = frame.pPicture->sample_aspect_ratio;
    if (sar.num <= 0 || sar.den <= 0)
        return;
    const double ratio = av_q2d(sar);
    if (ratio < 1.0 / kMaxAspectStretch || ratio > kMaxAspectStretch)
        return;
    width = std::clamp(static_cast<int>(std::lround(width * ratio / 2)) * 2, 2, kMaxDisplaySide);
}

bool Presenter::Convert(const VideoFrame& frame) {
    const int w = frame.nWidth, h = frame.nHeight;
    int dw = w, dh = h;
    DisplaySize(frame, dw, dh);
    const AVFrame& picture = *frame.pPicture;
    const int matrix = ColourMatrix(picture);
    const auto fmt = static_cast<AVPixelFormat>(frame.nPixFmt);
    const bool fullRange = picture.color_range == AVCOL_RANGE_JPEG || fmt == AV_PIX_FMT_YUVJ420P ||
                           fmt == AV_PIX_FMT_YUVJ422P || fmt == AV_PIX_FMT_YUVJ444P;
    if (!m_scaler || w != m_nScalerWidth || h != m_nScalerHeight || dw != m_bgr.width || dh != m_bgr.height ||
        frame.nPixFmt != m_nScalerFmt || matrix != m_nScalerMatrix || fullRange != m_bScalerFullRange) {
        m_scaler.reset(sws_getCachedContext(m_scaler.release(), w, h, fmt, dw, dh, AV_PIX_FMT_BGR24, SWS_BILINEAR,
                                            nullptr, nullptr, nullptr));
        if (m_scaler) {
            const int* coefficients = sws_getCoefficients(matrix);
            sws_setColorspaceDetails(m_scaler.get(), coefficients, fullRange, coefficients, 1, 0, 1 << 16, 1 << 16);
        }
        m_nScalerWidth = w;
        m_nScalerHeight = h;
        m_nScalerFmt = frame.nPixFmt;
        m_nScalerMatrix = matrix;
        m_bScalerFullRange = fullRange;
    }
    if (!m_scaler)
        return false;
    // One picture buffer while the size holds: a fresh one per picture
    // would be mapped and faulted in page by page each time.
    if (!m_bgr.Fit(dw, dh))
        return false;
    sws_scale(m_scaler.get(), picture.data, picture.linesize, 0, h, m_bgr.data, m_bgr.linesize);
    m_pShown = &m_bgr;
    const int rotation = m_video.Rotation();
    if (rotation != 0 && m_turned.Fit(rotation == 180 ? dw : dh, rotation == 180 ? dh : dw)) {
        Turn(m_bgr, m_turned, rotation);
        m_pShown = &m_turned;
    }
    // The subtitles due with this picture, drawn into it at the size it shows.
    m_subtitles.Render(m_pShown->data[0], m_pShown->width, m_pShown->height, m_pShown->linesize[0],
                       frame.dPts * m_video.TimeBase());
    return true;
}

// Turns a BGR24 picture clockwise by 90, 180 or 270 degrees into `to`.
void Presenter::Turn(const Canvas& from, Canvas& to, int rotation) {
    const int w = from.width, h = from.height;
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = from.data[0] + size_t(y) * from.linesize[0];
        for (int x = 0; x < w; ++x, src += 3) {
            int tx = x, ty = y;
            if (rotation == 90)
                tx = h - 1 - y, ty = x;
            else if (rotation == 180)
                tx = w - 1 - x, ty = h - 1 - y;
            else
                tx = y, ty = w - 1 - x;
            uint8_t* dst = to.data[0] + size_t(ty) * to.linesize[0] + size_t(tx) * 3;
            dst[0] = src[0], dst[1] = src[1], dst[2] = src[2];
        }
    }
}

bool Presenter::Canvas::Fit(int w, int h) {
    if (picture && w == width && h == height)
        return true;
    picture = std::make_unique<VideoPicture>();
    width = height = 0;
    if (av_image_alloc(picture->data, picture->linesize, w, h, AV_PIX_FMT_BGR24, 1) < 0) {
        picture.reset();
        return false;
    }
    std::copy(std::begin(picture->data), std::end(picture->data), data);
    std::copy(std::begin(picture->linesize), std::end(picture->linesize), linesize);
    width = w;
    height = h;
    return true;
}

void Presenter::Show() {
    ShowPicture(m_pShown->data[0], m_pShown->width, m_pShown->height);
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
        if (!Convert(*frame))
            continue;
        frame.reset();

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
        Show();
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
