#pragma once
// A queue of compressed packages, oldest first, that owns its lock, its
// condition and its counts (packages, bytes, duration in stream units).
//
// Flush empties it and raises its serial: a package taken under an older
// serial was queued before the flush, so its taker knows to drop it. A held
// queue gives nothing out (a paused consumer); an ended one gives out its
// last packages without waiting for a batch; an aborted one wakes and
// releases every waiter.
//
// Threads: any; one producer and one consumer is the usual shape.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "engine/FfmpegPtr.h"
#include "platform/WakeSignal.h"

class PacketQueue {
public:
    // `taken` is notified after every package given out (a producer waiting
    // for room sleeps on it).
    explicit PacketQueue(WakeSignal& taken) : m_taken(taken) {}
    ~PacketQueue() { Flush(); }
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    void Put(AVPacketPtr pkt);

    struct Taken {
        AVPacketPtr pkt;      // null when aborted
        unsigned serial = 0;  // the queue's serial when it was taken
    };
    // Waits until a package is queued and the queue is not held, or until it
    // is aborted. With `dry`: a taker that finds the queue empty raises it
    // and from then on waits for `reserve` packages (or the end), lowering
    // it as it takes.
    Taken Take(std::atomic<bool>* dry = nullptr, size_t reserve = 1);

    // Releases every package and raises the serial, which it returns.
    unsigned Flush();
    // Releases every package, not the serial (after a stop).
    void Clear();

    void SetHeld(bool held);
    void SetEnded(bool ended);
    bool Ended() const { return m_bEnded; }
    // Aborting wakes every waiter with nothing; Restart accepts waiters again.
    void Abort();
    void Restart();
    bool Aborted() const { return m_bAborted; }

    size_t Size() const { return m_nCount; }
    int64_t Bytes() const { return m_nBytes; }
    int64_t DurationUnits() const { return m_nDuration; }
    unsigned Serial() const { return m_nSerial; }

    // Stamps (pts) of the first and the last package queued, and how many.
    struct Span {
        int64_t first, last;
        size_t count;
    };
    Span StampSpan() const;

    // Drops each run of at most `limit` packages that a key package follows,
    // so decoding jumps to that key instead of working through stale
    // pictures. Returns how many were dropped.
    int DropShortRunsBeforeKeys(int limit);

private:
    void Count(const AVPacket& pkt, int sign);  // under m_mutex

    WakeSignal& m_taken;
    mutable std::mutex m_mutex;
    WakeSignal m_ready{m_mutex};
    std::deque<AVPacketPtr> m_pkgs;
    std::atomic<size_t> m_nCount{0};
    std::atomic<int64_t> m_nBytes{0};
    std::atomic<int64_t> m_nDuration{0};
    std::atomic<unsigned> m_nSerial{0};
    std::atomic<bool> m_bHeld{false};
    std::atomic<bool> m_bEnded{false};
    std::atomic<bool> m_bAborted{false};
};
