#pragma once
// Converts decoded sound to what the output plays: at most two interleaved
// channels of unsigned 8-bit (from 8-bit input) or signed 16-bit samples,
// rate unchanged. Input already in that shape passes through uncopied.
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

    SwrContext* m_pCtx = nullptr;
    int m_nInChannels = 0;
    int m_nInFmt = -1;  // FFmpeg sample format it was made for
    int m_nOutChannels = 0;
    int m_nOutFmt = -1;
    int m_nRate = 0;
    std::vector<uint8_t> m_buffer;  // grows to the largest chunk, then stays
};
