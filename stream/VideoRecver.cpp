#include "stream/VideoRecver.h"

#include "engine/Package.h"
#include "platform/TextCodec.h"
#include "platform/Trace.h"
#include "stream/StreamProtocol.h"

// A seek to 0 is a request every sender ignores without an answer: sent
// while the player is paused, it keeps the sender from closing the
// connection as idle.
VideoRecver::VideoRecver() { SetKeepAlive(kKeepAliveMs, BuildSeekPkg(0)); }

TcpConnection* VideoRecver::Clone() { return new VideoRecver(); }

VideoRecver::~VideoRecver() { TcpConnection::JoinThreads(); }

int VideoRecver::OnPackage(const uint8_t* pPkg, int nLen) {
    return DispatchPackage(pPkg, nLen, [&](int version, int type, ByteStream& r) {
        // The media handler parses the whole package itself.
        if (type == PKG_MEDIA) {
            TraceProcessPkg(type);
            ProcessVideoData(pPkg, nLen, type);
        } else {
            ProcessPkg(version, type, r);
        }
    });
}

void VideoRecver::TraceProcessPkg(int type) { DebugTrace("VideoRecver::ProcessPkg() %d\r\n", type); }

int VideoRecver::ProcessPkg(int, int type, ByteStream& reader) {
    TraceProcessPkg(type);
    switch (type) {
    case PKG_DESCRIBE_RSP:
        return ProcessStreamInfo(reader);
    case PKG_END:
        return ProcessStreamEnd(reader);
    default:
        return 0;
    }
}

int VideoRecver::ProcessStreamInfo(ByteStream& reader) {
    if (m_pOwner)
        m_pOwner->OnStreamInfo(reader, this);
    return 0;
}

int VideoRecver::ProcessVideoData(const uint8_t* pPkg, int nLen, int type) {
    DebugTrace("VideoRecver::ProcessVideoData() %d\r\n", type);
    MediaPackage media;
    if (!ParseMediaPackage(pPkg, nLen, media))
        return -1;
    if (m_pOwner)
        m_pOwner->OnMediaPackage(media.pkt.release(), media.nCodecId, media.bVideo ? 1 : 0, this);
    return 0;
}

int VideoRecver::ProcessStreamEnd(ByteStream& reader) {
    if (m_pOwner)
        m_pOwner->OnStreamEnd(reader, this);
    return 0;
}

void VideoRecver::SetName(const char* name) {
    if (name)
        m_strName = name;
}

int VideoRecver::SendPkg(const std::vector<uint8_t>& pkg) {
    if (pkg.empty())
        return -1;
    return Send(pkg.data(), int(pkg.size()));
}

int VideoRecver::SendDescribe() {
    DebugTrace("VideoRecver::SendDescribe() \r\n");
    return SendPkg(BuildDescribePkg(AnsiToUtf8(m_strName)));
}

int VideoRecver::SendFetchMediaPkgRsq() {
    DebugTrace("VideoRecver::SendFetchMediaPkgRsq() \r\n");
    return SendPkg(BuildFetchMediaPkg());
}

int VideoRecver::SendSeek(int seconds) { return SendPkg(BuildSeekPkg(uint32_t(seconds))); }
