#pragma once
// The video stream's decoder: packages to pictures in the frame queue, with
// the fast-decoding shortcuts and the pruning of stale groups of pictures,
// and an estimate of the frame interval for pacing.
//
// Threads: SetStream on the controlling thread with the thread stopped; the
// observers from any thread; the rest on its own thread.

#include <atomic>
#include <functional>

#include "engine/Decoder.h"
#include "engine/FfmpegPtr.h"

class FrameQueue;

class VideoDecoder final : public Decoder {
public:
    // Runs of this many packages or fewer before a key package are dropped
    // while decoding is behind; also the queue length the interval estimate needs.
    static constexpr int kDropRunLimit = 40;
    static constexpr int kMaxSkipCount = 4;  // cap of VideoFrame::nSkipped
    static constexpr int kDefaultIntervalMs = 40;

    // isLate(stamp): a picture with this stamp (seconds) is already due.
    VideoDecoder(PacketQueue& pkts, FrameQueue& frames, std::function<bool(double)> isLate);
    ~VideoDecoder() override { Join(); }

    // Seconds per stamp unit and the stated frame rate of the stream.
    void SetStream(double timeBase, int fps);
    double TimeBase() const { return m_dTimeBase; }
    int Fps() const { return m_nFps; }
    // The estimated time between pictures, in ms.
    int FrameIntervalMs() const { return m_nFrameInterval; }
    // Pictures produced since the decoder was made.
    int FramesDecoded() const { return m_nFramesDecoded; }

private:
    void Run() override;
    void OnFlush() override { m_bNewestValid = false; }
    void Decode(const AVPacket& pkt);
    void UpdateFrameInterval();
    bool DecodingBehind() const;

    FrameQueue& m_frames;
    std::function<bool(double)> m_isLate;
    std::atomic<double> m_dTimeBase{0.001};
    std::atomic<int> m_nFps{24};
    std::atomic<int> m_nFrameInterval{kDefaultIntervalMs};
    std::atomic<int> m_nFramesDecoded{0};
    // Decode thread only.
    AVFramePtr m_pFrame{av_frame_alloc()};
    bool m_bIntervalLocked = false;
    int m_nSkip = 0;              // decode calls in a row without a picture
    int m_nTotalFram = 0;         // decode calls
    int m_nNoPicture = 0;         // of them without a picture
    bool m_bNewestValid = false;  // a picture was decoded since the start or the last flush
    double m_dNewestPicture = 0.0;  // its stamp, seconds
};
