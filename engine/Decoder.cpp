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

void Decoder::Start(const char* name) {
    if (m_thread.joinable())
        return;
    m_nSerial = m_pkts.Serial();
    m_thread = std::thread([this] { Run(); });
    NameThread(m_thread, name);
}

void Decoder::Join() {
    if (m_thread.joinable())
        m_thread.join();
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
            OnFlush();
        }
        if (Current())  // else queued before a flush that came since
            return std::move(taken.pkt);
    }
}
