#include "engine/Deinterlacer.h"

#include <cstdio>

#include "platform/Trace.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace {
// The pictures' stamps go through the filter as they are, in a unit it is told.
constexpr AVRational kStampUnit{1, 1000000};
}  // namespace

Deinterlacer::~Deinterlacer() { Reset(); }

void Deinterlacer::Reset() {
    avfilter_graph_free(&m_pGraph);
    m_pSource = m_pSink = nullptr;
    m_nFormat = -1;
}

// bwdif over every picture, deinterlacing only those flagged interlaced
// (a stream may mix them), with the field order each one states.
bool Deinterlacer::Build(const AVFrame& like) {
    Reset();
    m_pGraph = avfilter_graph_alloc();
    if (!m_pGraph)
        return false;
    char args[256];
    const AVRational sar = like.sample_aspect_ratio.num > 0 ? like.sample_aspect_ratio : AVRational{1, 1};
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", like.width,
                  like.height, like.format, kStampUnit.num, kStampUnit.den, sar.num, sar.den);
    AVFilterContext* bwdif = nullptr;
    if (avfilter_graph_create_filter(&m_pSource, avfilter_get_by_name("buffer"), "in", args, nullptr, m_pGraph) < 0 ||
        avfilter_graph_create_filter(&bwdif, avfilter_get_by_name("bwdif"), "bwdif", "mode=send_frame:deint=interlaced",
                                     nullptr, m_pGraph) < 0 ||
        avfilter_graph_create_filter(&m_pSink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, m_pGraph) <
            0 ||
        avfilter_link(m_pSource, 0, bwdif, 0) < 0 || avfilter_link(bwdif, 0, m_pSink, 0) < 0 ||
        avfilter_graph_config(m_pGraph, nullptr) < 0) {
        DebugTrace("deinterlacer: no filter for %dx%d format %d\r\n", like.width, like.height, like.format);
        Reset();
        return false;
    }
    m_nWidth = like.width;
    m_nHeight = like.height;
    m_nFormat = like.format;
    return true;
}

void Deinterlacer::Collect(std::vector<AVFramePtr>& out) {
    for (;;) {
        AVFramePtr picture(av_frame_alloc());
        if (!picture || av_buffersink_get_frame(m_pSink, picture.get()) < 0)
            return;
        // The filter counts in units of its own (half the input's): back to the stream's.
        if (picture->pts != AV_NOPTS_VALUE)
            picture->pts = av_rescale_q(picture->pts, av_buffersink_get_time_base(m_pSink), kStampUnit);
        out.push_back(std::move(picture));
    }
}

void Deinterlacer::Push(AVFrame* frame, std::vector<AVFramePtr>& out) {
    const bool fits = m_pGraph && frame->width == m_nWidth && frame->height == m_nHeight && frame->format == m_nFormat;
    if (!fits && m_pGraph)
        Drain(out);  // a new size or format: what was held comes out first
    if (!fits && (!frame->interlaced_frame || !Build(*frame))) {
        AVFramePtr whole(av_frame_alloc());
        if (whole) {
            av_frame_move_ref(whole.get(), frame);
            out.push_back(std::move(whole));
        }
        return;
    }
    if (av_buffersrc_add_frame(m_pSource, frame) < 0) {
        av_frame_unref(frame);
        return;
    }
    Collect(out);
}

void Deinterlacer::Drain(std::vector<AVFramePtr>& out) {
    if (!m_pGraph)
        return;
    if (av_buffersrc_add_frame(m_pSource, nullptr) >= 0)
        Collect(out);
    Reset();
}
