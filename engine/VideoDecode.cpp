// Video decode thread: packages to pictures in the frame queue.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "engine/FrameQueue.h"
#include "engine/VideoDecoder.h"
#include "engine/VideoDemuxer.h"
#include "engine/VideoFrame.h"
#include "platform/Trace.h"

extern "C" {
#include <libavutil/time.h>
}

namespace {

constexpr int kIntervalTolerance = 3;       // ms, accepting an estimated interval
constexpr double kMaxIntervalMs = 60000.0;  // an estimated frame interval beyond this is not one
constexpr const char* kDumpPath = "f://playpkg.dat";
// A step towards more shortcuts waits this long after the last move, so the
// one taken can show its effect before the next; a step back waits longer,
// so that a decoder that only just caught up does not flap.
constexpr int64_t kStepUpGapUs = 250000;
constexpr int64_t kStepDownGapUs = 2000000;
// The newest picture is this far ahead of the sound: decoding has caught up.
constexpr double kCaughtUpLeadS = 0.3;

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

}  // namespace

VideoDecoder::VideoDecoder(PacketQueue& pkts, FrameQueue& frames, std::function<double(double)> leadOf)
    : Decoder(pkts), m_frames(frames), m_leadOf(std::move(leadOf)) {}

void VideoDecoder::SetStream(double timeBase, int fps, int rotation) {
    m_dTimeBase = timeBase;
    m_nFps = fps;
    m_nRotation = rotation;
}

void VideoDecoder::Run() {
    m_bIntervalLocked = false;
    m_nSkip = 0;
    m_nTotalFram = 0;
    m_nNoPicture = 0;
    m_bNewestValid = false;
    m_eShortcut = Shortcut::None;
    m_nShortcutChangedUs = 0;
    int sinceKey = 0;
    while (m_frames.WaitWritable()) {
        AVPacketPtr pkt = NextPackage();
        if (!pkt)
            break;
        Decode(*pkt);
        ++sinceKey;
        if (pkt->flags & AV_PKT_FLAG_KEY) {
            DebugTrace("DecodeOneVideoFram %d %d", pkt->flags, sinceKey);
            sinceKey = 0;
        }
    }
}

// One decode call per package. The send/receive API may return no picture or
// several for one package; all pictures received after the call are queued in
// order, the first carrying nSkipped, and the call counts once in the skip
// counters. A picture's time stamp is the decoder's best-effort stamp, which
// belongs to that picture even when the decoder reorders; without one it is
// the package's pts, else its dts, else 0.
void VideoDecoder::Decode(const AVPacket& pkt) {
    if (!IsOpen())
        return;
    const unsigned serial = m_frames.Serial();
    UpdateFrameInterval();
    AdaptShortcut();
    if (!IsEndMarker(pkt))
        Dump().Append(pkt.data, pkt.size);
    AVCodecContext* ctx = Context();
    ApplyShortcut(ctx);
    const bool fast = m_eShortcut != Shortcut::None;
    // A picture due before the seek target is not shown: unless other
    // pictures refer to it, it need not be decoded at all.
    const double halfFrame = m_nFrameInterval / 2000.0;
    if (pkt.pts != AV_NOPTS_VALUE && double(pkt.pts) * m_dTimeBase < m_dSkipUntil - halfFrame)
        ctx->skip_frame = AVDISCARD_NONREF;

    if (const int ret = Send(pkt); ret < 0) {
        DebugTrace("avcodec_decode_video2 fail: %d\n", ret);
        return;
    }
    std::vector<std::unique_ptr<VideoFrame>> pictures;
    const int produced = Receive(pkt, pictures);
    if (produced < 0)
        return;
    DropBeforeTarget(pictures, IsEndMarker(pkt));
    if (!pictures.empty()) {
        m_dNewestPicture = pictures.back()->dPts * m_dTimeBase;
        m_bNewestValid = true;
        if (Current())  // else a seek has flushed the queues while it decoded
            m_frames.Push(pictures, serial);
    }
    ++m_nTotalFram;
    if (produced > 0) {
        m_nFramesDecoded += produced;
        if (fast)
            m_nFastDecoded += produced;
        m_nSkip = 0;
    } else {
        ++m_nNoPicture;
        ++m_nSkip;
        DebugTrace("Skip %d  m_nTotalFram:%5d %5d\r\n", m_nSkip, m_nTotalFram, m_nNoPicture);
    }
}

