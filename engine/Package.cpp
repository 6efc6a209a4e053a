#include "engine/Package.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "engine/LiveCounters.h"
#include "engine/WireIds.h"

namespace {
constexpr uint8_t kMagic[4] = {0x23, 0x00, 0x55, 0xFF};
constexpr uint8_t kTrailer[2] = {0xFF, 0x00};
constexpr uint32_t kLengthOffset = 4;
}

void BeginFrame(ByteStream& w, uint16_t type, uint32_t bodyLength) {
    w.WriteBytes(kMagic, sizeof kMagic);
    w.WriteU32(bodyLength + kPkgFrameOverhead);
    w.WriteU8(kPkgVersion);
    w.WriteU16(type);
}

void EndFrame(ByteStream& w) {
    w.WriteBytes(kTrailer, sizeof kTrailer);
    w.PatchU32(kLengthOffset, w.Pos());
}

// ---------------------------------------------------------------- PackageData

PackageData::PackageData(int nCapacity)
    : nSize(nCapacity > 0 ? nCapacity : 0), pData(new uint8_t[nSize > 0 ? nSize : 1]) {
    ++g_nLivePackageData;
}

PackageData::~PackageData() { --g_nLivePackageData; }

void PackageData::Reset() {
    nLen = 0;
    nUsed = 0;
}

void PackageData::Append(const uint8_t* bytes, int n) {
    if (!bytes || n <= 0 || n > nSize - nUsed)
        return;
    std::memcpy(pData.get() + nUsed, bytes, n);
    nUsed += n;
}

void PackageData::Reserve(int newSize) {
    if (newSize < nUsed)
        return;
    std::unique_ptr<uint8_t[]> p(new uint8_t[newSize > 0 ? newSize : 1]);
    if (nUsed > 0)
        std::memcpy(p.get(), pData.get(), nUsed);
    pData = std::move(p);
    nSize = newSize;
}

void PackageData::Release() {
    Reset();
    pData.reset();
    nSize = 0;
}

// ------------------------------------------------------------------- DataBuff

DataBuff::DataBuff(const uint8_t* bytes, int n) : nLen(bytes && n > 0 ? n : 0) {
    pData.reset(new uint8_t[nLen > 0 ? nLen : 1]);
    if (nLen > 0)
        std::memcpy(pData.get(), bytes, nLen);
    ++g_nLiveDataBuff;
}

DataBuff::DataBuff(int capacity) : pData(new uint8_t[capacity > 0 ? capacity : 1]), nLen(capacity > 0 ? capacity : 0) {
    ++g_nLiveDataBuff;
}

DataBuff::~DataBuff() { --g_nLiveDataBuff; }

const uint8_t* DataBuff::Take(int max, int& n) {
    n = std::max(0, std::min(nLen - nPos, max));
    const uint8_t* p = pData.get() + nPos;
    nPos += n;
    return p;
}

// ------------------------------------------------------------- FrameAssembler

FrameAssembler::FrameAssembler() : m_pkg(kPackageDataInitSize) {}

void FrameAssembler::ClearHeader() {
    std::memset(m_header, 0, sizeof m_header);
    m_nHeader = 0;
}

void FrameAssembler::CheckHeader() {
    if (std::memcmp(m_header, kMagic, sizeof kMagic) == 0) {
        int len = int(uint32_t(m_header[4]) << 24 | uint32_t(m_header[5]) << 16 |
                      uint32_t(m_header[6]) << 8 | m_header[7]);
        if (len >= int(kPkgHeaderSize) && len < kPkgMaxLen) {
            m_bCollecting = true;
            m_pkg.Reset();
            m_pkg.nLen = len;
            if (len > m_pkg.nSize)
                m_pkg.Reserve(len + kPackageDataInitSize);
            m_pkg.Append(m_header, kPkgHeaderSize);
            return;  // the count stays 8 while the body comes in
        }
        ClearHeader();
        return;
    }
    // A false start: a later 0x23 may begin the real header.
    for (int p = 1; p < int(kPkgHeaderSize); ++p) {
        if (m_header[p] == kMagic[0]) {
            int keep = kPkgHeaderSize - p;
            std::memmove(m_header, m_header + p, keep);
            std::memset(m_header + keep, 0, p);
            m_nHeader = keep;
            return;
        }
    }
    ClearHeader();
}

