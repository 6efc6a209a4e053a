#pragma once
#include <cstddef>
#include <vector>

struct WAVEHDR;

// A FIFO of wave-header pointers in a ring that only grows, so that headers
// circulating between the lists cost no allocation once the ring is big
// enough. Not locked: its owner guards it.
class WaveHeaderQueue {
public:
    explicit WaveHeaderQueue(size_t capacity = 32) : m_slots(capacity ? capacity : 1) {}

    bool empty() const { return m_nCount == 0; }
    size_t size() const { return m_nCount; }
    WAVEHDR* front() const { return m_slots[m_nHead]; }

    void push_back(WAVEHDR* header) {
        if (m_nCount == m_slots.size())
            Grow();
        m_slots[(m_nHead + m_nCount) % m_slots.size()] = header;
        ++m_nCount;
    }
    WAVEHDR* pop_front() {
        WAVEHDR* header = m_slots[m_nHead];
        m_nHead = (m_nHead + 1) % m_slots.size();
        --m_nCount;
        return header;
    }
    void clear() { m_nHead = m_nCount = 0; }

private:
    void Grow() {
        std::vector<WAVEHDR*> bigger(m_slots.size() * 2);
        for (size_t i = 0; i < m_nCount; ++i)
            bigger[i] = m_slots[(m_nHead + i) % m_slots.size()];
        m_slots.swap(bigger);
        m_nHead = 0;
    }

    std::vector<WAVEHDR*> m_slots;
    size_t m_nHead = 0;
    size_t m_nCount = 0;
};
