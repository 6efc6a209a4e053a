#include "engine/Decoder.h"

#include "platform/ThreadName.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

Decoder::~Decoder() {
    // A subclass's state is gone by now: its owner joins the thread first.
    Close();
}

bool Decoder::Open(AVCodecContext* ctx, bool owned) {
    Close();
    m_pCtx = ctx;
    m_bOwned = owned;
    if (!ctx)
        return false;
    const AVCodec* codec = avcodec_find_decoder(ctx->codec_id);
    if (!codec || avcodec_open2(ctx, codec, nullptr) < 0)
        return false;
    m_pCodec = codec;
    return true;
}

void Decoder::Close() {
    if (m_pCodec && m_pCtx && !m_bOwned)
        avcodec_close(m_pCtx);  // the demuxer's context, opened again at the next open
    if (m_bOwned)
        avcodec_free_context(&m_pCtx);
    m_pCtx = nullptr;
    m_pCodec = nullptr;
    m_bOwned = false;
}

void Decoder::Start(const char* name, double skipUntil) {
    if (m_thread.joinable())
        return;
    m_nSerial = m_pkts.Serial();
    m_dSkipTarget = -INFINITY;
    m_dSkipUntil = skipUntil;
    m_thread = std::thread([this] { Run(); });
    NameThread(m_thread, name);
}

void Decoder::Join() {
    if (m_thread.joinable())
        m_thread.join();
}

namespace {
const char kEndTag = 0;  // its address marks the end package
}  // namespace

AVPacketPtr Decoder::EndMarker() {
    AVPacketPtr pkt(av_packet_alloc());
    if (pkt)
        pkt->opaque = const_cast<char*>(&kEndTag);
    return pkt;
}

bool Decoder::IsEndMarker(const AVPacket& pkt) { return pkt.opaque == &kEndTag; }

int Decoder::Send(const AVPacket& pkt) { return avcodec_send_packet(m_pCtx, IsEndMarker(pkt) ? nullptr : &pkt); }

void Decoder::AfterReceiving(const AVPacket& pkt) {
    if (IsEndMarker(pkt))
        avcodec_flush_buffers(m_pCtx);
}

AVPacketPtr Decoder::NextPackage(std::atomic<bool>* dry, size_t reserve) {
    for (;;) {
        PacketQueue::Taken taken = m_pkts.Take(dry, reserve);
        if (!taken.pkt)
            return nullptr;
        if (taken.serial != m_nSerial) {
            m_nSerial = taken.serial;
            if (m_pCodec)
                avcodec_flush_buffers(m_pCtx);
            m_dSkipUntil = m_dSkipTarget;  // set by the seek before its flush
            OnFlush();
        }
        if (Current())  // else queued before a flush that came since
            return std::move(taken.pkt);
    }
}
