#pragma once
// The pixel work of drawing subtitles over a picture of 4-byte pixels (blue,
// green, red, 0xFF in memory), a row at a time: eight pixels at a time where
// the CPU has AVX2, four or eight where SSE2 is, one at a time elsewhere and
// at the ends of rows. Every path gives the same bytes.
//
// Threads: any; each call touches only the memory it is given.

#include <cstdint>

namespace SubtitlePixels {

// Lays `n` values of a coverage mask in one colour at `opacity` (0..255)
// over `n` pixels. Coverage times opacity is taken on 0..256 as `a`, so that
// each channel becomes (pixel * (256 - a) + colour * a + 128) >> 8, exact in
// 16 bits. A picture's fourth byte stays; in a layer being composed it is the
// share of what lies under that is left, and each mask takes its part of it.
// True when any of the mask covers.
bool BlendRow(const uint8_t* mask, uint8_t* px, int n, int blue, int green, int red, int opacity, bool layer);

// What is left of a picture's channel value under a layer's share (both
// 0..255, share 255 keeping all of it): about picture * share / 255, exact
// at both ends.
unsigned Kept(unsigned picture, unsigned share);

// Lays `n` pixels of a composed layer (colours premultiplied, the share of
// the picture left in the fourth byte) over `n` pixels of a picture: each
// channel becomes Kept(pixel, share) + colour, at most 255; the picture's
// fourth byte stays.
void ApplyRow(const uint8_t* layer, uint8_t* px, int n);

// Sets `n` pixels to `value`.
void FillRow(uint32_t* to, int n, uint32_t value);

}  // namespace SubtitlePixels