void FrameAssembler::FeedBytes(const uint8_t* data, int n, const Deliver& deliver) {
    if (!data || n <= 0 || n > kMaxFeedChunk)
        return;
    while (n > 0) {
        if (m_bCollecting) {
            int need = m_pkg.nLen - m_pkg.nUsed;
            if (need > n) {
                m_pkg.Append(data, n);
                return;
            }
            m_pkg.Append(data, need);
            data += need;
            n -= need;
            if (deliver)
                deliver(m_pkg.pData.get(), m_pkg.nLen);
            m_pkg.Reset();
            m_bCollecting = false;
            ClearHeader();
            continue;
        }
        if (m_nHeader > 0) {
            int take = kPkgHeaderSize - m_nHeader;
            if (n < take) {
                std::memcpy(m_header + m_nHeader, data, n);
                m_nHeader += n;
                return;
            }
            std::memcpy(m_header + m_nHeader, data, take);
            data += take;
            n -= take;
            CheckHeader();
            continue;
        }
        const uint8_t* start = static_cast<const uint8_t*>(std::memchr(data, kMagic[0], n));
        if (!start)
            return;
        n -= int(start - data);
        data = start;
        if (n < int(kPkgHeaderSize)) {
            std::memcpy(m_header, data, n);
            m_nHeader = n;
            return;
        }
        std::memcpy(m_header, data, kPkgHeaderSize);
        data += kPkgHeaderSize;
        n -= kPkgHeaderSize;
        CheckHeader();
    }
}

// -------------------------------------------------------------- media package


std::unique_ptr<DataBuff> BuildMediaPackageBuff(const AVPacket* pkt, int nCodecId, bool bVideo) {
    if (!pkt || pkt->size < 0)
        return nullptr;
    uint32_t payload = uint32_t(pkt->size);
    // 50 bytes of room beyond the exact size, so the writer cannot run out.
    auto buff = std::make_unique<DataBuff>(int(payload + 2 * kMediaPkgOverhead));
    ByteStream w(buff->pData.get(), uint32_t(buff->nLen));
    BeginFrame(w, PKG_MEDIA, payload + kMediaPkgOverhead - kPkgFrameOverhead);
    w.WriteU8(bVideo ? 1 : 0);
    w.WriteU32(uint32_t(CodecIdToWire(AVCodecID(nCodecId))));
    w.WriteU32(uint32_t(pkt->pts));
    w.WriteU32(uint32_t(pkt->dts));
    w.WriteU32(payload);
    w.WriteU32(uint32_t(pkt->stream_index));
    w.WriteU32(uint32_t(pkt->flags));
    w.WriteU32(uint32_t(pkt->duration));
    w.WriteU32(uint32_t(pkt->pos));
    w.WriteU32(0);  // convergence duration: FFmpeg no longer has it
    w.WriteBytes(pkt->data, payload);
    EndFrame(w);
    buff->nLen = int(w.Pos());
    return buff;
}

std::vector<uint8_t> BuildMediaPackage(const AVPacket* pkt, int nCodecId, bool bVideo) {
    std::unique_ptr<DataBuff> buff = BuildMediaPackageBuff(pkt, nCodecId, bVideo);
    if (!buff)
        return {};
    return std::vector<uint8_t>(buff->pData.get(), buff->pData.get() + buff->nLen);
}

