#pragma once
// The package: one framed message of the TCP stream protocol.
//
//   23 00 55 FF | u32 total length | u8 version 1 | u16 type | body | FF 00
//
// This header holds the envelope, the frame assembler that cuts packages out
// of a received byte stream, the two buffer types of a connection, and the
// bodies that carry media: the stream description, the media package and the
// end of stream. Codec ids and sample formats are FFmpeg's in memory and are
// translated at this boundary (WireIds.h).
//
// Threads: everything here is used by one thread at a time; a FrameAssembler
// belongs to its connection's receive thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/ByteStream.h"
#include "engine/FfmpegPtr.h"

extern "C" {
struct AVCodecContext;
struct AVPacket;
struct AVStream;
}

// Message types (the u16 after the version byte).
enum PkgType : uint16_t {
    PKG_SEEK = 1002,
    PKG_DESCRIBE = 1004,
    PKG_DESCRIBE_RSP = 1005,
    PKG_FETCH_MEDIA = 1100,
    PKG_MEDIA = 1101,
    PKG_END = 1200,
};

inline constexpr uint8_t kPkgVersion = 1;
inline constexpr uint32_t kPkgHeaderSize = 8;       // magic + length
inline constexpr uint32_t kPkgBodyOffset = 11;      // header + version + type
inline constexpr uint32_t kPkgFrameOverhead = 13;   // header, version, type, trailer
inline constexpr int kPkgMaxLen = 1024000;          // announced lengths from here on are garbage
inline constexpr int kMaxFeedChunk = 1048576;       // larger chunks are ignored whole
inline constexpr int kPackageDataInitSize = 10240;  // first capacity, and headroom on growth
inline constexpr int kSmallPkgBufSize = 1024;       // buffer of the small request messages
inline constexpr uint32_t kMediaPkgOverhead = 50;   // media package length minus payload
inline constexpr uint32_t kDescribeFixedSize = 93;  // description length without private data

// Writes the 8-byte header with the placeholder length bodyLength + 13, the
// version and the type.
void BeginFrame(ByteStream& w, uint16_t type, uint32_t bodyLength);
// Writes the trailer and patches the length with the true size written.
void EndFrame(ByteStream& w);

// Buffer of one incoming package, header included. Counted in g_nLivePackageData.
class PackageData {
public:
    explicit PackageData(int nCapacity);
    ~PackageData();
    PackageData(const PackageData&) = delete;
    PackageData& operator=(const PackageData&) = delete;

    void Reset();
    // Copies only when the bytes fit; otherwise does nothing.
    void Append(const uint8_t* bytes, int n);
    // Moves the used bytes into a new buffer of newSize.
    void Reserve(int newSize);
    // Frees the buffer early (connection ended); a later header grows it again.
    void Release();

    int nLen = 0;
    int nUsed = 0;
    int nSize = 0;
    std::unique_ptr<uint8_t[]> pData;
};

// One outgoing block of a send queue: a private copy of the bytes.
// Counted in g_nLiveDataBuff.
class DataBuff {
public:
    DataBuff(const uint8_t* bytes, int n);
    // Room for `capacity` bytes, left unset: the producer writes into pData
    // and sets nLen, which saves a staging copy on hot paths.
    explicit DataBuff(int capacity);
    ~DataBuff();
    DataBuff(const DataBuff&) = delete;
    DataBuff& operator=(const DataBuff&) = delete;

    // The next min(left, max) bytes, read in place: their start, with their
    // count in n. They stay valid while the block lives.
    const uint8_t* Take(int max, int& n);
    bool IsDone() const { return nPos >= nLen; }

    std::unique_ptr<uint8_t[]> pData;
    int nLen = 0;
    int nPos = 0;
};

// Cuts packages out of a byte stream that arrives in chunks of any size.
// Garbage between packages is skipped; headers announcing a length outside
// [8, kPkgMaxLen) are dropped.
class FrameAssembler {
public:
    // Receives (first byte, total length); the bytes are valid only during the call.
    using Deliver = std::function<void(const uint8_t*, int)>;

    FrameAssembler();
    void FeedBytes(const uint8_t* data, int n, const Deliver& deliver);
    // Frees the package buffer once no more bytes will come.
    void ReleaseBuffer() { m_pkg.Release(); }
    int BufferSize() const { return m_pkg.nSize; }

private:
    void CheckHeader();
    void ClearHeader();

    uint8_t m_header[kPkgHeaderSize] = {};
    int m_nHeader = 0;
    bool m_bCollecting = false;
    PackageData m_pkg;
};

// PKG_MEDIA from a packet of the stream with FFmpeg codec id nCodecId. Time
// stamps and position travel as their low 32 bits.
// The first form builds straight into a send-queue block; null for no packet.
std::unique_ptr<DataBuff> BuildMediaPackageBuff(const AVPacket* pkt, int nCodecId, bool bVideo);
std::vector<uint8_t> BuildMediaPackage(const AVPacket* pkt, int nCodecId, bool bVideo);

struct MediaPackage {
    AVPacketPtr pkt;
    int nCodecId = 0;       // FFmpeg codec id
    bool bVideo = false;
};
// Parses a PKG_MEDIA of total length nLen. Returns false (and no packet) for
// an empty payload, a size field that disagrees with the length, or a short
// package. Time stamps come back widened with zeros.
bool ParseMediaPackage(const uint8_t* pPkg, int nLen, MediaPackage& out);

struct TimeBase {
    int num = 0;
    int den = 0;
};

// The stream description, with FFmpeg's codec ids and sample format.
struct StreamDescription {
    struct Audio {
        bool bPresent = false;
        int nCodecId = 0;
        int nSampleRate = 0;
        int nChannels = 0;
        TimeBase codecTimeBase;
        int nSampleFmt = -1;
        int nBlockAlign = 0;
        TimeBase streamTimeBase;
        std::vector<uint8_t> extradata;
    } audio;
    struct Video {
        bool bPresent = false;
        int nCodecId = 0;
        int nFps = 0;
        int nFormat = 0;        // carried as is, no translation
        TimeBase codecTimeBase;
        int nDuration = 0;      // whole seconds of the medium
        int nWidth = 0;
        int nHeight = 0;
        TimeBase streamTimeBase;
        std::vector<uint8_t> extradata;
    } video;
};

// Fills a description from the demuxer's decoder contexts and streams; a null
// context leaves its section absent.
StreamDescription DescribeStreams(const AVCodecContext* pAudioCtx, const AVStream* pAudioStream,
                                  const AVCodecContext* pVideoCtx, const AVStream* pVideoStream,
                                  int nFps, int nDurationSec);

// PKG_DESCRIBE_RSP. The buffer is sized from the private data, so any amount
// of it goes out parseable.
std::vector<uint8_t> BuildStreamDescription(const StreamDescription& desc);
// Reads a PKG_DESCRIBE_RSP from its body on. False when the package is short.
bool ParseStreamDescription(ByteStream& r, StreamDescription& out);
