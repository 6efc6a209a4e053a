#pragma once
// A decoder per stream: its codec context, its thread and the serial of the
// packages it decodes. The thread takes packages from its queue; when the
// queue's serial has moved on (a seek flushed it) the codec is flushed
// before the next package, so nothing held inside it from before the seek
// comes out, and a package taken before the flush is not decoded.
//
// Threads: Open, Close, Start and Join on the controlling thread, with the
// thread not running for Open and Close; the rest on the decoder's thread.

#include <atomic>
#include <cmath>
#include <thread>

#include "engine/FfmpegPtr.h"
#include "engine/PacketQueue.h"

extern "C" {
struct AVCodec;
struct AVCodecContext;
}

class Decoder {
public:
    explicit Decoder(PacketQueue& pkts) : m_pkts(pkts) {}
    virtual ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Takes ctx (freed by Close when `owned`; a demuxer's is borrowed) and
    // opens the decoder for its codec id. False when there is none or it
    // fails to open; the stream then stays silent or dark.
    bool Open(AVCodecContext* ctx, bool owned);
    void Close();
    bool IsOpen() const { return m_pCodec != nullptr; }

    // The empty package the source queues at its end: the decoder sends it
    // as the drain request, so pictures and sound it holds back come out.
    static AVPacketPtr EndMarker();
    static bool IsEndMarker(const AVPacket& pkt);

    // Controlling thread, before the flush of a seek: what decodes from
    // before `stamp` (seconds) after that flush is decoded but neither shown
    // nor played, so the first picture and sound are the target's.
    void SkipUntil(double stamp) { m_dSkipTarget = stamp; }

    // Starts the thread unless it runs, decoding but neither showing nor
    // playing what comes before `skipUntil`; Join waits for it once its
    // queue is aborted.
    void Start(const char* name, double skipUntil = -INFINITY);
    void Join();

protected:
    // The thread's body: runs until the queue is aborted.
    virtual void Run() = 0;
    // A flush of the queue has been seen (the codec is flushed already).
    virtual void OnFlush() {}
    // The next package to decode, the codec flushed first when the queue
    // was flushed since the last one; null once the queue is aborted.
    // Packages taken under a serial that is already stale are skipped.
    AVPacketPtr NextPackage(std::atomic<bool>* dry = nullptr, size_t reserve = 1);
    // Sends the package (the drain request for the end marker); after a
    // drain the codec is reset to take packages again (a seek back).
    int Send(const AVPacket& pkt);
    void AfterReceiving(const AVPacket& pkt);
    // The serial of the package being decoded is still the queue's.
    bool Current() const { return m_nSerial == m_pkts.Serial(); }
    unsigned Serial() const { return m_nSerial; }
    AVCodecContext* Context() const { return m_pCtx; }

    PacketQueue& m_pkts;
    // The seek target being decoded towards; -infinity when there is none.
    double m_dSkipUntil = -INFINITY;

private:
    AVCodecContext* m_pCtx = nullptr;
    const AVCodec* m_pCodec = nullptr;
    bool m_bOwned = false;
    unsigned m_nSerial = 0;
    std::atomic<double> m_dSkipTarget{-INFINITY};
    std::thread m_thread;
};
