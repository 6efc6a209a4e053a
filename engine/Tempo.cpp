#include "engine/Tempo.h"

#include <cstdio>
#include <string>

#include "platform/Trace.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
}

namespace {
// One atempo filter takes factors from this up.
constexpr double kMinStep = 0.5;
}  // namespace

Tempo::~Tempo() { Reset(); }

void Tempo::Reset() {
    avfilter_graph_free(&m_pGraph);
    m_pSource = m_pSink = nullptr;
    m_nFormat = -1;
    m_nSamplesOut = 0;
}

bool Tempo::Build(const AVFrame& like, double speed) {
    Reset();
    m_pGraph = avfilter_graph_alloc();
    if (!m_pGraph)
        return false;
    char layout[64] = "";
    av_channel_layout_describe(&like.ch_layout, layout, sizeof layout);
    char args[256];
    std::snprintf(args, sizeof args, "sample_rate=%d:sample_fmt=%s:channel_layout=%s:time_base=1/%d", like.sample_rate,
                  av_get_sample_fmt_name(static_cast<AVSampleFormat>(like.format)), layout, like.sample_rate);
    // atempo=0.5,atempo=0.5 for 0.25: each step within what one filter takes.
    std::string chain;
    double left = speed;
    while (left < kMinStep) {
        chain += "atempo=0.5,";
        left /= kMinStep;
    }
    chain += "atempo=" + std::to_string(left);
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    bool ok = outputs && inputs &&
              avfilter_graph_create_filter(&m_pSource, avfilter_get_by_name("abuffer"), "in", args, nullptr,
                                           m_pGraph) >= 0 &&
              avfilter_graph_create_filter(&m_pSink, avfilter_get_by_name("abuffersink"), "out", nullptr, nullptr,
                                           m_pGraph) >= 0;
    if (ok) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = m_pSource;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = m_pSink;
        ok = avfilter_graph_parse_ptr(m_pGraph, chain.c_str(), &inputs, &outputs, nullptr) >= 0 &&
             avfilter_graph_config(m_pGraph, nullptr) >= 0;
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (!ok) {
        DebugTrace("tempo: no filter for %s\r\n", chain.c_str());
        Reset();
        return false;
    }
    m_dSpeed = speed;
    m_nRate = like.sample_rate;
    m_nFormat = like.format;
    m_nChannels = like.ch_layout.nb_channels;
    return true;
}

bool Tempo::Push(AVFrame* frame, double stamp, double speed, std::vector<Out>& out) {
    const bool fits = m_pGraph && speed == m_dSpeed && frame->sample_rate == m_nRate && frame->format == m_nFormat &&
                      frame->ch_layout.nb_channels == m_nChannels;
    if (!fits) {
        if (!Build(*frame, speed))
            return false;
        m_dStart = stamp;
    }
    if (av_buffersrc_add_frame(m_pSource, frame) < 0) {
        av_frame_unref(frame);
        return true;
    }
    for (;;) {
        AVFramePtr ready(av_frame_alloc());
        if (!ready || av_buffersink_get_frame(m_pSink, ready.get()) < 0)
            break;
        // Each sample given out stands for `speed` samples of the medium.
        const double at = m_dStart + double(m_nSamplesOut) * m_dSpeed / m_nRate;
        m_nSamplesOut += ready->nb_samples;
        out.push_back(Out{std::move(ready), at});
    }
    return true;
}
