#include "engine/ByteStream.h"

#include <cstring>

ByteStream::ByteStream(uint8_t* p, uint32_t n) : pData(p), nSize(p ? n : 0) {}

ByteStream::ByteStream(const uint8_t* p, uint32_t n)
    : pData(const_cast<uint8_t*>(p)), nSize(p ? n : 0), bReadOnly(true) {}

bool ByteStream::CanRead(uint32_t n) {
    if (bOk && n <= nSize - nPos)
        return true;
    bOk = false;
    return false;
}

bool ByteStream::CanWrite(uint32_t n) {
    if (!bReadOnly && bOk && n <= nSize - nPos)
        return true;
    bOk = false;
    return false;
}

bool ByteStream::ReadU8(uint8_t& out) {
    if (!CanRead(1))
        return false;
    out = pData[nPos++];
    return true;
}

bool ByteStream::ReadU16(uint16_t& out) {
    if (!CanRead(2))
        return false;
    out = uint16_t(pData[nPos] << 8 | pData[nPos + 1]);
    nPos += 2;
    return true;
}

bool ByteStream::ReadU32(uint32_t& out) {
    if (!CanRead(4))
        return false;
    const uint8_t* p = pData + nPos;
    out = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    nPos += 4;
    return true;
}

bool ByteStream::ReadBytes(void* dest, uint32_t n) {
    if (!CanRead(n))
        return false;
    if (!dest) {
        bOk = false;
        return false;
    }
    if (n)
        std::memcpy(dest, pData + nPos, n);
    nPos += n;
    return true;
}

bool ByteStream::ReadShortString(std::string& out) {
    uint32_t start = nPos;
    uint8_t len = 0;
    if (!ReadU8(len))
        return false;
    uint32_t kept = len < kMaxShortString ? len : kMaxShortString;
    if (!CanRead(kept)) {
        nPos = start;
        out.clear();
        return false;
    }
    out.assign(reinterpret_cast<const char*>(pData + nPos), kept);
    uint32_t rest = nSize - nPos;
    nPos += len <= rest ? len : rest;
    return true;
}

bool ByteStream::WriteU8(uint8_t v) {
    if (!CanWrite(1))
        return false;
    pData[nPos++] = v;
    return true;
}

bool ByteStream::WriteU16(uint16_t v) {
    if (!CanWrite(2))
        return false;
    pData[nPos] = uint8_t(v >> 8);
    pData[nPos + 1] = uint8_t(v);
    nPos += 2;
    return true;
}

bool ByteStream::WriteU32(uint32_t v) {
    if (!CanWrite(4))
        return false;
    uint8_t* p = pData + nPos;
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
    nPos += 4;
    return true;
}

bool ByteStream::WriteBytes(const void* src, uint32_t n) {
    if ((!src && n) || !CanWrite(n))
        return false;
    if (n)
        std::memcpy(pData + nPos, src, n);
    nPos += n;
    return true;
}

bool ByteStream::WriteShortString(const std::string& s) {
    if (s.size() > kMaxShortString) {
        bOk = false;
        return false;
    }
    if (!CanWrite(uint32_t(s.size()) + 1))
        return false;
    WriteU8(uint8_t(s.size()));
    return WriteBytes(s.data(), uint32_t(s.size()));
}

bool ByteStream::PatchU32(uint32_t offset, uint32_t v) {
    if (bReadOnly || !bOk || offset > nSize || 4 > nSize - offset) {
        bOk = false;
        return false;
    }
    uint32_t saved = nPos;
    nPos = offset;
    WriteU32(v);
    nPos = saved;
    return true;
}

bool ByteStream::Skip(uint32_t n) {
    if (n > nSize - nPos)
        return false;
    nPos += n;
    return true;
}

bool ByteStream::Seek(uint32_t pos) {
    if (pos > nSize)
        return false;
    nPos = pos;
    return true;
}
