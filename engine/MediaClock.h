#pragma once
// The clocks playback is paced against. Each tells the media time, in
// seconds, that it says it is now:
// - SoundClock: the stamp of the sound being heard, from the output's byte
//   counts and an anchor that ties a byte to a stamp;
// - WallClock: the steady clock, anchored at a picture, for media without
//   sound (or once it has played out).
//
// Threads: Now() from any thread, lock-free. Writers as stated per class.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/SeqLock.h"

class MediaClock {
public:
    virtual ~MediaClock() = default;
    virtual double Now() const = 0;
};

class SoundClock final : public MediaClock {
public:
    // The stamp of the sound being heard: the anchor's stamp plus the PCM
    // heard since its byte (minus what still waits in the output).
    double Now() const override;
    // A decoded sound has set the clock since the last restart.
    bool Decoded() const { return m_anchor.Read().last.bDecoded; }

    // Controlling thread: a new medium or position starts at `stamp`; sound
    // decoded under an older `serial` no longer anchors it.
    void Restart(double stamp, unsigned serial);
    // The output's bytes per second of the medium (fewer when it plays
    // faster); anchors from now on carry it.
    void SetBytesPerSec(double bytesPerSec) { m_dBytesPerSec = bytesPerSec; }
    // The PCM accepted from byte `bytes` of the output on (by default from
    // now on) plays from `stamp`. Ignored when `serial` is not the current
    // one. Any thread.
    static constexpr uint64_t kBytesNow = ~uint64_t(0);
    void Anchor(double stamp, unsigned serial, bool decoded, uint64_t bytes = kBytesNow);

private:
    struct Anchored {
        double dStamp;
        uint64_t nBytes;
        double dBytesPerSec;
        bool bDecoded;  // set by decoded sound, not by a restart
    };
    // The latest anchor, and where the byte rate changed last the anchor
    // before it: PCM queued before that byte still plays at the old rate.
    struct Anchors {
        Anchored last;
        Anchored before;
        uint64_t nSwitchBytes;
    };
    std::mutex m_writeMutex;  // anchors and restarts, with m_nSerial
    unsigned m_nSerial = 0;
    SeqLock<Anchors> m_anchor;
    std::atomic<double> m_dBytesPerSec{0.0};
};

// Paces pictures on the steady clock: each picture is due one stamp step
// after the one before (or one interval where the stamps jump), so sleeping
// late never adds up; a picture due long ago restarts the clock from it
// instead of rushing. Presentation thread only, Now() from any thread.
class WallClock final : public MediaClock {
public:
    double Now() const override;
    void Restart() { m_bValid = false; }
    // Schedules the picture with this stamp (intervalMs in time played, the
    // stamps' steps shortened by speed); returns the wait in ms before it is due.
    int Schedule(double stamp, double intervalMs, double speed = 1.0);

private:
    std::atomic<bool> m_bValid{false};
    std::atomic<int64_t> m_nDueUs{0};  // when the last picture was due
    std::atomic<double> m_dStamp{0.0}; // and its stamp
    std::atomic<double> m_dSpeed{1.0};
};