// Every picture the codec has after the package went in, deinterlaced where
// it is interlaced; the first carries the count of calls without a picture
// before it. Returns how many the codec gave, -1 when it failed with none.
int VideoDecoder::Receive(const AVPacket& pkt, std::vector<std::unique_ptr<VideoFrame>>& pictures) {
    AVCodecContext* ctx = Context();
    const int64_t pktStamp = pkt.pts != AV_NOPTS_VALUE ? pkt.pts : pkt.dts != AV_NOPTS_VALUE ? pkt.dts : 0;
    std::vector<AVFramePtr> ready;
    int produced = 0;
    int failure = 0;
    for (;;) {
        const int ret = avcodec_receive_frame(ctx, m_pFrame.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            break;
        if (ret < 0) {
            failure = ret;
            break;
        }
        const int64_t best = m_pFrame->best_effort_timestamp;
        m_pFrame->pts = best != AV_NOPTS_VALUE ? best : pktStamp;
        ++produced;
        m_deinterlacer.Push(m_pFrame.get(), ready);
        av_frame_unref(m_pFrame.get());
    }
    if (IsEndMarker(pkt))
        m_deinterlacer.Drain(ready);
    for (AVFramePtr& picture : ready) {
        const int skipped = pictures.empty() ? std::min(m_nSkip, kMaxSkipCount) : 0;
        if (auto frame = VideoFrame::TakeFrom(picture.get(), double(picture->pts), skipped))
            pictures.push_back(std::move(frame));
    }
    AfterReceiving(pkt);
    if (failure < 0) {
        DebugTrace("avcodec_decode_video2 fail: %d\n", failure);
        if (produced == 0)
            return -1;
    }
    return produced;
}

void VideoDecoder::DropBeforeTarget(std::vector<std::unique_ptr<VideoFrame>>& pictures, bool atEnd) {
    if (m_dSkipUntil == -INFINITY)
        return;
    const double earliest = m_dSkipUntil - m_nFrameInterval / 2000.0;
    auto kept = std::find_if(pictures.begin(), pictures.end(),
                             [&](const auto& frame) { return frame->dPts * m_dTimeBase >= earliest; });
    if (kept != pictures.begin())
        m_pBeforeTarget = std::move(*std::prev(kept));
    pictures.erase(pictures.begin(), kept);
    if (pictures.empty() && atEnd && m_pBeforeTarget)
        pictures.push_back(std::move(m_pBeforeTarget));
    if (!pictures.empty()) {
        m_dSkipUntil = -INFINITY;
        m_pBeforeTarget.reset();
    }
}

// The newest decoded picture already due means decoding has fallen behind:
// one more shortcut. Well ahead again, one fewer. Before the first picture
// (and after a seek) nothing is late.
void VideoDecoder::AdaptShortcut() {
    if (!m_bNewestValid)
        return;
    const double lead = m_leadOf(m_dNewestPicture);
    const int64_t now = av_gettime();
    const int64_t sinceChange = now - m_nShortcutChangedUs;
    Shortcut level = m_eShortcut;
    if (lead < 0 && level != Shortcut::StaleGroupsDropped && sinceChange >= kStepUpGapUs)
        level = Shortcut(int(level) + 1);
    else if (lead > kCaughtUpLeadS && level != Shortcut::None && sinceChange >= kStepDownGapUs)
        level = Shortcut(int(level) - 1);
    if (level != m_eShortcut) {
        m_eShortcut = level;
        m_nShortcutChangedUs = now;
    }
    if (lead < 0 && level == Shortcut::StaleGroupsDropped)
        m_pkts.DropShortRunsBeforeKeys(kDropRunLimit);
}

// Skipping non-reference pictures alternates with full decoding calls: a
// call that gave no picture is followed by one that decodes everything.
void VideoDecoder::ApplyShortcut(AVCodecContext* ctx) const {
    const Shortcut level = m_eShortcut;
    const bool skipNonRef = level >= Shortcut::NonRefSkipped && m_nSkip == 0;
    ctx->skip_loop_filter = level >= Shortcut::NoLoopFilter && (level == Shortcut::NoLoopFilter || m_nSkip == 0)
                                ? AVDISCARD_ALL
                                : AVDISCARD_DEFAULT;
    ctx->skip_idct = skipNonRef ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    ctx->skip_frame = skipNonRef ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
}

void VideoDecoder::UpdateFrameInterval() {
    if (m_bIntervalLocked)
        return;
    const PacketQueue::Span span = m_pkts.StampSpan();
    const int count = static_cast<int>(span.count);
    if (count <= kDropRunLimit) {
        m_nFrameInterval = 1000 / EffectiveFps(m_nFps);
        return;
    }
    if (span.first == AV_NOPTS_VALUE || span.last == AV_NOPTS_VALUE)
        return;
    // A peer's stamps and time base can be anything: the span is taken in
    // doubles and an interval beyond any frame rate is no estimate.
    const double perPackageMs = (double(span.last) - double(span.first)) * m_dTimeBase * 1000.0 / count;
    if (!(std::abs(perPackageMs) <= kMaxIntervalMs))
        return;
    const int estimate = static_cast<int>(std::trunc(perPackageMs));
    const int current = m_nFrameInterval;
    if (std::abs(estimate - current) < kIntervalTolerance || std::abs(estimate - current / 2) < kIntervalTolerance) {
        m_nFrameInterval = estimate;
        m_bIntervalLocked = true;
    }
}