bool ParseMediaPackage(const uint8_t* pPkg, int nLen, MediaPackage& out) {
    out = MediaPackage{};
    if (!pPkg || nLen <= int(kMediaPkgOverhead))
        return false;
    int payload = nLen - int(kMediaPkgOverhead);
    ByteStream r(pPkg, uint32_t(nLen));
    r.Seek(kPkgBodyOffset);
    uint8_t bVideo = 0;
    uint32_t codec = 0, pts = 0, dts = 0, size = 0;
    r.ReadU8(bVideo);
    r.ReadU32(codec);
    r.ReadU32(pts);
    r.ReadU32(dts);
    r.ReadU32(size);
    if (!r.Ok() || size != uint32_t(payload))
        return false;
    AVPacketPtr pkt(av_packet_alloc());
    if (!pkt || av_new_packet(pkt.get(), payload) < 0)
        return false;
    uint32_t streamIndex = 0, flags = 0, duration = 0, pos = 0, convergence = 0;
    r.ReadU32(streamIndex);
    r.ReadU32(flags);
    r.ReadU32(duration);
    r.ReadU32(pos);
    r.ReadU32(convergence);
    r.ReadBytes(pkt->data, uint32_t(payload));
    if (!r.Ok())
        return false;
    pkt->pts = int64_t(pts);
    pkt->dts = int64_t(dts);
    pkt->stream_index = int(streamIndex);
    pkt->flags = int(flags);
    pkt->duration = int32_t(duration);
    pkt->pos = int64_t(pos);
    out.pkt = std::move(pkt);
    out.nCodecId = CodecIdFromWire(int(codec));
    out.bVideo = bVideo != 0;
    return true;
}

// --------------------------------------------------------- stream description

namespace {

TimeBase ToTimeBase(AVRational r) { return TimeBase{r.num, r.den}; }

void WriteTimeBase(ByteStream& w, const TimeBase& tb) {
    // Denominator first.
    w.WriteU32(uint32_t(tb.den));
    w.WriteU32(uint32_t(tb.num));
}

// A field past the end of a short package reads as 0.
uint8_t ReadU8Or0(ByteStream& r) {
    uint8_t v = 0;
    r.ReadU8(v);
    return v;
}

uint32_t ReadU32Or0(ByteStream& r) {
    uint32_t v = 0;
    r.ReadU32(v);
    return v;
}

void ReadTimeBase(ByteStream& r, TimeBase& tb) {
    tb.den = int(ReadU32Or0(r));
    tb.num = int(ReadU32Or0(r));
}

void WritePrivate(ByteStream& w, const std::vector<uint8_t>& data) {
    w.WriteU32(uint32_t(data.size()));
    w.WriteBytes(data.data(), uint32_t(data.size()));
}

// Reads a private-data block; an absent section's block is skipped.
void ReadPrivate(ByteStream& r, bool bPresent, std::vector<uint8_t>& out) {
    uint32_t len = 0;
    if (!r.ReadU32(len) || len == 0)
        return;
    if (!bPresent) {
        if (!r.Skip(len))
            r.ReadBytes(nullptr, len);  // fails, marking the short package
        return;
    }
    if (len > r.Remaining()) {
        r.ReadBytes(nullptr, len);  // no allocation for a bogus length
        return;
    }
    out.resize(len);
    r.ReadBytes(out.data(), len);
}

std::vector<uint8_t> CopyExtradata(const AVCodecContext* ctx) {
    if (!ctx->extradata || ctx->extradata_size <= 0)
        return {};
    return std::vector<uint8_t>(ctx->extradata, ctx->extradata + ctx->extradata_size);
}

} // namespace

StreamDescription DescribeStreams(const AVCodecContext* a, const AVStream* as,
                                  const AVCodecContext* v, const AVStream* vs,
                                  int nFps, int nDurationSec) {
    StreamDescription d;
    if (a) {
        d.audio.bPresent = true;
        d.audio.nCodecId = a->codec_id;
        d.audio.nSampleRate = a->sample_rate;
        d.audio.nChannels = a->ch_layout.nb_channels;
        d.audio.codecTimeBase = ToTimeBase(a->time_base);
        d.audio.nSampleFmt = a->sample_fmt;
        d.audio.nBlockAlign = a->block_align;
        if (as)
            d.audio.streamTimeBase = ToTimeBase(as->time_base);
        d.audio.extradata = CopyExtradata(a);
    }
    if (v) {
        d.video.bPresent = true;
        d.video.nCodecId = v->codec_id;
        d.video.nFps = nFps;
        d.video.nFormat = v->sample_fmt;
        d.video.codecTimeBase = ToTimeBase(v->time_base);
        d.video.nDuration = nDurationSec;
        // Before a decoder has run, only the display size may be known.
        d.video.nWidth = v->coded_width > 0 ? v->coded_width : v->width;
        d.video.nHeight = v->coded_height > 0 ? v->coded_height : v->height;
        if (vs)
            d.video.streamTimeBase = ToTimeBase(vs->time_base);
        d.video.extradata = CopyExtradata(v);
    }
    return d;
}

