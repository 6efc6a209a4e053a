#pragma once
// Codec ids and sample formats travel as the numbers of the older library
// generation; FFmpeg 5.1 numbers its enumerations differently. These four
// functions are the only place where the two meet. Pure functions, any thread.

#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/samplefmt.h>
}

// First number of this program's own codec ids, for codecs the old generation
// does not know (HEVC, VP9, AV1, Opus, ...).
inline constexpr int kWireExtensionBase = 0x40000000;

inline constexpr int kWireSampleFmtNone = -1;
// 64-bit samples have no old number either.
inline constexpr int kWireSampleFmtS64 = kWireExtensionBase;

// A codec without a wire number goes out as 0 (none).
int CodecIdToWire(AVCodecID id);
// An unknown wire number comes back as AV_CODEC_ID_NONE.
AVCodecID CodecIdFromWire(int nWire);

// Planar formats map to the number of their packed counterpart.
int SampleFmtToWire(AVSampleFormat fmt);
AVSampleFormat SampleFmtFromWire(int nWire);
