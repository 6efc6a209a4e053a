#include "engine/SubtitlePixels.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#define SIVO_PIXELS_AVX2 1
#endif

namespace {

#if defined(__SSE2__)
// Eight bytes of a coverage mask as weights on 0..256 (coverage times
// opacity); false when none of them covers.
inline bool Weights(const uint8_t* src, int opacity, __m128i& a) {
    uint64_t eight;
    std::memcpy(&eight, src, 8);
    if (eight == 0)
        return false;
    a = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src)), _mm_setzero_si128());
    if (opacity != 255)
        a = _mm_mulhi_epu16(_mm_adds_epu16(_mm_mullo_epi16(a, _mm_set1_epi16(short(opacity))), _mm_set1_epi16(128)),
                            _mm_set1_epi16(257));
    a = _mm_add_epi16(a, _mm_srli_epi16(a, 7));
    return true;
}
#endif

#if defined(SIVO_PIXELS_AVX2)
// Eight pixels at a time on CPUs with AVX2, the same sums as the rows'
// own; each returns where it stopped, for them to go on from.
bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// (picture * (256 - a) + colour * a + 128) >> 8 per channel.
__attribute__((target("avx2"), always_inline)) inline __m256i MixAvx2(__m256i picture, __m256i colour, __m256i a) {
    const __m256i sum = _mm256_add_epi16(_mm256_mullo_epi16(picture, _mm256_sub_epi16(_mm256_set1_epi16(256), a)),
                                         _mm256_mullo_epi16(colour, a));
    return _mm256_srli_epi16(_mm256_add_epi16(sum, _mm256_set1_epi16(128)), 8);
}

__attribute__((target("avx2"))) int BlendAvx2(const uint8_t* src, uint8_t* px, int x, int x1, int b, int g, int r,
                                              int opacity, bool layer, int& any) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i colour = _mm256_setr_epi16(short(b), short(g), short(r), 0, short(b), short(g), short(r), 0,
                                             short(b), short(g), short(r), 0, short(b), short(g), short(r), 0);
    // Each pixel's weight (two bytes of the eight) over its channels, for
    // the first and the last two pixels of each 128-bit lane; in a layer over
    // the fourth channel too, the share of the picture left.
    const __m256i firstTwo =
        layer ? _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 2, 3, 2, 3, 2, 3, 2, 3,  //
                                 8, 9, 8, 9, 8, 9, 8, 9, 10, 11, 10, 11, 10, 11, 10, 11)
              : _mm256_setr_epi8(0, 1, 0, 1, 0, 1, -1, -1, 2, 3, 2, 3, 2, 3, -1, -1,  //
                                 8, 9, 8, 9, 8, 9, -1, -1, 10, 11, 10, 11, 10, 11, -1, -1);
    const __m256i lastTwo =
        layer ? _mm256_setr_epi8(4, 5, 4, 5, 4, 5, 4, 5, 6, 7, 6, 7, 6, 7, 6, 7,  //
                                 12, 13, 12, 13, 12, 13, 12, 13, 14, 15, 14, 15, 14, 15, 14, 15)
              : _mm256_setr_epi8(4, 5, 4, 5, 4, 5, -1, -1, 6, 7, 6, 7, 6, 7, -1, -1,  //
                                 12, 13, 12, 13, 12, 13, -1, -1, 14, 15, 14, 15, 14, 15, -1, -1);
    for (; x + 8 <= x1; x += 8) {
        __m128i a;
        if (!Weights(src + x, opacity, a))
            continue;
        any = 1;
        const __m256i both = _mm256_broadcastsi128_si256(a);
        auto* at = reinterpret_cast<__m256i*>(px + size_t(x) * 4);
        const __m256i picture = _mm256_loadu_si256(at);
        _mm256_storeu_si256(at, _mm256_packus_epi16(
                                    MixAvx2(_mm256_unpacklo_epi8(picture, zero), colour, _mm256_shuffle_epi8(both, firstTwo)),
                                    MixAvx2(_mm256_unpackhi_epi8(picture, zero), colour, _mm256_shuffle_epi8(both, lastTwo))));
    }
    return x;
}

