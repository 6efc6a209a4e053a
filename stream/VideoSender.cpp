#include "stream/VideoSender.h"

#include "engine/Package.h"
#include "engine/VideoDemuxer.h"
#include "engine/WireIds.h"
#include "platform/ShareRoot.h"
#include "platform/TextCodec.h"
#include "platform/Trace.h"
#include "stream/StreamProtocol.h"

extern "C" {
#include <libavcodec/packet.h>
}

VideoSender::VideoSender() : m_pDemuxer(new VideoDemuxer), m_strRoot(SHARE_ROOT) {
    m_pDemuxer->setPeerInput(&VideoSender::InterruptOpen, this);
}

int VideoSender::SetRoot(const char* root) {
    if (!root)
        return -1;
    m_strRoot = root;
    return 0;
}

TcpConnection* VideoSender::Clone() {
    auto* clone = new VideoSender();
    clone->m_strRoot = m_strRoot;
    return clone;
}

// A wait inside the demuxer ends once the connection has.
int VideoSender::InterruptOpen(void* self) {
    auto* sender = static_cast<VideoSender*>(self);
    return sender->m_bClosed || sender->m_socket < 0;
}

VideoSender::~VideoSender() {
    JoinThreads();
    delete m_pDemuxer;
    m_pDemuxer = nullptr;
}

void VideoSender::OnClose() {
    ReleaseSendBuffers();
    // A demuxer call running on the receive thread ends at its next entry check.
    if (m_pDemuxer)
        m_pDemuxer->close();
    PkgConnection::OnClose();
}

int VideoSender::OnPackage(const uint8_t* pPkg, int nLen) {
    return DispatchPackage(pPkg, nLen, [this](int version, int type, ByteStream& r) { ProcessPkg(version, type, r); });
}

int VideoSender::ProcessPkg(int, int type, ByteStream& reader) {
    DebugTrace("VideoSender::ProcessPkg %d\r\n", type);
    switch (type) {
    case PKG_SEEK:
        return ProcessSeekPkg(reader);
    case PKG_DESCRIBE:
        return ProcessDescribe(reader);
    case PKG_FETCH_MEDIA:
        return ProcessFetchMediaPkg(type);
    case PKG_MEDIA:
        return ProcessMediaPkg(reader);
    default:
        return 0;
    }
}

int VideoSender::ProcessMediaPkg(ByteStream&) { return 0; }

int VideoSender::ProcessFetchMediaPkg(int type) {
    DebugTrace("VideoSender::ProcessFetchMediaPkg %d\r\n", type);
    SendOnePkg();
    return 0;
}

int VideoSender::ProcessDescribe(ByteStream& reader) {
    std::string utf8Name;
    ParseDescribePkg(reader, utf8Name);
    std::string name = Utf8ToAnsi(utf8Name);
    if (!m_pDemuxer)
        return -1;
    DebugTrace("m_pDemuxer->open() %s\r\n", name.c_str());
    // A file that cannot be opened, or that the peer may not have, is
    // described with both sections absent.
    std::string file = ServableFile(m_strRoot, name);
    if (file.empty() || m_pDemuxer->open(file.c_str()) != 0)
        m_pDemuxer->close();
    StreamDescription desc = DescribeStreams(m_pDemuxer->getAudioCodecCtx(), m_pDemuxer->getAudioStream(),
                                             m_pDemuxer->getVideoCodecCtx(), m_pDemuxer->getVideoStream(),
                                             m_pDemuxer->getFps(), m_pDemuxer->getDuration());
    std::vector<uint8_t> pkg = BuildStreamDescription(desc);
    Send(pkg.data(), int(pkg.size()));
    return 0;
}

int VideoSender::SendOnePkg() {
    if (m_bClosed)
        return -1;
    DebugTrace("VideoSender::SendOnePkg \r\n");
    int bVideo = 0, codecId = 0;
    AVPacketPtr pkt(m_pDemuxer ? m_pDemuxer->readPacket(bVideo, codecId) : nullptr);
    if (!pkt)
        return SendEndOfStream();
    std::unique_ptr<DataBuff> buff = BuildMediaPackageBuff(pkt.get(), codecId, bVideo != 0);
    if (!buff)
        return SendEndOfStream();
    DebugTrace("pksize %d nCodecID:%d duration:%d\r\n", buff->nLen, CodecIdToWire(AVCodecID(codecId)),
               int(pkt->duration));
    SendBuff(std::move(buff));
    return 0;
}

int VideoSender::SendEndOfStream() {
    std::vector<uint8_t> pkg = BuildEndPkg();
    return Send(pkg.data(), int(pkg.size()));
}

int VideoSender::ProcessSeekPkg(ByteStream& reader) {
    DebugTrace("VideoSender::ProcessSeekPkg");
    int32_t target = ParseSeekPkg(reader);
    if (target > 0 && m_pDemuxer) {
        m_pDemuxer->seek(int(target));
        return 0;
    }
    DebugTrace("no open yeah\r\n");
    return 0;
}
