// The wire format: ByteStream, the envelope, the frame assembler, the media
// and description bodies and the wire numbers.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "common/TestMedia.h"
#include "engine/ByteStream.h"
#include "engine/LiveCounters.h"
#include "engine/Package.h"
#include "engine/WireIds.h"
#include "stream/StreamProtocol.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A package of the given type whose body is bodyLen bytes counting up from seed.
Bytes MakePkg(uint16_t type, uint32_t bodyLen, uint8_t seed = 0) {
    Bytes buf(bodyLen + 13);
    ByteStream w(buf.data(), uint32_t(buf.size()));
    BeginFrame(w, type, bodyLen);
    for (uint32_t i = 0; i < bodyLen; ++i)
        w.WriteU8(uint8_t(seed + i));
    EndFrame(w);
    EXPECT_TRUE(w.Ok());
    return buf;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Collects what the assembler delivers.
struct Assembler {
    FrameAssembler fa;
    std::vector<Bytes> got;
    void Feed(const uint8_t* p, size_t n) {
        fa.FeedBytes(p, int(n), [this](const uint8_t* d, int len) { got.emplace_back(d, d + len); });
    }
    void Feed(const Bytes& b) { Feed(b.data(), b.size()); }
};

Bytes Header(uint32_t len) {
    return {0x23, 0x00, 0x55, 0xFF, uint8_t(len >> 24), uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len)};
}

} // namespace

// ------------------------------------------------------------------ ByteStream

