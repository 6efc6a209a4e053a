// The wire format: ByteStream, the frame assembler, the request messages, the
// media and description bodies and the codec numbers.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "engine/ByteStream.h"
#include "engine/LiveCounters.h"
#include "engine/Package.h"
#include "engine/WireIds.h"
#include "stream/StreamProtocol.h"
#include "StreamTestUtil.h"

namespace {

// A package of `type` whose body is bodyLen bytes counting up from seed.
Bytes MakePkg(uint16_t type, uint32_t bodyLen, uint8_t seed = 0) {
    Bytes buf(bodyLen + kPkgFrameOverhead);
    ByteStream w(buf.data(), uint32_t(buf.size()));
    BeginFrame(w, type, bodyLen);
    for (uint32_t i = 0; i < bodyLen; ++i)
        w.WriteU8(uint8_t(seed + i));
    EndFrame(w);
    return buf;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Feeds chunks to one assembler and collects what it delivers.
struct Assembler {
    FrameAssembler fa;
    std::vector<Bytes> got;
    Assembler& Feed(const uint8_t* p, size_t n) {
        fa.FeedBytes(p, int(n), [this](const uint8_t* d, int len) { got.emplace_back(d, d + len); });
        return *this;
    }
    Assembler& Feed(const Bytes& b) { return Feed(b.data(), b.size()); }
};

} // namespace

TEST(ByteStream, StickyFailureAndShortStringsOf254) {
    uint8_t buf[8] = {0, 0, 0xA1, 0xB2, 0xC3, 0xD4};
    ByteStream r(buf, sizeof buf);
    uint32_t u32 = 7;
    EXPECT_TRUE(r.Skip(2) && r.ReadU32(u32));
    EXPECT_EQ(u32, 0xA1B2C3D4u);
    EXPECT_TRUE(!r.Seek(9) && r.Ok() && r.Seek(5)) << "a refused seek leaves the flag up";
    EXPECT_FALSE(r.ReadU32(u32));
    EXPECT_EQ(u32, 0xA1B2C3D4u) << "a failed read leaves its target alone";
    EXPECT_FALSE(r.Seek(0) && r.ReadU8(buf[0])) << "sticky: even what would fit fails now";

    Bytes s(300, 'a');
    s[0] = 255;  // a long string keeps 254 bytes and moves past all 255
    ByteStream rs(s.data(), uint32_t(s.size()));
    std::string got;
    EXPECT_TRUE(rs.ReadShortString(got));
    EXPECT_EQ(got.size(), 254u);
    EXPECT_EQ(rs.Pos(), 256u);
}

TEST(FrameAssembler, AnyChunkingDeliversEachPackageOnceInOrder) {
    Bytes p1 = MakePkg(1101, 40, 7), p2 = MakePkg(1200, 4, 2);
    for (size_t k = 1; k <= 8; ++k) {  // split after each header byte
        Assembler a;
        EXPECT_TRUE(a.Feed(p1.data(), k).got.empty()) << k;
        EXPECT_EQ(a.Feed(p1.data() + k, p1.size() - k).got, std::vector<Bytes>{p1}) << k;
    }
    EXPECT_EQ(Assembler().Feed(Cat({p1, p2})).got, (std::vector<Bytes>{p1, p2}));

    // The end of one plus 3 header bytes of the next, then the rest.
    Bytes middle(p1.begin() + 20, p1.end());
    middle.insert(middle.end(), p2.begin(), p2.begin() + 3);
    Assembler a;
    EXPECT_EQ(a.Feed(p1.data(), 20).Feed(middle).got, std::vector<Bytes>{p1});
    EXPECT_EQ(a.Feed(p2.data() + 3, p2.size() - 3).got, (std::vector<Bytes>{p1, p2}));
}

TEST(FrameAssembler, FalseStartsAndGarbageAreSkipped) {
    Bytes pkg = MakePkg(1101, 12, 5), p2 = MakePkg(1101, 10, 2);
    Bytes falseStart = Cat({Bytes{0x23, 0x00, 0x55, 0x00}, pkg});
    EXPECT_EQ(Assembler().Feed(falseStart).got, std::vector<Bytes>{pkg});
    EXPECT_EQ(Assembler().Feed(falseStart.data(), 6).Feed(falseStart.data() + 6, falseStart.size() - 6).got,
              std::vector<Bytes>{pkg})
        << "cut inside the false start";

    Bytes junk = {0x00, 0x11, 0xFE, 0x23, 0x01, 0x23, 0x00, 0x55, 0xFF, 0x00, 0x00, 0x00, 0x03, 0x42};
    EXPECT_EQ(Assembler().Feed(Cat({junk, pkg, junk, junk, p2, Bytes{0x99}})).got, (std::vector<Bytes>{pkg, p2}));
}

TEST(FrameAssembler, AnnouncedLengthAndChunkLimits) {
    Bytes good = MakePkg(1200, 4);
    Assembler tooLong;
    EXPECT_EQ(tooLong.Feed(Cat({Header(1024000), Bytes(100, 0), Header(7), good})).got, std::vector<Bytes>{good});
    EXPECT_EQ(tooLong.fa.BufferSize(), kPackageDataInitSize) << "never grown for a rejected length";

    Bytes big = FrameNoise(1023999, 5);
    Bytes h = Header(1023999);
    std::copy(h.begin(), h.end(), big.begin());
    Assembler a;
    a.Feed(big.data(), 500000);
    EXPECT_EQ(a.fa.BufferSize(), 1034239);
    EXPECT_EQ(a.Feed(big.data() + 500000, big.size() - 500000).got, std::vector<Bytes>{big});

    Bytes huge(kMaxFeedChunk + 1, 0);
    std::copy(good.begin(), good.end(), huge.begin());
    EXPECT_TRUE(Assembler().Feed(huge).got.empty()) << "a chunk over 1 MiB is ignored whole";
    huge.pop_back();
    EXPECT_EQ(Assembler().Feed(huge).got, std::vector<Bytes>{good}) << "1048576 bytes are still taken";
}

TEST(FrameAssembler, NoiseNeitherCrashesNorLeaksAndParsersSurviveWhatComesOut) {
    const int livePkg = g_nLivePackageData;
    std::mt19937 rng(1234);
    Bytes noise = FrameNoise(3000000, 1234);
    int delivered = 0;
    {
        Assembler a;
        for (size_t pos = 0, n = 0; pos < noise.size(); pos += n) {
            n = std::min(noise.size() - pos, size_t(rng() % 3000 + 1));
            a.got.clear();
            for (const Bytes& p : a.Feed(noise.data() + pos, n).got) {
                ++delivered;
                MediaPackage mp;
                ParseMediaPackage(p.data(), int(p.size()), mp);
                ByteStream r(p.data(), uint32_t(p.size()));
                StreamDescription d;
                ParseStreamDescription(r, d);
            }
        }
        // Zeros complete or end whatever the noise left pending; then a clean package arrives whole.
        Bytes pkg = MakePkg(1101, 100, 3);
        a.got.clear();
        ASSERT_FALSE(a.Feed(Bytes(6000, 0)).Feed(pkg).got.empty());
        EXPECT_EQ(a.got.back(), pkg);
    }
    EXPECT_GT(delivered, 100);
    EXPECT_EQ(g_nLivePackageData, livePkg);
}

TEST(Requests, ExactBytesAndNames) {
    EXPECT_EQ(BuildEndPkg(), (Bytes{0x23, 0x00, 0x55, 0xFF, 0x00, 0x00, 0x00, 0x11, 0x01, 0x04, 0xB0, 0x00, 0x00,
                                    0x00, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(BuildFetchMediaPkg(), (Bytes{0x23, 0x00, 0x55, 0xFF, 0x00, 0x00, 0x00, 0x11, 0x01, 0x04, 0x4C, 0x00,
                                           0x00, 0x00, 0x00, 0xFF, 0x00}));
    Bytes seek = BuildSeekPkg(30);
    EXPECT_EQ(seek, (Bytes{0x23, 0x00, 0x55, 0xFF, 0x00, 0x00, 0x00, 0x11, 0x01, 0x03, 0xEA, 0x00, 0x00, 0x00, 0x1E,
                           0xFF, 0x00}));
    ByteStream rs(seek.data(), uint32_t(seek.size()));
    EXPECT_EQ(ParseSeekPkg(rs), 30);
    Bytes back = BuildSeekPkg(0xFFFFFFF6u);
    ByteStream rb(back.data(), uint32_t(back.size()));
    EXPECT_EQ(ParseSeekPkg(rb), -10) << "read as signed";

    const std::string utf8 = "m\xC3\xBAsica/\xE5\xA3\xB0\xE9\x9F\xB3 \xF0\x9F\x8E\xB5.mp4";
    for (const std::string& name : {std::string(254, 'n'), utf8}) {
        Bytes pkg = BuildDescribePkg(name);
        ASSERT_EQ(pkg.size(), 18 + name.size());
        EXPECT_EQ((pkg[6] << 8) | pkg[7], int(pkg.size()));
        EXPECT_EQ(pkg[15], name.size()) << "a count of bytes, not characters";
        ByteStream r(pkg.data(), uint32_t(pkg.size()));
        std::string got;
        ASSERT_TRUE(ParseDescribePkg(r, got));
        EXPECT_EQ(got, name);
    }
    EXPECT_EQ(BuildDescribePkg(std::string(300, 'n')), BuildDescribePkg(std::string(254, 'n'))) << "cut, not refused";
}

TEST(MediaPackage, RoundTripWidensTimeStampsAndDropsBadSizes) {
    AVPacketPtr p(av_packet_alloc());
    av_new_packet(p.get(), 100);
    for (int i = 0; i < 100; ++i)
        p->data[i] = uint8_t(i * 3 + 1);
    p->pts = -1;
    p->dts = AV_NOPTS_VALUE;
    p->stream_index = 1;
    p->flags = AV_PKT_FLAG_KEY;
    p->duration = 40;
    p->pos = 0x100000123LL;
    Bytes pkg = BuildMediaPackage(p.get(), AV_CODEC_ID_H264, true);
    ASSERT_EQ(pkg.size(), 150u);
    EXPECT_EQ(pkg[15], 28) << "H.264 travels as its old number";
    MediaPackage mp;
    ASSERT_TRUE(ParseMediaPackage(pkg.data(), int(pkg.size()), mp));
    EXPECT_EQ(mp.nCodecId, AV_CODEC_ID_H264);
    EXPECT_TRUE(mp.bVideo);
    EXPECT_EQ(std::tuple(mp.pkt->pts, mp.pkt->dts, mp.pkt->pos, mp.pkt->stream_index, mp.pkt->flags, mp.pkt->duration),
              std::tuple(4294967295LL, 0LL, 0x123LL, 1, AV_PKT_FLAG_KEY, 40LL))
        << "pts -1 arrives as 4294967295, unset as 0, 64 bits cut to 32";
    ASSERT_EQ(mp.pkt->size, 100);
    EXPECT_EQ(std::memcmp(mp.pkt->data, p->data, 100), 0);

    AVPacketPtr none(av_packet_alloc());
    Bytes empty = BuildMediaPackage(none.get(), AV_CODEC_ID_AAC, false);
    ASSERT_EQ(empty.size(), 50u);
    EXPECT_FALSE(ParseMediaPackage(empty.data(), int(empty.size()), mp));
    EXPECT_FALSE(mp.pkt);
    Bytes wrongSize = pkg;
    wrongSize[27] ^= 1;
    EXPECT_FALSE(ParseMediaPackage(wrongSize.data(), int(wrongSize.size()), mp));
    EXPECT_FALSE(ParseMediaPackage(pkg.data(), int(pkg.size()) - 1, mp)) << "length disagrees";
    EXPECT_FALSE(ParseMediaPackage(pkg.data(), 40, mp));
}

TEST(StreamDescription, RoundTripsAudioOnlyVideoOnlyNeitherAndLargePrivateData) {
    StreamDescription audio;
    audio.audio = {true, AV_CODEC_ID_AAC, 44100, 2, {1, 44100}, AV_SAMPLE_FMT_FLTP, 0, {1, 44100}, {0x12, 0x10}};
    StreamDescription video;
    video.video = {true, AV_CODEC_ID_H264, 25, 0, {1, 50}, 10, 320, 240, {1, 12800}, Bytes(40, 0x5A)};
    StreamDescription neither;
    neither.audio.nSampleRate = 48000;  // an absent section goes out as zeros whatever it holds
    neither.video.extradata = {1, 2, 3};
    StreamDescription large = video;
    large.audio = audio.audio;
    large.audio.extradata.assign(2000, 0x77);
    large.video.extradata.assign(3000, 0x33);

    for (const StreamDescription* d : {&audio, &video, &neither, &large}) {
        const bool hasA = d->audio.bPresent, hasV = d->video.bPresent;
        Bytes wire = BuildStreamDescription(*d);
        size_t priv = (hasA ? d->audio.extradata.size() : 0) + (hasV ? d->video.extradata.size() : 0);
        ASSERT_EQ(wire.size(), kDescribeFixedSize + priv);
        EXPECT_EQ(wire[11], hasA);
        EXPECT_EQ(wire[11 + 1 + 4 + 4 + 1 + 4 * 4 + 4 * 2 + 4 + (hasA ? d->audio.extradata.size() : 0)], hasV);
        StreamDescription got;
        int n = 0;
        FrameAssembler().FeedBytes(wire.data(), int(wire.size()), [&](const uint8_t* p, int len) {
            ++n;
            ByteStream r(p, uint32_t(len));
            EXPECT_TRUE(ParseStreamDescription(r, got));
        });
        ASSERT_EQ(n, 1) << "parseable as one package";
        EXPECT_EQ(std::tuple(got.audio.bPresent, got.video.bPresent, got.audio.nSampleRate, got.video.nWidth),
                  std::tuple(hasA, hasV, hasA ? 44100 : 0, hasV ? 320 : 0));
        EXPECT_EQ(got.audio.extradata, hasA ? d->audio.extradata : Bytes{});
        EXPECT_EQ(got.video.extradata, hasV ? d->video.extradata : Bytes{});
        EXPECT_EQ(BuildStreamDescription(got), wire) << "every field arrives as it left";
        if (hasA) {
            EXPECT_EQ(got.audio.nSampleFmt, AV_SAMPLE_FMT_FLT) << "planar travels as packed";
        }
    }
    Bytes aw = BuildStreamDescription(audio);
    EXPECT_EQ(Bytes(aw.begin() + 12, aw.begin() + 16), (Bytes{0, 1, 0x50, 0x02})) << "AAC is 86018";
    StreamDescription got;
    ByteStream cut(aw.data(), uint32_t(aw.size() - 4));
    EXPECT_FALSE(ParseStreamDescription(cut, got)) << "private data announced beyond the end";
}

TEST(WireIds, EveryWireNumberMapsBackToItself) {
    const int ranges[][2] = {{0, 160},      {65536, 65570}, {69632, 69670}, {73728, 73735}, {77824, 77830},
                             {81920, 81930}, {86016, 86075}, {94208, 94220}, {kWireExtensionBase, kWireExtensionBase + 64}};
    int mapped = 0;
    for (auto& r : ranges) {
        for (int n = r[0]; n < r[1]; ++n) {
            AVCodecID id = CodecIdFromWire(n);
            if (id == AV_CODEC_ID_NONE)
                continue;
            ++mapped;
            // IFF_BYTERUN1 (142) is FFmpeg's alias of IFF_ILBM (141).
            EXPECT_EQ(CodecIdToWire(id), n == 142 ? 141 : n) << n;
        }
    }
    EXPECT_GT(mapped, 300);
    EXPECT_EQ(CodecIdFromWire(123456), AV_CODEC_ID_NONE);
    EXPECT_EQ(SampleFmtFromWire(SampleFmtToWire(AV_SAMPLE_FMT_S16P)), AV_SAMPLE_FMT_S16);
}
