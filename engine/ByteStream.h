#pragma once
// Bounded big-endian reader and writer over a buffer the caller owns. Every
// framed message is built and parsed with it. The success flag is sticky: once
// an operation runs out of room, every later read, write and patch does
// nothing, so a builder or parser checks Ok() once at the end.
//
// Threads: an object is local to one call on one thread.

#include <cstdint>
#include <string>

class ByteStream {
public:
    // Longest text a short string can carry (its length byte tops out at 255).
    static constexpr uint32_t kMaxShortString = 254;

    // Reader or writer over nSize bytes.
    ByteStream(uint8_t* pData, uint32_t nSize);
    // Reader only: every write fails.
    ByteStream(const uint8_t* pData, uint32_t nSize);

    bool ReadU8(uint8_t& out);
    bool ReadU16(uint16_t& out);
    bool ReadU32(uint32_t& out);
    bool ReadBytes(void* dest, uint32_t n);
    // A length byte L and L bytes; at most kMaxShortString are kept, the cursor
    // always advances by L + 1 (stopping at the end of the buffer).
    bool ReadShortString(std::string& out);

    bool WriteU8(uint8_t v);
    bool WriteU16(uint16_t v);
    bool WriteU32(uint32_t v);
    bool WriteBytes(const void* src, uint32_t n);
    // Refuses (bOk false) texts longer than kMaxShortString.
    bool WriteShortString(const std::string& s);
    // Big-endian u32 at an absolute offset; the cursor stays.
    bool PatchU32(uint32_t offset, uint32_t v);

    // Cursor moves that leave the success flag alone.
    bool Skip(uint32_t n);
    bool Seek(uint32_t pos);

    uint32_t Pos() const { return nPos; }
    uint32_t Size() const { return nSize; }
    bool Ok() const { return bOk; }
    uint32_t Remaining() const { return nSize - nPos; }

private:
    bool CanRead(uint32_t n);
    bool CanWrite(uint32_t n);

    uint8_t* pData;
    uint32_t nSize;
    uint32_t nPos = 0;
    bool bOk = true;
    bool bReadOnly = false;
};
