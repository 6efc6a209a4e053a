#include "engine/FrameQueue.h"

bool FrameQueue::WaitWritable() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.Wait(lock, [this] { return m_bAborted || m_frames.size() < m_nCapacity; });
    return !m_bAborted;
}

void FrameQueue::Push(std::vector<std::unique_ptr<VideoFrame>>& pictures, unsigned serial) {
    if (pictures.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (serial != m_nSerial)
            return;  // decoded from before a flush
        for (auto& frame : pictures)
            m_frames.push_back(std::move(frame));
        m_nCount = m_frames.size();
    }
    m_wake.Wake();
}

FrameQueue::Pop FrameQueue::Next(Popped& out) {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.Wait(lock, [this] { return m_bAborted || m_bHeld || !m_frames.empty(); });
        if (m_bAborted)
            return Pop::Aborted;
        if (m_bHeld)
            return Pop::Held;
        out.frame = std::move(m_frames.front());
        m_frames.pop_front();
        m_nCount = m_frames.size();
        out.dNextPts = m_frames.empty() ? -1.0 : m_frames.front()->dPts;
        out.serial = m_nSerial;
    }
    m_wake.Wake();  // room for the decoder
    return Pop::Picture;
}

void FrameQueue::WaitWhileHeld() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.Wait(lock, [this] { return m_bAborted || !m_bHeld; });
}

unsigned FrameQueue::Flush() {
    std::deque<std::unique_ptr<VideoFrame>> old;
    unsigned serial;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old.swap(m_frames);
        m_nCount = 0;
        serial = ++m_nSerial;
    }
    m_wake.Wake();
    return serial;
}

void FrameQueue::SetHeld(bool held) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bHeld = held;
    }
    m_wake.Wake();
}

void FrameQueue::Abort() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bAborted = true;
    }
    m_wake.Wake();
}

void FrameQueue::Restart() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bAborted = false;
}
