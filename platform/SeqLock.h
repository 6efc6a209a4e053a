#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

// A value that one writer at a time replaces and any number of readers copy
// without a lock: a reader retries while a write is under way. The value is
// kept in atomic words, so a torn read is never used and never a data race.
// Writers must be serialised by the caller.
template <typename T>
class SeqLock {
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr size_t kWords = (sizeof(T) + sizeof(uint64_t) - 1) / sizeof(uint64_t);

public:
    explicit SeqLock(const T& value = T{}) { Write(value); }
    SeqLock(const SeqLock&) = delete;
    SeqLock& operator=(const SeqLock&) = delete;

    void Write(const T& value) {
        uint64_t words[kWords] = {};
        std::memcpy(words, &value, sizeof(T));
        const unsigned seq = m_seq.load(std::memory_order_relaxed);
        m_seq.store(seq + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (size_t i = 0; i < kWords; ++i)
            m_words[i].store(words[i], std::memory_order_relaxed);
        m_seq.store(seq + 2, std::memory_order_release);
    }

    T Read() const {
        uint64_t words[kWords];
        unsigned before, after;
        do {
            before = m_seq.load(std::memory_order_acquire);
            for (size_t i = 0; i < kWords; ++i)
                words[i] = m_words[i].load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            after = m_seq.load(std::memory_order_relaxed);
        } while (before != after || (before & 1));
        T value;
        std::memcpy(&value, words, sizeof(T));
        return value;
    }

private:
    std::atomic<unsigned> m_seq{0};
    std::atomic<uint64_t> m_words[kWords] = {};
};
