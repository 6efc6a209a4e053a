#include "output/qt/SmoothScale.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Weights are fixed point with this sum; a row filtered across keeps four
// bits of fraction (255 * 16 = 4080), so the two passes lose nothing an
// 8-bit result could show.
constexpr int kOneBits = 12;
constexpr int kOne = 1 << kOneBits;
constexpr int kAcrossShift = kOneBits - 4;
constexpr int kDownShift = kOneBits + 4;
constexpr int16_t kOpaque = 255 << 4;

// The heavy loop of the second pass, built for the wider vector units too
// where the processor has them.
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define SIVO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SIVO_VECTOR_CLONES
#endif

SIVO_VECTOR_CLONES void BlendTwoRows(const int16_t* a, const int16_t* b, int wa, int wb, uint8_t* out, int n) {
    for (int x = 0; x < n; ++x)
        out[x] = static_cast<uint8_t>((a[x] * wa + b[x] * wb + (1 << (kDownShift - 1))) >> kDownShift);
}

SIVO_VECTOR_CLONES void AccumulateRow(const int16_t* row, int weight, int32_t* acc, int n) {
    for (int x = 0; x < n; ++x)
        acc[x] += row[x] * weight;
}

void FinishRow(const int32_t* acc, uint8_t* out, int n) {
    for (int x = 0; x < n; ++x)
        out[x] = static_cast<uint8_t>((acc[x] + (1 << (kDownShift - 1))) >> kDownShift);
}

} // namespace

void SmoothScaler::Filter::Prepare(int srcSize, int dstSize) {
    if (srcSize == src && dstSize == dst)
        return;
    src = srcSize;
    dst = dstSize;
    const double step = static_cast<double>(srcSize) / dstSize;
    // Enlarging: the two nearest pixels (bilinear); shrinking: a triangle
    // reaching one step to each side.
    const double reach = std::max(1.0, step);
    const int span = static_cast<int>(std::ceil(2 * reach));
    taps = std::min(span, srcSize);
    first.assign(static_cast<size_t>(dstSize), 0);
    weights.assign(static_cast<size_t>(dstSize) * taps, 0);
    std::vector<double> w(static_cast<size_t>(taps));
    for (int i = 0; i < dstSize; ++i) {
        const double centre = (i + 0.5) * step - 0.5;
        const int lowest = static_cast<int>(std::floor(centre - reach)) + 1;
        const int start = std::clamp(lowest, 0, srcSize - taps);
        std::fill(w.begin(), w.end(), 0.0);
        double sum = 0;
        // Taps beyond an edge fold onto the edge pixel.
        for (int k = 0; k < span; ++k) {
            const double weight = std::max(0.0, 1.0 - std::abs(lowest + k - centre) / reach);
            w[static_cast<size_t>(std::clamp(lowest + k, 0, srcSize - 1) - start)] += weight;
            sum += weight;
        }
        int16_t* out = &weights[static_cast<size_t>(i) * taps];
        int total = 0, heaviest = 0;
        for (int k = 0; k < taps; ++k) {
            out[k] = static_cast<int16_t>(std::lround(w[static_cast<size_t>(k)] / sum * kOne));
            total += out[k];
            if (out[k] > out[heaviest])
                heaviest = k;
        }
        out[heaviest] = static_cast<int16_t>(out[heaviest] + kOne - total);
        first[static_cast<size_t>(i)] = start;
    }
}

