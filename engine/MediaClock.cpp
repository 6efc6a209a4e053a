#include "engine/MediaClock.h"

#include "output/OutputHooks.h"

extern "C" {
#include <libavutil/time.h>
}

namespace {
// A stamp step outside (0, this] s is a gap or a jump: the picture then
// stands for its interval.
constexpr double kMaxStampStep = 2.0;
// A picture due longer ago than this restarts the wall clock from it.
constexpr int64_t kWallLateUs = 500000;
}  // namespace

double SoundClock::Now() const {
    const Anchors anchors = m_anchor.Read();
    const uint64_t heard = AudioBytesHeard();
    const Anchored& anchor = heard < anchors.nSwitchBytes ? anchors.before : anchors.last;
    if (!(anchor.dBytesPerSec > 0))
        return anchor.dStamp;
    // Negative while PCM accepted after the anchor still waits in the output.
    const auto heardSince = static_cast<int64_t>(heard - anchor.nBytes);
    return anchor.dStamp + double(heardSince) / anchor.dBytesPerSec;
}

void SoundClock::Restart(double stamp, unsigned serial) {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    m_nSerial = serial;
    m_anchor.Write(Anchors{Anchored{stamp, AudioBytesAccepted(), m_dBytesPerSec, false}, {}, 0});
}

void SoundClock::Anchor(double stamp, unsigned serial, bool decoded, uint64_t bytes) {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    if (serial != m_nSerial)
        return;
    Anchors anchors = m_anchor.Read();
    const Anchored next{stamp, bytes == kBytesNow ? AudioBytesAccepted() : bytes, m_dBytesPerSec, decoded};
    if (anchors.last.bDecoded && next.dBytesPerSec != anchors.last.dBytesPerSec) {
        anchors.before = anchors.last;
        anchors.nSwitchBytes = next.nBytes;
    }
    anchors.last = next;
    m_anchor.Write(anchors);
}

double WallClock::Now() const {
    if (!m_bValid)
        return m_dStamp;
    return m_dStamp + double(av_gettime() - m_nDueUs) / 1e6 * m_dSpeed;
}

int WallClock::Schedule(double stamp, double intervalMs, double speed) {
    const int64_t now = av_gettime();
    const double step = stamp - m_dStamp;
    int64_t due = now;
    if (m_bValid)
        due = m_nDueUs +
              static_cast<int64_t>((step > 0 && step <= kMaxStampStep ? step / speed : intervalMs / 1000.0) * 1e6);
    if (now - due > kWallLateUs)
        due = now;
    m_nDueUs = due;
    m_dStamp = stamp;
    m_dSpeed = speed;
    m_bValid = true;
    return due > now ? static_cast<int>((due - now + 500) / 1000) : 0;
}
