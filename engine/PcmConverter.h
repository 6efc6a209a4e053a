#pragma once
// Converts decoded sound to what the output plays: at most two interleaved
// channels of unsigned 8-bit (from 8-bit input) or signed 16-bit samples,
// rate unchanged. Input already in that shape passes through uncopied.
// More than two channels are mixed down at full level (the centre at -3 dB
// in each ear, as other players do, not scaled down so that the sum of all
// channels fits) and then held below full scale by a limiter, so dialogue
// stays as loud as in stereo and nothing clips.
//
// Threads: one at a time (the audio decode thread).

#include <cstdint>
#include <vector>

extern "C" {
struct SwrContext;
}

class PcmConverter {
public:
    // Converted chunks of this size or more are dropped whole.
    static constexpr int kMaxConvertedChunk = 1048576;

    PcmConverter() = default;
    ~PcmConverter();
    PcmConverter(const PcmConverter&) = delete;
    PcmConverter& operator=(const PcmConverter&) = delete;

    struct Pcm {
        const uint8_t* data = nullptr;
        int length = 0;  // bytes; 0 when dropped
    };
    // fmt is an FFmpeg AVSampleFormat; planar input comes as one pointer per
    // plane. -1 for input it cannot convert, else 0 with the PCM in `out`,
    // valid until the next call.
    int Convert(int channels, int fmt, int rate, const uint8_t* const* planes, int samplesPerChannel, Pcm& out);

private:
    bool Prepare(int channels, int fmt, int rate, int outChannels, int outFmt);
    // Mixed-down float stereo to S16 in m_buffer, through the limiter.
    void Limit(const float* mixed, int frames);

    SwrContext* m_pCtx = nullptr;
    int m_nInChannels = 0;
    int m_nInFmt = -1;  // FFmpeg sample format it was made for
    int m_nOutChannels = 0;
    int m_nOutFmt = -1;
    int m_nRate = 0;
    std::vector<uint8_t> m_buffer;  // grows to the largest chunk, then stays
    std::vector<float> m_mixed;     // the mixdown before the limiter
    float m_fGain = 1.0f;           // the limiter's gain, 1 when idle
};
