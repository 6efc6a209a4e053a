// The parsers of the stream protocol on arbitrary bytes: the media package,
// the stream description, the describe and the seek request. Whatever one of
// them accepts must survive a build and a second parse unchanged.
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "Check.h"
#include "engine/Package.h"
#include "stream/StreamProtocol.h"

namespace {

bool SameTimeBase(const TimeBase& a, const TimeBase& b) { return a.num == b.num && a.den == b.den; }

bool SameAudio(const StreamDescription::Audio& a, const StreamDescription::Audio& b) {
    return a.bPresent == b.bPresent && a.nCodecId == b.nCodecId && a.nSampleRate == b.nSampleRate &&
           a.nChannels == b.nChannels && SameTimeBase(a.codecTimeBase, b.codecTimeBase) &&
           a.nSampleFmt == b.nSampleFmt && a.nBlockAlign == b.nBlockAlign &&
           SameTimeBase(a.streamTimeBase, b.streamTimeBase) && a.extradata == b.extradata;
}

bool SameVideo(const StreamDescription::Video& a, const StreamDescription::Video& b) {
    return a.bPresent == b.bPresent && a.nCodecId == b.nCodecId && a.nFps == b.nFps && a.nFormat == b.nFormat &&
           SameTimeBase(a.codecTimeBase, b.codecTimeBase) && a.nDuration == b.nDuration &&
           a.nWidth == b.nWidth && a.nHeight == b.nHeight &&
           SameTimeBase(a.streamTimeBase, b.streamTimeBase) && a.extradata == b.extradata;
}

void MediaRoundTrip(const uint8_t* data, size_t size) {
    MediaPackage first;
    if (!ParseMediaPackage(data, int(size), first)) {
        FUZZ_CHECK(!first.pkt);
        return;
    }
    FUZZ_CHECK(first.pkt && first.pkt->size == int(size - kMediaPkgOverhead));
    std::vector<uint8_t> built = BuildMediaPackage(first.pkt.get(), first.nCodecId, first.bVideo);
    FUZZ_CHECK(built.size() == size);
    MediaPackage second;
    FUZZ_CHECK(ParseMediaPackage(built.data(), int(built.size()), second));
    const AVPacket& a = *first.pkt;
    const AVPacket& b = *second.pkt;
    FUZZ_CHECK(second.nCodecId == first.nCodecId && second.bVideo == first.bVideo);
    FUZZ_CHECK(a.pts == b.pts && a.dts == b.dts && a.stream_index == b.stream_index && a.flags == b.flags &&
               a.duration == b.duration && a.pos == b.pos && a.size == b.size);
    FUZZ_CHECK(std::memcmp(a.data, b.data, size_t(a.size)) == 0);
}

void DescriptionRoundTrip(const uint8_t* data, size_t size) {
    ByteStream r(data, uint32_t(size));
    StreamDescription first;
    if (!ParseStreamDescription(r, first))
        return;
    std::vector<uint8_t> built = BuildStreamDescription(first);
    ByteStream again(built.data(), uint32_t(built.size()));
    StreamDescription second;
    FUZZ_CHECK(ParseStreamDescription(again, second));
    // An absent section goes out as zeros; only present ones must come back.
    FUZZ_CHECK(second.audio.bPresent == first.audio.bPresent);
    FUZZ_CHECK(!first.audio.bPresent || SameAudio(first.audio, second.audio));
    FUZZ_CHECK(second.video.bPresent == first.video.bPresent);
    FUZZ_CHECK(!first.video.bPresent || SameVideo(first.video, second.video));
    FUZZ_CHECK(BuildStreamDescription(second) == built);
}

void RequestRoundTrips(const uint8_t* data, size_t size) {
    ByteStream r(data, uint32_t(size));
    std::string name;
    if (ParseDescribePkg(r, name)) {
        FUZZ_CHECK(name.size() <= ByteStream::kMaxShortString);
        std::vector<uint8_t> built = BuildDescribePkg(name);
        FUZZ_CHECK(!built.empty());
        ByteStream again(built.data(), uint32_t(built.size()));
        std::string back;
        FUZZ_CHECK(ParseDescribePkg(again, back) && back == name);
    }
    ByteStream s(data, uint32_t(size));
    const int32_t seconds = ParseSeekPkg(s);
    std::vector<uint8_t> seek = BuildSeekPkg(seconds);
    ByteStream again(seek.data(), uint32_t(seek.size()));
    FUZZ_CHECK(ParseSeekPkg(again) == seconds);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MediaRoundTrip(data, size);
    DescriptionRoundTrip(data, size);
    RequestRoundTrips(data, size);
    return 0;
}