std::vector<uint8_t> BuildStreamDescription(const StreamDescription& d) {
    static const StreamDescription kAbsent;
    const auto& a = d.audio.bPresent ? d.audio : kAbsent.audio;
    const auto& v = d.video.bPresent ? d.video : kAbsent.video;
    size_t need = kDescribeFixedSize + a.extradata.size() + v.extradata.size();
    std::vector<uint8_t> buf(std::max<size_t>(kSmallPkgBufSize, need));
    ByteStream w(buf.data(), uint32_t(buf.size()));
    BeginFrame(w, PKG_DESCRIBE_RSP, 4);

    w.WriteU8(a.bPresent ? 1 : 0);
    w.WriteU32(a.bPresent ? uint32_t(CodecIdToWire(AVCodecID(a.nCodecId))) : 0);
    w.WriteU32(uint32_t(a.nSampleRate));
    w.WriteU8(uint8_t(a.nChannels));
    WriteTimeBase(w, a.codecTimeBase);
    w.WriteU32(a.bPresent ? uint32_t(SampleFmtToWire(AVSampleFormat(a.nSampleFmt))) : 0);
    w.WriteU32(uint32_t(a.nBlockAlign));
    WriteTimeBase(w, a.streamTimeBase);
    WritePrivate(w, a.extradata);

    w.WriteU8(v.bPresent ? 1 : 0);
    w.WriteU32(v.bPresent ? uint32_t(CodecIdToWire(AVCodecID(v.nCodecId))) : 0);
    w.WriteU8(uint8_t(v.nFps));
    w.WriteU32(uint32_t(v.nFormat));
    WriteTimeBase(w, v.codecTimeBase);
    w.WriteU32(uint32_t(v.nDuration));
    w.WriteU32(uint32_t(v.nWidth));
    w.WriteU32(uint32_t(v.nHeight));
    WriteTimeBase(w, v.streamTimeBase);
    WritePrivate(w, v.extradata);

    EndFrame(w);
    buf.resize(w.Pos());
    return buf;
}

bool ParseStreamDescription(ByteStream& r, StreamDescription& out) {
    out = StreamDescription{};
    r.Seek(kPkgBodyOffset);

    auto& a = out.audio;
    a.bPresent = ReadU8Or0(r) != 0;
    a.nCodecId = CodecIdFromWire(int(ReadU32Or0(r)));
    a.nSampleRate = int(ReadU32Or0(r));
    a.nChannels = ReadU8Or0(r);
    ReadTimeBase(r, a.codecTimeBase);
    a.nSampleFmt = SampleFmtFromWire(int(ReadU32Or0(r)));
    a.nBlockAlign = int(ReadU32Or0(r));
    ReadTimeBase(r, a.streamTimeBase);
    ReadPrivate(r, a.bPresent, a.extradata);

    auto& v = out.video;
    v.bPresent = ReadU8Or0(r) != 0;
    v.nCodecId = CodecIdFromWire(int(ReadU32Or0(r)));
    v.nFps = ReadU8Or0(r);
    v.nFormat = int(ReadU32Or0(r));
    ReadTimeBase(r, v.codecTimeBase);
    v.nDuration = int(ReadU32Or0(r));
    v.nWidth = int(ReadU32Or0(r));
    v.nHeight = int(ReadU32Or0(r));
    ReadTimeBase(r, v.streamTimeBase);
    ReadPrivate(r, v.bPresent, v.extradata);
    return r.Ok();
}