void SmoothScaler::FilterRow(const uint8_t* srcRow, int srcBytes, int16_t* out) const {
    const int dw = m_across.dst, taps = m_across.taps;
    const int* first = m_across.first.data();
    const int16_t* weights = m_across.weights.data();
    constexpr int round = 1 << (kAcrossShift - 1);
    int x = 0;
#if defined(__SSE2__)
    // Two taps at a time: the channels of two pixels interleaved as 16-bit
    // values, multiplied by their weights and added pairwise in one step.
    // A pixel is loaded as 4 bytes, so columns whose last load would pass
    // the row are left to the plain loop below.
    const ptrdiff_t rowBytes = ptrdiff_t{m_across.src} * srcBytes;
    int vectorColumns = dw;
    while (vectorColumns > 0 && ptrdiff_t{first[vectorColumns - 1] + taps - 1} * srcBytes + 4 > rowBytes)
        --vectorColumns;
    const __m128i zero = _mm_setzero_si128();
    const __m128i rounding = _mm_set1_epi32(round);
    const auto load = [](const uint8_t* p) {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        return _mm_unpacklo_epi8(_mm_cvtsi32_si128(v), _mm_setzero_si128());
    };
    for (; x < vectorColumns; ++x) {
        const uint8_t* p = srcRow + ptrdiff_t{first[x]} * srcBytes;
        const int16_t* w = weights + ptrdiff_t{x} * taps;
        __m128i acc = rounding;
        for (int k = 0; k < taps; k += 2) {
            const bool pair = k + 1 < taps;
            const __m128i a = load(p + ptrdiff_t{k} * srcBytes);
            const __m128i b = pair ? load(p + ptrdiff_t{k + 1} * srcBytes) : zero;
            const int32_t wk = static_cast<uint16_t>(w[k]) | (pair ? int32_t{w[k + 1]} << 16 : 0);
            acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), _mm_set1_epi32(wk)));
        }
        const __m128i packed = _mm_packs_epi32(_mm_srai_epi32(acc, kAcrossShift), zero);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * x), packed);
        out[4 * x + 3] = kOpaque;
    }
#endif
    for (; x < dw; ++x) {
        const uint8_t* p = srcRow + ptrdiff_t{first[x]} * srcBytes;
        const int16_t* w = weights + ptrdiff_t{x} * taps;
        int b = round, g = round, r = round;
        for (int k = 0; k < taps; ++k, p += srcBytes) {
            b += p[0] * w[k];
            g += p[1] * w[k];
            r += p[2] * w[k];
        }
        int16_t* o = out + 4 * x;
        o[0] = static_cast<int16_t>(b >> kAcrossShift);
        o[1] = static_cast<int16_t>(g >> kAcrossShift);
        o[2] = static_cast<int16_t>(r >> kAcrossShift);
        o[3] = kOpaque;
    }
}

void SmoothScaler::Scale(const uint8_t* src, ptrdiff_t srcStride, int sw, int sh, int srcBytes, uint8_t* dst,
                         ptrdiff_t dstStride, int dw, int dh) {
    if (!src || !dst || sw < 1 || sh < 1 || dw < 1 || dh < 1 || (srcBytes != 3 && srcBytes != 4))
        return;
    m_across.Prepare(sw, dw);
    m_down.Prepare(sh, dh);
    const int taps = m_down.taps;
    const size_t rowValues = static_cast<size_t>(dw) * 4;
    if (m_rows.size() != rowValues * taps)
        m_rows.assign(rowValues * taps, 0);
    // Filtered rows are valid for this one call: the picture is new each time.
    m_rowOf.assign(static_cast<size_t>(taps), -1);
    std::vector<int32_t> acc;
    if (taps > 2)
        acc.resize(rowValues);
    const int n = static_cast<int>(rowValues);
    for (int y = 0; y < dh; ++y) {
        const int start = m_down.first[static_cast<size_t>(y)];
        const int16_t* w = &m_down.weights[static_cast<size_t>(y) * taps];
        const int16_t* rows[2] = {};
        for (int k = 0; k < taps; ++k) {
            const int sy = start + k;
            const size_t slot = static_cast<size_t>(sy % taps);
            int16_t* row = &m_rows[slot * rowValues];
            if (m_rowOf[slot] != sy) {
                FilterRow(src + sy * srcStride, srcBytes, row);
                m_rowOf[slot] = sy;
            }
            if (k < 2)
                rows[k] = row;
            if (taps > 2) {
                if (k == 0)
                    std::fill(acc.begin(), acc.end(), 0);
                AccumulateRow(row, w[k], acc.data(), n);
            }
        }
        uint8_t* out = dst + y * dstStride;
        if (taps == 1)
            BlendTwoRows(rows[0], rows[0], w[0], 0, out, n);
        else if (taps == 2)
            BlendTwoRows(rows[0], rows[1], w[0], w[1], out, n);
        else
            FinishRow(acc.data(), out, n);
    }
}
