#include "engine/PacketQueue.h"

#include "platform/Trace.h"

void PacketQueue::Count(const AVPacket& pkt, int sign) {
    m_nCount += sign;
    m_nBytes += sign * int64_t(pkt.size);
    m_nDuration += sign * pkt.duration;
}

void PacketQueue::Put(AVPacketPtr pkt) {
    if (!pkt)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Count(*pkt, +1);
        m_pkgs.push_back(std::move(pkt));
    }
    m_ready.Wake();
}

PacketQueue::Taken PacketQueue::Take(std::atomic<bool>* dry, size_t reserve) {
    Taken taken;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto ready = [&] {
            const size_t need = dry && *dry && !m_bEnded ? reserve : 1;
            return m_bAborted || (!m_bHeld && m_pkgs.size() >= need);
        };
        if (!ready()) {
            if (dry && m_pkgs.empty())
                *dry = true;
            m_ready.Wait(lock, ready);
        }
        if (m_bAborted)
            return taken;
        taken.pkt = std::move(m_pkgs.front());
        m_pkgs.pop_front();
        Count(*taken.pkt, -1);
        taken.serial = m_nSerial;
        if (dry)
            *dry = false;
    }
    m_taken.Notify();
    return taken;
}

unsigned PacketQueue::Flush() {
    std::deque<AVPacketPtr> old;
    unsigned serial;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old.swap(m_pkgs);
        m_nCount = 0;
        m_nBytes = 0;
        m_nDuration = 0;
        serial = ++m_nSerial;
    }
    m_ready.Wake();
    m_taken.Notify();
    return serial;  // the packages are released here, outside the lock
}

void PacketQueue::Clear() {
    std::deque<AVPacketPtr> old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old.swap(m_pkgs);
        m_nCount = 0;
        m_nBytes = 0;
        m_nDuration = 0;
    }
    m_taken.Notify();
}

void PacketQueue::SetHeld(bool held) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bHeld = held;
    }
    m_ready.Wake();
}

void PacketQueue::SetEnded(bool ended) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bEnded = ended;
    }
    m_ready.Wake();
}

void PacketQueue::Abort() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bAborted = true;
    }
    m_ready.Wake();
}

void PacketQueue::Restart() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bAborted = false;
}

PacketQueue::Span PacketQueue::StampSpan() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pkgs.empty())
        return {AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0};
    return {m_pkgs.front()->pts, m_pkgs.back()->pts, m_pkgs.size()};
}

int PacketQueue::DropShortRunsBeforeKeys(int limit) {
    std::deque<AVPacketPtr> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::deque<AVPacketPtr> kept;
        size_t runStart = 0;  // index in m_pkgs where the current run began
        for (size_t i = 0; i <= m_pkgs.size(); ++i) {
            const bool atKey = i < m_pkgs.size() && (m_pkgs[i]->flags & AV_PKT_FLAG_KEY);
            if (!atKey && i < m_pkgs.size())
                continue;
            const size_t run = i - runStart;
            const bool drop = atKey && run > 0 && run <= size_t(limit);
            if (drop)
                DebugTrace("DropFrames %d", int(run));
            for (size_t j = runStart; j < i; ++j) {
                if (drop) {
                    Count(*m_pkgs[j], -1);
                    dropped.push_back(std::move(m_pkgs[j]));
                } else {
                    kept.push_back(std::move(m_pkgs[j]));
                }
            }
            runStart = i;
        }
        m_pkgs.swap(kept);
    }
    if (!dropped.empty())
        m_taken.Notify();
    return static_cast<int>(dropped.size());
}