// A byte b repeated in both halves of a 16-bit lane is b * 257, b / 255 in
// sixteen bits: the high half of the product of two such, shifted by 8, is
// their product as a byte (Kept). The fourth channel keeps all.
__attribute__((target("avx2"), always_inline)) inline __m256i KeepAvx2(__m256i picture, __m256i shares) {
    const __m256i fourth = _mm256_set1_epi64x(int64_t(0xffff000000000000ull));
    return _mm256_srli_epi16(_mm256_mulhi_epu16(picture, _mm256_or_si256(shares, fourth)), 8);
}

// The picture kept by the layer's fourth byte, then the layer's colour
// added; all within 128-bit lanes.
__attribute__((target("avx2"))) int ApplyAvx2(const uint8_t* layer, uint8_t* px, int n) {
    // Each pixel's share repeated over its three channels, for the first and
    // the last two pixels of each lane; the fourth keeps all of the picture.
    const __m256i sharesFirst = _mm256_setr_epi8(3, 3, 3, 3, 3, 3, -1, -1, 7, 7, 7, 7, 7, 7, -1, -1,  //
                                                 3, 3, 3, 3, 3, 3, -1, -1, 7, 7, 7, 7, 7, 7, -1, -1);
    const __m256i sharesLast = _mm256_setr_epi8(11, 11, 11, 11, 11, 11, -1, -1, 15, 15, 15, 15, 15, 15, -1, -1,  //
                                                11, 11, 11, 11, 11, 11, -1, -1, 15, 15, 15, 15, 15, 15, -1, -1);
    const __m256i colours = _mm256_set1_epi32(0x00ffffff);
    int x = 0;
    for (; x + 8 <= n; x += 8) {
        const __m256i over = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(layer + size_t(x) * 4));
        auto* at = reinterpret_cast<__m256i*>(px + size_t(x) * 4);
        const __m256i picture = _mm256_loadu_si256(at);
        const __m256i kept =
            _mm256_packus_epi16(KeepAvx2(_mm256_unpacklo_epi8(picture, picture), _mm256_shuffle_epi8(over, sharesFirst)),
                                KeepAvx2(_mm256_unpackhi_epi8(picture, picture), _mm256_shuffle_epi8(over, sharesLast)));
        _mm256_storeu_si256(at, _mm256_adds_epu8(kept, _mm256_and_si256(over, colours)));
    }
    return x;
}
#endif

}  // namespace

