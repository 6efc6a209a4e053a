#include "engine/PcmConverter.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace {
// The limiter keeps peaks at this share of full scale; its gain recovers
// towards 1 by this share a sample (about 50 ms to within 1/e at 48 kHz).
constexpr float kLimitPeak = 0.98f;
constexpr float kLimitRelease = 1.0f / 2400;
}  // namespace

PcmConverter::~PcmConverter() { swr_free(&m_pCtx); }

void PcmConverter::Limit(const float* mixed, int frames) {
    auto* out = reinterpret_cast<int16_t*>(m_buffer.data());
    for (int i = 0; i < frames; ++i) {
        const float peak = std::max(std::abs(mixed[2 * i]), std::abs(mixed[2 * i + 1]));
        m_fGain += (1.0f - m_fGain) * kLimitRelease;
        if (peak * m_fGain > kLimitPeak)
            m_fGain = kLimitPeak / peak;  // at once: the sample itself never clips
        for (int c = 0; c < 2; ++c)
            out[2 * i + c] = static_cast<int16_t>(std::lrint(std::clamp(mixed[2 * i + c] * m_fGain, -1.0f, 1.0f) * 32767.0f));
    }
}

bool PcmConverter::Prepare(int channels, int fmt, int rate, int outChannels, int outFmt) {
    if (m_pCtx && m_nInChannels == channels && m_nInFmt == fmt && m_nOutChannels == outChannels &&
        m_nOutFmt == outFmt && m_nRate == rate)
        return true;
    swr_free(&m_pCtx);
    m_nInFmt = -1;
    AVChannelLayout inLayout, outLayout;
    av_channel_layout_default(&inLayout, channels);
    av_channel_layout_default(&outLayout, outChannels);
    int rc = swr_alloc_set_opts2(&m_pCtx, &outLayout, AVSampleFormat(outFmt), rate, &inLayout, AVSampleFormat(fmt),
                                 rate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (rc < 0 || swr_init(m_pCtx) < 0) {
        swr_free(&m_pCtx);
        return false;
    }
    m_nInChannels = channels;
    m_nInFmt = fmt;
    m_nOutChannels = outChannels;
    m_nOutFmt = outFmt;
    m_nRate = rate;
    return true;
}

int PcmConverter::Convert(int channels, int fmt, int rate, const uint8_t* const* planes, int samplesPerChannel,
                          Pcm& out) {
    out = Pcm{};
    const auto inFmt = static_cast<AVSampleFormat>(fmt);
    const int inBytes = av_get_bytes_per_sample(inFmt);
    if (!planes || !planes[0] || channels <= 0 || samplesPerChannel <= 0 || inBytes <= 0)
        return -1;
    const AVSampleFormat packed = av_get_packed_sample_fmt(inFmt);
    const int outChannels = std::min(channels, 2);
    const AVSampleFormat outFmt = packed == AV_SAMPLE_FMT_U8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16;
    const bool interleaved = !av_sample_fmt_is_planar(inFmt) || channels == 1;

    if (packed == outFmt && channels <= 2 && interleaved) {
        out = Pcm{planes[0], samplesPerChannel * channels * inBytes};
        return 0;
    }
    // A mixdown of 16-bit sound or better goes through float, unscaled, to the limiter.
    const bool mixdown = channels > 2 && outFmt == AV_SAMPLE_FMT_S16;
    if (!Prepare(channels, fmt, rate, outChannels, mixdown ? AV_SAMPLE_FMT_FLT : outFmt))
        return -1;
    const int outBytesPerFrame = av_get_bytes_per_sample(outFmt) * outChannels;
    const int64_t outSize = static_cast<int64_t>(samplesPerChannel) * outBytesPerFrame;
    if (outSize < 1 || outSize >= kMaxConvertedChunk)
        return 0;  // dropped whole
    if (m_buffer.size() < size_t(outSize))
        m_buffer.resize(outSize);
    if (mixdown && m_mixed.size() < size_t(samplesPerChannel) * 2)
        m_mixed.resize(size_t(samplesPerChannel) * 2);
    uint8_t* dst = mixdown ? reinterpret_cast<uint8_t*>(m_mixed.data()) : m_buffer.data();
    const int converted = swr_convert(m_pCtx, &dst, samplesPerChannel, const_cast<const uint8_t**>(planes),
                                      samplesPerChannel);
    if (converted < 0)
        return -1;
    if (mixdown)
        Limit(m_mixed.data(), converted);
    out = Pcm{m_buffer.data(), converted * outBytesPerFrame};
    return 0;
}
