#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Resamples a picture of packed 8-bit blue-green-red pixels (3 or 4 bytes
// each) into 4-byte pixels (blue, green, red, 0xFF): a separable filter,
// bilinear when enlarging and a triangle as wide as the step when shrinking,
// so edges stay smooth at any size and every source pixel counts when a
// large picture goes into a small window. Weights are computed once per
// pair of sizes and kept.
//
// Threads: one scaler serves one thread at a time.
class SmoothScaler {
public:
    // Scales sw x sh (rows srcStride bytes apart, srcBytes 3 or 4 per pixel)
    // onto dw x dh at dst (rows dstStride bytes apart). Sizes below 1 do nothing.
    void Scale(const uint8_t* src, ptrdiff_t srcStride, int sw, int sh, int srcBytes, uint8_t* dst,
               ptrdiff_t dstStride, int dw, int dh);

private:
    // Per destination column (or row): the first source index and `taps`
    // weights summing to kOne.
    struct Filter {
        int src = -1;
        int dst = -1;
        int taps = 0;
        std::vector<int> first;
        std::vector<int16_t> weights;
        void Prepare(int srcSize, int dstSize);
    };
    // One source row, filtered across into kRowScale-fold fixed point.
    void FilterRow(const uint8_t* srcRow, int srcBytes, int16_t* out) const;

    Filter m_across;
    Filter m_down;
    // Source rows filtered across, a ring of m_down.taps of them, and which
    // source row each slot holds.
    std::vector<int16_t> m_rows;
    std::vector<int> m_rowOf;
};