namespace SubtitlePixels {

unsigned Kept(unsigned picture, unsigned share) { return (picture * 257 * (share * 257)) >> 24; }

bool BlendRow(const uint8_t* mask, uint8_t* px, int n, int b, int g, int r, int opacity, bool layer) {
    int any = 0, x = 0;
#if defined(SIVO_PIXELS_AVX2)
    if (HasAvx2())
        x = BlendAvx2(mask, px, x, n, b, g, r, opacity, layer, any);
#endif
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), full = _mm_set1_epi16(256), rounding = _mm_set1_epi16(128);
    const __m128i colour = _mm_setr_epi16(short(b), short(g), short(r), 0, short(b), short(g), short(r), 0);
    const __m128i channels = layer ? _mm_set1_epi16(-1) : _mm_setr_epi16(-1, -1, -1, 0, -1, -1, -1, 0);
    const auto mix = [&](__m128i picture, __m128i a) {
        const __m128i sum = _mm_add_epi16(_mm_mullo_epi16(picture, _mm_sub_epi16(full, a)), _mm_mullo_epi16(colour, a));
        return _mm_srli_epi16(_mm_add_epi16(sum, rounding), 8);
    };
    // Two pixels' weights over their channels.
    const auto spread = [&](__m128i pairs, bool high) {
        return _mm_and_si128(high ? _mm_unpackhi_epi32(pairs, pairs) : _mm_unpacklo_epi32(pairs, pairs), channels);
    };
    for (; x + 8 <= n; x += 8) {
        __m128i a;
        if (!Weights(mask + x, opacity, a))
            continue;
        any = 1;
        const __m128i low = _mm_unpacklo_epi16(a, a), high = _mm_unpackhi_epi16(a, a);
        auto* at = reinterpret_cast<__m128i*>(px + size_t(x) * 4);
        const __m128i first = _mm_loadu_si128(at), second = _mm_loadu_si128(at + 1);
        _mm_storeu_si128(at, _mm_packus_epi16(mix(_mm_unpacklo_epi8(first, zero), spread(low, false)),
                                              mix(_mm_unpackhi_epi8(first, zero), spread(low, true))));
        _mm_storeu_si128(at + 1, _mm_packus_epi16(mix(_mm_unpacklo_epi8(second, zero), spread(high, false)),
                                                  mix(_mm_unpackhi_epi8(second, zero), spread(high, true))));
    }
#endif
    for (; x < n; ++x) {
        const int w = (mask[x] * opacity + 128) * 257 >> 16, a = w + (w >> 7);
        any |= mask[x];
        uint8_t* p = px + size_t(x) * 4;
        p[0] = uint8_t((p[0] * (256 - a) + b * a + 128) >> 8);
        p[1] = uint8_t((p[1] * (256 - a) + g * a + 128) >> 8);
        p[2] = uint8_t((p[2] * (256 - a) + r * a + 128) >> 8);
        if (layer)
            p[3] = uint8_t((p[3] * (256 - a) + 128) >> 8);
    }
    return any != 0;
}

void ApplyRow(const uint8_t* layer, uint8_t* px, int n) {
    int x = 0;
#if defined(SIVO_PIXELS_AVX2)
    if (HasAvx2())
        x = ApplyAvx2(layer, px, n);
#endif
#if defined(__SSE2__)
    const __m128i fourth = _mm_set1_epi64x(int64_t(0xffff000000000000ull));
    const __m128i colours = _mm_set1_epi32(0x00ffffff);
    const auto keep = [&](__m128i picture, __m128i over) {
        const __m128i shares = _mm_or_si128(_mm_shufflehi_epi16(_mm_shufflelo_epi16(over, 0xff), 0xff), fourth);
        return _mm_srli_epi16(_mm_mulhi_epu16(picture, shares), 8);
    };
    for (; x + 4 <= n; x += 4) {
        const __m128i over = _mm_loadu_si128(reinterpret_cast<const __m128i*>(layer + size_t(x) * 4));
        auto* at = reinterpret_cast<__m128i*>(px + size_t(x) * 4);
        const __m128i picture = _mm_loadu_si128(at);
        const __m128i kept = _mm_packus_epi16(keep(_mm_unpacklo_epi8(picture, picture), _mm_unpacklo_epi8(over, over)),
                                              keep(_mm_unpackhi_epi8(picture, picture), _mm_unpackhi_epi8(over, over)));
        _mm_storeu_si128(at, _mm_adds_epu8(kept, _mm_and_si128(over, colours)));
    }
#endif
    for (; x < n; ++x) {
        const uint8_t* o = layer + size_t(x) * 4;
        uint8_t* p = px + size_t(x) * 4;
        for (int c = 0; c < 3; ++c)
            p[c] = uint8_t(std::min(Kept(p[c], o[3]) + o[c], 255u));
    }
}

void FillRow(uint32_t* to, int n, uint32_t value) {
#if defined(__SSE2__)
    const __m128i four = _mm_set1_epi32(int(value));
    for (; n >= 4; n -= 4, to += 4)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), four);
#endif
    std::fill_n(to, std::max(n, 0), value);
}

}  // namespace SubtitlePixels