TEST(ByteStream, ReadsBigEndianAndFailsStickily) {
    const uint8_t data[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    ByteStream r(data, sizeof data);
    uint8_t a = 0;
    uint16_t b = 0;
    uint32_t c = 0;
    EXPECT_TRUE(r.ReadU8(a));
    EXPECT_TRUE(r.ReadU16(b));
    EXPECT_TRUE(r.ReadU32(c));
    EXPECT_EQ(a, 0x01);
    EXPECT_EQ(b, 0x0203);
    EXPECT_EQ(c, 0x04050607u);
    EXPECT_EQ(r.Pos(), 7u);

    r.Seek(5);
    c = 0xDEADBEEF;
    EXPECT_FALSE(r.ReadU32(c));
    EXPECT_EQ(c, 0xDEADBEEFu) << "a failed read leaves its target alone";
    EXPECT_FALSE(r.Ok());
    EXPECT_FALSE(r.ReadU8(a)) << "sticky: even a read that would fit fails now";
    EXPECT_EQ(a, 0x01);
    EXPECT_EQ(r.Pos(), 5u);
}

TEST(ByteStream, WritesRefuseOverflowAndPatchKeepsCursor) {
    uint8_t buf[8] = {};
    ByteStream w(buf, sizeof buf);
    EXPECT_TRUE(w.WriteU32(0x11223344));
    EXPECT_TRUE(w.WriteU16(0x5566));
    EXPECT_FALSE(w.WriteU32(0x778899AA)) << "only 2 bytes left";
    EXPECT_EQ(w.Pos(), 6u);
    EXPECT_EQ(buf[6], 0);
    EXPECT_FALSE(w.WriteU8(1));
    EXPECT_FALSE(w.PatchU32(0, 1)) << "patches stop too once the flag is down";
    EXPECT_EQ(buf[0], 0x11);

    ByteStream w2(buf, sizeof buf);
    w2.WriteU8(9);
    EXPECT_TRUE(w2.PatchU32(4, 0xA1B2C3D4));
    EXPECT_EQ(w2.Pos(), 1u);
    EXPECT_EQ(buf[4], 0xA1);
    EXPECT_EQ(buf[7], 0xD4);
    EXPECT_FALSE(w2.PatchU32(5, 0)) << "offset + 4 beyond the size";

    const uint8_t ro[4] = {};
    ByteStream r(ro, sizeof ro);
    EXPECT_FALSE(r.WriteU8(1)) << "a reader over const bytes never writes";
}

TEST(ByteStream, SkipAndSeekLeaveTheFlagAlone) {
    uint8_t buf[10] = {};
    ByteStream s(buf, sizeof buf);
    EXPECT_TRUE(s.Skip(10));
    EXPECT_FALSE(s.Skip(1));
    EXPECT_TRUE(s.Ok());
    EXPECT_FALSE(s.Seek(11));
    EXPECT_TRUE(s.Ok());
    EXPECT_EQ(s.Pos(), 10u);
    EXPECT_TRUE(s.Seek(3));
    EXPECT_EQ(s.Pos(), 3u);
}

TEST(ByteStream, ShortStringsKeepAtMost254Bytes) {
    Bytes buf(300);
    buf[0] = 255;
    for (int i = 1; i <= 255; ++i)
        buf[i] = uint8_t('a' + i % 26);
    buf[256] = 0x42;
    ByteStream r(buf.data(), uint32_t(buf.size()));
    std::string s;
    ASSERT_TRUE(r.ReadShortString(s));
    EXPECT_EQ(s.size(), 254u);
    EXPECT_EQ(r.Pos(), 256u) << "the cursor moves past all 255 bytes";
    uint8_t next = 0;
    r.ReadU8(next);
    EXPECT_EQ(next, 0x42);

    // Length 10 with only 5 bytes behind it.
    const uint8_t shortData[] = {10, 'a', 'b', 'c', 'd', 'e'};
    ByteStream r2(shortData, sizeof shortData);
    s = "old";
    EXPECT_FALSE(r2.ReadShortString(s));
    EXPECT_TRUE(s.empty());
    EXPECT_FALSE(r2.Ok());

    uint8_t out[300];
    ByteStream w(out, sizeof out);
    EXPECT_FALSE(w.WriteShortString(std::string(255, 'x')));
    EXPECT_FALSE(w.Ok());
}

// ------------------------------------------------------------- envelope

TEST(Envelope, EndFramePatchesTheTrueLengthAndKeepsPlaceholderOnOverflow) {
    uint8_t buf[64] = {};
    ByteStream w(buf, sizeof buf);
    BeginFrame(w, 1234, 4);  // estimate 4, but write 9
    for (int i = 0; i < 9; ++i)
        w.WriteU8(uint8_t(i));
    EndFrame(w);
    EXPECT_EQ(w.Pos(), 22u);
    EXPECT_EQ(buf[7], 22) << "length patched to what was written";
    EXPECT_EQ(buf[9], 1234 >> 8);
    EXPECT_EQ(buf[10], 1234 & 0xFF);
    EXPECT_EQ(buf[20], 0xFF);
    EXPECT_EQ(buf[21], 0x00);

    uint8_t small[20] = {};
    ByteStream w2(small, sizeof small);
    BeginFrame(w2, 1005, 4);
    w2.WriteBytes(buf, 12);  // 11 + 12 > 20
    EndFrame(w2);
    EXPECT_FALSE(w2.Ok());
    EXPECT_EQ(small[7], 17) << "out of room: the placeholder stays";
}

TEST(Envelope, RequestMessagesHaveTheirExactBytes) {
    EXPECT_EQ(BuildEndPkg(), (Bytes{0x23, 0x00, 0x55, 0xFF, 0x00, 0x00, 0x00, 0x11, 0x01, 0x04, 0xB0,
                                    0x00, 0x00, 0x00, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(BuildFetchMediaPkg(), (Bytes{0x23, 0x00, 0x55, 0xFF, 0x00, 0x00, 0x00, 0x11, 0x01, 0x04,
                                           0x4C, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(BuildSeekPkg(30), (Bytes{0x23, 0x00, 0x55, 0xFF, 0x00, 0x00, 0x00, 0x11, 0x01, 0x03, 0xEA,
                                       0x00, 0x00, 0x00, 0x1E, 0xFF, 0x00}));
    Bytes seek = BuildSeekPkg(30);
    ByteStream r(seek.data(), uint32_t(seek.size()));
    EXPECT_EQ(ParseSeekPkg(r), 30u);
    ByteStream shortSeek(seek.data(), 12);
    EXPECT_EQ(ParseSeekPkg(shortSeek), 0u);
}

TEST(Envelope, DescribeCarriesA254ByteNameWholeAndRefusesLonger) {
    std::string name(254, 'n');
    name.replace(0, 4, "dir/");
    Bytes pkg = BuildDescribePkg(name);
    ASSERT_EQ(pkg.size(), 18u + 254u);
    EXPECT_EQ(pkg[7], (18 + 254) & 0xFF);
    EXPECT_EQ(pkg[6], (18 + 254) >> 8);
    EXPECT_EQ(pkg[15], 254);
    ByteStream r(pkg.data(), uint32_t(pkg.size()));
    std::string got;
    ASSERT_TRUE(ParseDescribePkg(r, got));
    EXPECT_EQ(got, name);

    EXPECT_TRUE(BuildDescribePkg(std::string(255, 'n')).empty());
}

TEST(Envelope, DescribeCarriesUtf8BytesVerbatim) {
    const std::string name = "m\xC3\xBAsica/\xE5\xA3\xB0\xE9\x9F\xB3 \xF0\x9F\x8E\xB5.mp4";
    Bytes pkg = BuildDescribePkg(name);
    ASSERT_EQ(pkg.size(), 18 + name.size());
    EXPECT_EQ(pkg[15], name.size()) << "the count is in bytes, not characters";
    EXPECT_EQ(std::memcmp(pkg.data() + 16, name.data(), name.size()), 0);
    ByteStream r(pkg.data(), uint32_t(pkg.size()));
    std::string got;
    ASSERT_TRUE(ParseDescribePkg(r, got));
    EXPECT_EQ(got, name);
}

TEST(Envelope, DispatchReadsVersionAndTypeAndSkipsGarbage) {
    Bytes pkg = BuildSeekPkg(7);
    int version = -1, type = -1;
    uint32_t target = 0;
    EXPECT_EQ(DispatchPackage(pkg.data(), int(pkg.size()), [&](int v, int t, ByteStream& r) {
        version = v;
        type = t;
        target = ParseSeekPkg(r);
    }), 0);
    EXPECT_EQ(version, 1);
    EXPECT_EQ(type, PKG_SEEK);
    EXPECT_EQ(target, 7u);

    bool called = false;
    DispatchPackage(pkg.data(), 10, [&](int, int, ByteStream&) { called = true; });
    EXPECT_FALSE(called) << "a package too short for its type is not dispatched";
}

// ------------------------------------------------------------ frame assembler

TEST(FrameAssembler, PackageSplitAfterAnyOfItsFirst8BytesArrivesOnce) {
    Bytes pkg = MakePkg(1101, 40, 7);
    for (size_t k = 1; k <= 8; ++k) {
        Assembler a;
        a.Feed(pkg.data(), k);
        EXPECT_TRUE(a.got.empty()) << k;
        a.Feed(pkg.data() + k, pkg.size() - k);
        ASSERT_EQ(a.got.size(), 1u) << k;
        EXPECT_EQ(a.got[0], pkg) << k;
    }
}

TEST(FrameAssembler, ByteByByteAndMixedChunks) {
    Bytes p1 = MakePkg(1101, 3000, 1), p2 = MakePkg(1005, 0), p3 = MakePkg(1200, 15000, 3);
    Bytes all = Cat({p1, p2, p3});
    Assembler a;
    for (uint8_t b : all)
        a.Feed(&b, 1);
    ASSERT_EQ(a.got.size(), 3u);
    EXPECT_EQ(a.got[0], p1);
    EXPECT_EQ(a.got[1], p2);
    EXPECT_EQ(a.got[2], p3);
    EXPECT_EQ(a.fa.BufferSize(), 15013 + kPackageDataInitSize) << "grown once to L + 10240";
}

TEST(FrameAssembler, TwoPackagesInOneChunkInOrder) {
    Bytes p1 = MakePkg(1101, 20, 1), p2 = MakePkg(1200, 4, 2);
    Assembler a;
    a.Feed(Cat({p1, p2}));
    ASSERT_EQ(a.got.size(), 2u);
    EXPECT_EQ(a.got[0], p1);
    EXPECT_EQ(a.got[1], p2);
}

TEST(FrameAssembler, EndOfOnePlusThreeHeaderBytesOfTheNext) {
    Bytes p1 = MakePkg(1101, 30, 1), p2 = MakePkg(1101, 30, 9);
    Assembler a;
    a.Feed(p1.data(), 20);
    Bytes middle(p1.begin() + 20, p1.end());
    middle.insert(middle.end(), p2.begin(), p2.begin() + 3);
    a.Feed(middle);
    ASSERT_EQ(a.got.size(), 1u);
    EXPECT_EQ(a.got[0], p1);
    a.Feed(p2.data() + 3, p2.size() - 3);
    ASSERT_EQ(a.got.size(), 2u);
    EXPECT_EQ(a.got[1], p2) << "the 3 bytes were kept as the start of a header";
}

TEST(FrameAssembler, FalseStartIsRescannedFromTheNextMagicByte) {
    Bytes pkg = MakePkg(1101, 12, 5);
    Bytes stream = Cat({Bytes{0x23, 0x00, 0x55, 0x00}, pkg});
    Assembler a;
    a.Feed(stream);
    ASSERT_EQ(a.got.size(), 1u);
    EXPECT_EQ(a.got[0], pkg);

    Assembler b;  // the same, in two chunks cut inside the false start
    b.Feed(stream.data(), 6);
    b.Feed(stream.data() + 6, stream.size() - 6);
    ASSERT_EQ(b.got.size(), 1u);
    EXPECT_EQ(b.got[0], pkg);
}

TEST(FrameAssembler, AnnouncedLengthLimits) {
    Bytes good = MakePkg(1200, 4);
    {
        Assembler a;  // 1024000 is garbage; the package after it still arrives
        a.Feed(Cat({Header(1024000), Bytes(100, 0x00), good}));
        ASSERT_EQ(a.got.size(), 1u);
        EXPECT_EQ(a.got[0], good);
        EXPECT_EQ(a.fa.BufferSize(), kPackageDataInitSize);
    }
    {
        Assembler a;  // below the 8 header bytes
        a.Feed(Cat({Header(7), Header(0), good}));
        ASSERT_EQ(a.got.size(), 1u);
        EXPECT_EQ(a.got[0], good);
    }
    {
        Assembler a;
        Bytes big(1023999);
        Bytes h = Header(1023999);
        std::copy(h.begin(), h.end(), big.begin());
        for (size_t i = 8; i < big.size(); ++i)
            big[i] = uint8_t(i * 7);
        a.Feed(big.data(), 500000);
        EXPECT_EQ(a.fa.BufferSize(), 1034239);
        a.Feed(big.data() + 500000, big.size() - 500000);
        ASSERT_EQ(a.got.size(), 1u);
        EXPECT_EQ(a.got[0], big);
    }
}

TEST(FrameAssembler, GarbageBetweenPackagesIsSkipped) {
    Bytes p1 = MakePkg(1101, 10, 1), p2 = MakePkg(1101, 10, 2);
    Bytes junk = {0x00, 0x11, 0xFE, 0x23, 0x01, 0x23, 0x00, 0x55, 0xFF, 0x00, 0x00, 0x00, 0x03, 0x42};
    Assembler a;
    a.Feed(Cat({junk, p1, junk, junk, p2, Bytes{0x99}}));
    ASSERT_EQ(a.got.size(), 2u);
    EXPECT_EQ(a.got[0], p1);
    EXPECT_EQ(a.got[1], p2);
}

TEST(FrameAssembler, ChunkOverOneMebibyteIsIgnoredWhole) {
    Bytes pkg = MakePkg(1200, 4);
    Bytes huge(kMaxFeedChunk + 1, 0x00);
    std::copy(pkg.begin(), pkg.end(), huge.begin());
    Assembler a;
    a.Feed(huge);
    EXPECT_TRUE(a.got.empty());
    Bytes exact(kMaxFeedChunk, 0x00);
    std::copy(pkg.begin(), pkg.end(), exact.begin());
    a.Feed(exact);
    EXPECT_EQ(a.got.size(), 1u) << "1048576 bytes is still taken";
}

TEST(FrameAssembler, RandomBytesNeverCrashAndParsersSurviveWhatComesOut) {
    std::mt19937 rng(1234);
    Assembler a;
    int delivered = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes chunk(rng() % 3000 + 1);
        for (auto& b : chunk)
            b = uint8_t(rng() % 4 == 0 ? 0x23 : rng());
        // Now and then a plausible header, so bodies get collected too.
        if (round % 7 == 0 && chunk.size() > 8) {
            Bytes h = Header(uint32_t(rng() % 5000));
            std::copy(h.begin(), h.end(), chunk.begin());
        }
        a.got.clear();
        a.Feed(chunk);
        for (const Bytes& p : a.got) {
            ++delivered;
            MediaPackage mp;
            ParseMediaPackage(p.data(), int(p.size()), mp);
            ByteStream r(p.data(), uint32_t(p.size()));
            StreamDescription d;
            ParseStreamDescription(r, d);
            DispatchPackage(p.data(), int(p.size()), [](int, int, ByteStream& rr) {
                std::string s;
                ParseDescribePkg(rr, s);
            });
        }
    }
    EXPECT_GT(delivered, 0);
    // The assembler still works afterwards: flush with bytes that cannot
    // complete a header, then a clean package.
    Bytes pkg = MakePkg(1101, 100, 3);
    Assembler b;
    b.Feed(Bytes(5000, 0x00));
    b.Feed(pkg);
    ASSERT_EQ(b.got.size(), 1u);
    EXPECT_EQ(b.got[0], pkg);
}

TEST(Buffers, CountersFollowLifetimesAndDataBuffReadsInPieces) {
    int pd = g_nLivePackageData, db = g_nLiveDataBuff;
    {
        PackageData p(16);
        EXPECT_EQ(g_nLivePackageData, pd + 1);
        const uint8_t bytes[20] = {1, 2, 3};
        p.Append(bytes, 20);
        EXPECT_EQ(p.nUsed, 0) << "does not fit: nothing copied";
        p.Append(bytes, 3);
        p.Reserve(64);
        EXPECT_EQ(p.nSize, 64);
        EXPECT_EQ(p.nUsed, 3);
        EXPECT_EQ(p.pData[2], 3);

        Bytes src(25000);
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = uint8_t(i);
        DataBuff d(src.data(), int(src.size()));
        EXPECT_EQ(g_nLiveDataBuff, db + 1);
        Bytes out(10240);
        EXPECT_EQ(d.Read(out.data(), 10240), 10240);
        EXPECT_EQ(d.Read(out.data(), 10240), 10240);
        EXPECT_EQ(d.Read(out.data(), 10240), 4520);
        EXPECT_EQ(out[4519], uint8_t(24999));
        EXPECT_TRUE(d.IsDone());
        EXPECT_EQ(d.Read(out.data(), 10240), 0);
    }
    EXPECT_EQ(g_nLivePackageData, pd);
    EXPECT_EQ(g_nLiveDataBuff, db);
}

// ------------------------------------------------------------- media package

namespace {
AVPacketPtr MakePacket(int size) {
    AVPacketPtr p(av_packet_alloc());
    av_new_packet(p.get(), size);
    for (int i = 0; i < size; ++i)
        p->data[i] = uint8_t(i * 3 + 1);
    return p;
}
} // namespace

TEST(MediaPackage, RoundTripWidensTimeStampsWithZeros) {
    AVPacketPtr p = MakePacket(100);
    p->pts = -1;
    p->dts = AV_NOPTS_VALUE;
    p->stream_index = 1;
    p->flags = AV_PKT_FLAG_KEY;
    p->duration = 40;
    p->pos = 0x100000123LL;
    Bytes pkg = BuildMediaPackage(p.get(), AV_CODEC_ID_H264, true);
    ASSERT_EQ(pkg.size(), 150u);
    EXPECT_EQ(pkg[7], 150);
    EXPECT_EQ(pkg[9], PKG_MEDIA >> 8);
    EXPECT_EQ(pkg[10], PKG_MEDIA & 0xFF);
    EXPECT_EQ(pkg[11], 1);
    EXPECT_EQ(pkg[15], 28) << "H.264 travels as its old number";
    EXPECT_EQ(pkg[148], 0xFF);
    EXPECT_EQ(pkg[149], 0x00);

    MediaPackage mp;
    ASSERT_TRUE(ParseMediaPackage(pkg.data(), int(pkg.size()), mp));
    EXPECT_EQ(mp.nCodecId, AV_CODEC_ID_H264);
    EXPECT_TRUE(mp.bVideo);
    EXPECT_EQ(mp.pkt->pts, 4294967295LL);
    EXPECT_EQ(mp.pkt->dts, 0) << "unset arrives as 0";
    EXPECT_EQ(mp.pkt->pos, 0x123);
    EXPECT_EQ(mp.pkt->stream_index, 1);
    EXPECT_EQ(mp.pkt->flags, AV_PKT_FLAG_KEY);
    EXPECT_EQ(mp.pkt->duration, 40);
    ASSERT_EQ(mp.pkt->size, 100);
    EXPECT_EQ(std::memcmp(mp.pkt->data, p->data, 100), 0);
}

TEST(MediaPackage, ExtensionCodecsAndAudioSurviveTheTrip) {
    AVPacketPtr p = MakePacket(5);
    Bytes pkg = BuildMediaPackage(p.get(), AV_CODEC_ID_HEVC, false);
    EXPECT_EQ(pkg[12], 0x40);
    MediaPackage mp;
    ASSERT_TRUE(ParseMediaPackage(pkg.data(), int(pkg.size()), mp));
    EXPECT_EQ(mp.nCodecId, AV_CODEC_ID_HEVC);
    EXPECT_FALSE(mp.bVideo);
}

TEST(MediaPackage, EmptyPayloadAndWrongSizeAreDropped) {
    AVPacketPtr empty(av_packet_alloc());
    Bytes pkg = BuildMediaPackage(empty.get(), AV_CODEC_ID_AAC, false);
    ASSERT_EQ(pkg.size(), 50u);
    MediaPackage mp;
    EXPECT_FALSE(ParseMediaPackage(pkg.data(), int(pkg.size()), mp));
    EXPECT_FALSE(mp.pkt);

    AVPacketPtr p = MakePacket(64);
    Bytes good = BuildMediaPackage(p.get(), AV_CODEC_ID_AAC, false);
    Bytes bad = good;
    bad[27] ^= 1;  // size field
    EXPECT_FALSE(ParseMediaPackage(bad.data(), int(bad.size()), mp));
    EXPECT_FALSE(ParseMediaPackage(good.data(), int(good.size()) - 1, mp)) << "length disagrees";
    EXPECT_FALSE(ParseMediaPackage(good.data(), 40, mp));
    EXPECT_FALSE(ParseMediaPackage(nullptr, 100, mp));
    EXPECT_TRUE(ParseMediaPackage(good.data(), int(good.size()), mp));
}

// -------------------------------------------------------- stream description

namespace {
StreamDescription AudioOnly() {
    StreamDescription d;
    d.audio.bPresent = true;
    d.audio.nCodecId = AV_CODEC_ID_AAC;
    d.audio.nSampleRate = 44100;
    d.audio.nChannels = 2;
    d.audio.codecTimeBase = {1, 44100};
    d.audio.nSampleFmt = AV_SAMPLE_FMT_FLTP;
    d.audio.nBlockAlign = 0;
    d.audio.streamTimeBase = {1, 44100};
    d.audio.extradata = {0x12, 0x10};
    return d;
}
StreamDescription VideoOnly(size_t extra) {
    StreamDescription d;
    d.video.bPresent = true;
    d.video.nCodecId = AV_CODEC_ID_H264;
    d.video.nFps = 25;
    d.video.nFormat = 0;
    d.video.codecTimeBase = {1, 50};
    d.video.nDuration = 10;
    d.video.nWidth = 320;
    d.video.nHeight = 240;
    d.video.streamTimeBase = {1, 12800};
    d.video.extradata.resize(extra);
    for (size_t i = 0; i < extra; ++i)
        d.video.extradata[i] = uint8_t(i ^ 0x5A);
    return d;
}
StreamDescription RoundTrip(const StreamDescription& d, Bytes* wire = nullptr) {
    Bytes pkg = BuildStreamDescription(d);
    if (wire)
        *wire = pkg;
    FrameAssembler fa;  // goes through the assembler as on a connection
    StreamDescription out;
    int n = 0;
    fa.FeedBytes(pkg.data(), int(pkg.size()), [&](const uint8_t* p, int len) {
        ++n;
        ByteStream r(p, uint32_t(len));
        EXPECT_TRUE(ParseStreamDescription(r, out));
    });
    EXPECT_EQ(n, 1);
    return out;
}
} // namespace

TEST(StreamDescription, AudioOnly) {
    Bytes wire;
    StreamDescription got = RoundTrip(AudioOnly(), &wire);
    EXPECT_EQ(wire.size(), 93u + 2u);
    EXPECT_EQ(wire[11], 1);
    EXPECT_EQ(wire[15], 0x02) << "AAC is 86018 = 0x15002 on the wire";
    EXPECT_EQ(wire[14], 0x50);
    EXPECT_TRUE(got.audio.bPresent);
    EXPECT_EQ(got.audio.nCodecId, AV_CODEC_ID_AAC);
    EXPECT_EQ(got.audio.nSampleRate, 44100);
    EXPECT_EQ(got.audio.nChannels, 2);
    EXPECT_EQ(got.audio.codecTimeBase.den, 44100);
    EXPECT_EQ(got.audio.codecTimeBase.num, 1);
    EXPECT_EQ(got.audio.nSampleFmt, AV_SAMPLE_FMT_FLT) << "planar travels as packed";
    EXPECT_EQ(got.audio.extradata, (Bytes{0x12, 0x10}));
    EXPECT_FALSE(got.video.bPresent);
    EXPECT_EQ(got.video.nWidth, 0);
}

TEST(StreamDescription, VideoOnlyDenominatorFirst) {
    Bytes wire;
    StreamDescription got = RoundTrip(VideoOnly(40), &wire);
    EXPECT_EQ(wire.size(), 93u + 40u);
    EXPECT_EQ(wire[11], 0) << "no audio";
    // Audio section: flag, 9 u32 and a u8 of zeros; the video flag follows.
    EXPECT_EQ(wire[11 + 1 + 4 + 4 + 1 + 4 * 4 + 4 * 2 + 4], 1);
    EXPECT_FALSE(got.audio.bPresent);
    EXPECT_TRUE(got.video.bPresent);
    EXPECT_EQ(got.video.nCodecId, AV_CODEC_ID_H264);
    EXPECT_EQ(got.video.nFps, 25);
    EXPECT_EQ(got.video.codecTimeBase.den, 50);
    EXPECT_EQ(got.video.nDuration, 10);
    EXPECT_EQ(got.video.nWidth, 320);
    EXPECT_EQ(got.video.nHeight, 240);
    EXPECT_EQ(got.video.streamTimeBase.den, 12800);
    EXPECT_EQ(got.video.extradata, VideoOnly(40).video.extradata);
}

TEST(StreamDescription, NeitherSectionIsAllZeros) {
    StreamDescription d;
    d.audio.nSampleRate = 48000;  // an absent section writes zeros whatever it holds
    d.video.extradata = {1, 2, 3};
    Bytes wire;
    StreamDescription got = RoundTrip(d, &wire);
    ASSERT_EQ(wire.size(), 93u);
    for (size_t i = 11; i < 91; ++i)
        EXPECT_EQ(wire[i], 0) << i;
    EXPECT_FALSE(got.audio.bPresent);
    EXPECT_FALSE(got.video.bPresent);
    EXPECT_EQ(got.audio.nSampleRate, 0);
}

TEST(StreamDescription, LargePrivateDataStillParses) {
    StreamDescription d = VideoOnly(3000);
    StreamDescription a = AudioOnly();
    d.audio = a.audio;
    d.audio.extradata.assign(2000, 0x77);
    Bytes wire;
    StreamDescription got = RoundTrip(d, &wire);
    EXPECT_EQ(wire.size(), 93u + 5000u);
    EXPECT_EQ(got.audio.extradata, d.audio.extradata);
    EXPECT_EQ(got.video.extradata, d.video.extradata);
}

TEST(StreamDescription, AbsentSectionWithPrivateDataIsSkippedAndShortOnesFail) {
    // Hand-built: audio flag 0 but 3 private bytes, then a video section.
    Bytes buf(200);
    ByteStream w(buf.data(), uint32_t(buf.size()));
    BeginFrame(w, PKG_DESCRIBE_RSP, 4);
    w.WriteU8(0);
    for (int i = 0; i < 2; ++i)
        w.WriteU32(0);
    w.WriteU8(0);
    for (int i = 0; i < 6; ++i)
        w.WriteU32(0);
    w.WriteU32(3);
    w.WriteBytes("abc", 3);
    w.WriteU8(1);
    w.WriteU32(28);
    w.WriteU8(30);
    for (int i = 0; i < 8; ++i)  // format, time base, duration, size, stream time base
        w.WriteU32(uint32_t(i + 1));
    w.WriteU32(0);
    EndFrame(w);
    ByteStream r(buf.data(), w.Pos());
    StreamDescription d;
    ASSERT_TRUE(ParseStreamDescription(r, d));
    EXPECT_TRUE(d.audio.extradata.empty());
    EXPECT_TRUE(d.video.bPresent);
    EXPECT_EQ(d.video.nFps, 30);
    EXPECT_EQ(d.video.nCodecId, AV_CODEC_ID_H264);
    EXPECT_EQ(d.video.nWidth, 5);

    Bytes full = BuildStreamDescription(VideoOnly(100));
    ByteStream cut(full.data(), uint32_t(full.size() - 60));
    EXPECT_FALSE(ParseStreamDescription(cut, d)) << "private data announced beyond the end";
    EXPECT_TRUE(d.video.extradata.empty());
}

TEST(StreamDescription, DescribeStreamsReadsARealFile) {
    std::string path = TestClipAv10s();
    ASSERT_FALSE(path.empty());
    AVFormatContext* fmt = nullptr;
    ASSERT_EQ(avformat_open_input(&fmt, path.c_str(), nullptr, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(fmt, nullptr), 0);
    AVCodecContext* ctx[2] = {};
    AVStream* st[2] = {};
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        int k = fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? 1 : 0;
        st[k] = fmt->streams[i];
        ctx[k] = avcodec_alloc_context3(nullptr);
        avcodec_parameters_to_context(ctx[k], st[k]->codecpar);
    }
    ASSERT_TRUE(ctx[0] && ctx[1]);
    StreamDescription got = RoundTrip(DescribeStreams(ctx[0], st[0], ctx[1], st[1], 25, 10));
    EXPECT_EQ(got.audio.nCodecId, AV_CODEC_ID_AAC);
    EXPECT_EQ(got.audio.nSampleRate, 44100);
    EXPECT_EQ(got.audio.nChannels, 2);
    EXPECT_EQ(got.audio.extradata.size(), size_t(ctx[0]->extradata_size));
    EXPECT_EQ(got.video.nCodecId, AV_CODEC_ID_H264);
    EXPECT_EQ(got.video.nWidth, 320);
    EXPECT_EQ(got.video.nHeight, 240);
    EXPECT_EQ(got.video.nDuration, 10);
    EXPECT_GT(got.video.extradata.size(), 0u);
    EXPECT_EQ(got.video.streamTimeBase.num, st[1]->time_base.num);
    EXPECT_EQ(got.video.streamTimeBase.den, st[1]->time_base.den);
    for (auto* c : ctx)
        avcodec_free_context(&c);
    avformat_close_input(&fmt);
}

// ------------------------------------------------------------- wire numbers

TEST(WireIds, KnownNumbersBothWays) {
    EXPECT_EQ(CodecIdToWire(AV_CODEC_ID_H264), 28);
    EXPECT_EQ(CodecIdToWire(AV_CODEC_ID_MPEG4), 13);
    EXPECT_EQ(CodecIdToWire(AV_CODEC_ID_AAC), 86018);
    EXPECT_EQ(CodecIdToWire(AV_CODEC_ID_MP3), 86017);
    EXPECT_EQ(CodecIdToWire(AV_CODEC_ID_PCM_S16LE), 65536);
    EXPECT_EQ(CodecIdToWire(AV_CODEC_ID_VP8), 145);
    EXPECT_EQ(CodecIdFromWire(28), AV_CODEC_ID_H264);
    EXPECT_EQ(CodecIdFromWire(86030), AV_CODEC_ID_FLAC);
    EXPECT_EQ(CodecIdFromWire(3), AV_CODEC_ID_NONE) << "XvMC has no FFmpeg counterpart";
    EXPECT_EQ(CodecIdFromWire(123456), AV_CODEC_ID_NONE);
    EXPECT_EQ(CodecIdToWire(AV_CODEC_ID_HEVC), kWireExtensionBase);
    EXPECT_EQ(CodecIdToWire(AV_CODEC_ID_VP9), kWireExtensionBase + 1);
    EXPECT_EQ(CodecIdToWire(AV_CODEC_ID_AV1), kWireExtensionBase + 2);
    EXPECT_EQ(CodecIdToWire(AV_CODEC_ID_OPUS), kWireExtensionBase + 3);
    EXPECT_EQ(CodecIdToWire(AV_CODEC_ID_BITPACKED), 0) << "no number at all";
}

TEST(WireIds, EveryWireNumberMapsBackToItself) {
    std::vector<int> ranges[] = {{0, 160}, {65536, 65570}, {69632, 69670}, {73728, 73735},
                                 {77824, 77830}, {81920, 81930}, {86016, 86075}, {94208, 94220},
                                 {kWireExtensionBase, kWireExtensionBase + 64}};
    int mapped = 0;
    for (auto& r : ranges) {
        for (int n = r[0]; n < r[1]; ++n) {
            AVCodecID id = CodecIdFromWire(n);
            if (id == AV_CODEC_ID_NONE)
                continue;
            ++mapped;
            if (n == 142)  // IFF_BYTERUN1 is FFmpeg's alias of IFF_ILBM (141)
                EXPECT_EQ(CodecIdToWire(id), 141);
            else
                EXPECT_EQ(CodecIdToWire(id), n) << n;
        }
    }
    EXPECT_GT(mapped, 300);
}

TEST(WireIds, SampleFormatsTravelPacked) {
    EXPECT_EQ(SampleFmtToWire(AV_SAMPLE_FMT_U8), 0);
    EXPECT_EQ(SampleFmtToWire(AV_SAMPLE_FMT_S16), 1);
    EXPECT_EQ(SampleFmtToWire(AV_SAMPLE_FMT_S16P), 1);
    EXPECT_EQ(SampleFmtToWire(AV_SAMPLE_FMT_S32P), 2);
    EXPECT_EQ(SampleFmtToWire(AV_SAMPLE_FMT_FLTP), 3);
    EXPECT_EQ(SampleFmtToWire(AV_SAMPLE_FMT_DBLP), 4);
    EXPECT_EQ(SampleFmtToWire(AV_SAMPLE_FMT_NONE), -1);
    EXPECT_EQ(SampleFmtFromWire(1), AV_SAMPLE_FMT_S16);
    EXPECT_EQ(SampleFmtFromWire(3), AV_SAMPLE_FMT_FLT);
    EXPECT_EQ(SampleFmtFromWire(-1), AV_SAMPLE_FMT_NONE);
    EXPECT_EQ(SampleFmtFromWire(77), AV_SAMPLE_FMT_NONE);
    EXPECT_EQ(SampleFmtFromWire(SampleFmtToWire(AV_SAMPLE_FMT_S64P)), AV_SAMPLE_FMT_S64);
}
