#pragma once
// Owning handles for FFmpeg objects, each released with FFmpeg's own function.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

struct AVPacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AVCodecContextFree {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct AVFrameFree {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};

using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketFree>;
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextFree>;
using AVFramePtr = std::unique_ptr<AVFrame, AVFrameFree>;

// Releases a package handed out by the demuxer or a queue (payload and record).
inline void FreePacket(AVPacket* pkt) {
    if (pkt)
        av_packet_free(&pkt);
}
