// Subtitle pixels: whichever vector path the CPU takes, each pixel gets what
// the one-pixel sums give, at every length and offset of a row.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/SubtitlePixels.h"

namespace {

// Rows of pixels and masks of every kind: clear, wholly covered, and anti-
// aliased edges, with runs of each long enough to skip.
struct Rows {
    std::vector<uint8_t> pixels, mask, layer;
    explicit Rows(int n, unsigned seed) : pixels(size_t(n) * 4), mask(size_t(n)), layer(size_t(n) * 4) {
        std::mt19937 random(seed);
        for (auto& byte : pixels)
            byte = uint8_t(random());
        for (int x = 0; x < n; ++x) {
            const int kind = (x / 9 + int(seed)) % 4;
            mask[size_t(x)] = kind == 0 ? 0 : kind == 1 ? 255 : uint8_t(random());
            // A composed layer: premultiplied colour under what the share leaves.
            const int share = kind == 0 ? 255 : kind == 1 ? 0 : int(random() % 256);
            for (int c = 0; c < 3; ++c)
                layer[size_t(x) * 4 + c] = uint8_t(random() % (256 - share + 1) * (255 - share) / 256);
            layer[size_t(x) * 4 + 3] = uint8_t(share);
        }
    }
};

}  // namespace

TEST(SubtitlePixelsTest, EveryPathGivesTheOnePixelSums) {
    const int lengths[] = {0, 1, 3, 7, 8, 9, 15, 16, 17, 31, 33, 100};
    const int opacities[] = {255, 200, 128, 1};
    const uint8_t colour[3] = {30, 160, 250};  // blue, green, red
    for (int n : lengths)
        for (int offset : {0, 1, 5}) {  // rows that start anywhere in memory
            SCOPED_TRACE("row of " + std::to_string(n) + " at " + std::to_string(offset));
            const Rows rows(n + offset, unsigned(n * 7 + offset));
            for (int opacity : opacities)
                for (bool layer : {false, true}) {
                    std::vector<uint8_t> got = rows.pixels, want = rows.pixels;
                    const bool any = SubtitlePixels::BlendRow(rows.mask.data() + offset, got.data() + offset * 4, n,
                                                              colour[0], colour[1], colour[2], opacity, layer);
                    bool covers = false;
                    for (int x = offset; x < offset + n; ++x) {
                        const int w = (rows.mask[size_t(x)] * opacity + 128) * 257 >> 16, a = w + (w >> 7);
                        covers |= rows.mask[size_t(x)] != 0;
                        for (int c = 0; c < 4; ++c) {
                            uint8_t& p = want[size_t(x) * 4 + c];
                            if (c < 3)
                                p = uint8_t((p * (256 - a) + colour[c] * a + 128) >> 8);
                            else if (layer)
                                p = uint8_t((p * (256 - a) + 128) >> 8);
                        }
                    }
                    EXPECT_EQ(any, covers) << "opacity " << opacity;
                    EXPECT_EQ(got, want) << "blend, opacity " << opacity << (layer ? ", layer" : "");
                }

            std::vector<uint8_t> got = rows.pixels, want = rows.pixels;
            SubtitlePixels::ApplyRow(rows.layer.data() + offset * 4, got.data() + offset * 4, n);
            for (int x = offset; x < offset + n; ++x) {
                const uint8_t* o = &rows.layer[size_t(x) * 4];
                for (int c = 0; c < 3; ++c) {
                    uint8_t& p = want[size_t(x) * 4 + c];
                    p = uint8_t(std::min(SubtitlePixels::Kept(p, o[3]) + o[c], 255u));
                }
            }
            EXPECT_EQ(got, want) << "layer laid over";

            std::vector<uint32_t> filled(size_t(n + offset), 7u);
            SubtitlePixels::FillRow(filled.data() + offset, n, 0xff000000u);
            for (int x = 0; x < n + offset; ++x)
                ASSERT_EQ(filled[size_t(x)], x < offset ? 7u : 0xff000000u) << x;
        }
}

// What a layer leaves of the picture: nothing under a share of 0, all of it
// under 255, and within one level of picture * share / 255 between.
TEST(SubtitlePixelsTest, LayerSharesKeepWhatTheySay) {
    for (unsigned p = 0; p < 256; ++p)
        for (unsigned share = 0; share < 256; ++share) {
            const unsigned kept = SubtitlePixels::Kept(p, share);
            const double exact = p * share / 255.0;
            ASSERT_LE(std::abs(double(kept) - exact), 1.0) << p << " under " << share;
            if (share == 0 || share == 255) {
                ASSERT_EQ(kept, share == 0 ? 0 : p) << p << " under " << share;
            }
        }
}
