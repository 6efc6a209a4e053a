#pragma once
// The video stream's decoder: packages to pictures in the frame queue, and
// an estimate of the frame interval for pacing. It decodes every picture in
// full while it keeps up with the sound; once the pictures it produces are
// already due it cuts corners step by step (the loop filter, then the
// non-reference pictures, then whole stale groups), and steps back once it
// is ahead again.
//
// Threads: SetStream on the controlling thread with the thread stopped; the
// observers from any thread; the rest on its own thread.

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "engine/VideoFrame.h"

#include "engine/Decoder.h"
#include "engine/Deinterlacer.h"
#include "engine/FfmpegPtr.h"

class FrameQueue;

class VideoDecoder final : public Decoder {
public:
    // Runs of this many packages or fewer before a key package are dropped
    // while decoding is behind; also the queue length the interval estimate needs.
    static constexpr int kDropRunLimit = 40;
    static constexpr int kMaxSkipCount = 4;  // cap of VideoFrame::nSkipped
    static constexpr int kDefaultIntervalMs = 40;

    // How far decoding cuts corners, from none up.
    enum class Shortcut { None, NoLoopFilter, NonRefSkipped, StaleGroupsDropped };

    // leadOf(stamp): seconds until a picture with this stamp is due (negative
    // once it is late); +infinity while nothing can be late yet.
    VideoDecoder(PacketQueue& pkts, FrameQueue& frames, std::function<double(double)> leadOf);
    ~VideoDecoder() override { Join(); }

    // Seconds per stamp unit, the stated frame rate of the stream and the
    // clockwise turn (degrees) its pictures ask for.
    void SetStream(double timeBase, int fps, int rotation = 0);
    int Rotation() const { return m_nRotation; }
    double TimeBase() const { return m_dTimeBase; }
    int Fps() const { return m_nFps; }
    // The estimated time between pictures, in ms.
    int FrameIntervalMs() const { return m_nFrameInterval; }
    // Pictures produced since the decoder was made, and of them those
    // decoded with a shortcut.
    int FramesDecoded() const { return m_nFramesDecoded; }
    int FastDecoded() const { return m_nFastDecoded; }
    Shortcut CurrentShortcut() const { return m_eShortcut; }

private:
    void Run() override;
    void OnFlush() override {
        m_bNewestValid = false;
        m_pBeforeTarget.reset();
        m_deinterlacer.Reset();
    }
    // Keeps the pictures from the seek target on; the last one before it
    // stands in when the medium ends first (a seek past the end).
    void DropBeforeTarget(std::vector<std::unique_ptr<VideoFrame>>& pictures, bool atEnd);
    void Decode(const AVPacket& pkt);
    int Receive(const AVPacket& pkt, std::vector<std::unique_ptr<VideoFrame>>& pictures);
    void UpdateFrameInterval();
    // Moves the shortcut a step towards what the newest picture's lead needs,
    // and sets the codec's skipping for this package.
    void AdaptShortcut();
    void ApplyShortcut(AVCodecContext* ctx) const;

    FrameQueue& m_frames;
    std::function<double(double)> m_leadOf;
    std::atomic<double> m_dTimeBase{0.001};
    std::atomic<int> m_nFps{24};
    std::atomic<int> m_nRotation{0};
    std::atomic<int> m_nFrameInterval{kDefaultIntervalMs};
    std::atomic<int> m_nFramesDecoded{0};
    std::atomic<int> m_nFastDecoded{0};
    std::atomic<Shortcut> m_eShortcut{Shortcut::None};
    // Decode thread only.
    AVFramePtr m_pFrame{av_frame_alloc()};
    bool m_bIntervalLocked = false;
    int m_nSkip = 0;              // decode calls in a row without a picture
    int m_nTotalFram = 0;         // decode calls
    int m_nNoPicture = 0;         // of them without a picture
    bool m_bNewestValid = false;  // a picture was decoded since the start or the last flush
    double m_dNewestPicture = 0.0;  // its stamp, seconds
    int64_t m_nShortcutChangedUs = 0;  // when the shortcut last moved
    std::unique_ptr<VideoFrame> m_pBeforeTarget;
    Deinterlacer m_deinterlacer;
};
