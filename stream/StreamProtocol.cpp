#include "stream/StreamProtocol.h"

#include "platform/Trace.h"

namespace {

// Small requests are built in a zeroed buffer with a body estimate of 4;
// EndFrame patches the true length.
constexpr uint32_t kSmallBodyEstimate = 4;

template <class Body>
std::vector<uint8_t> BuildSmall(uint16_t type, Body&& body) {
    std::vector<uint8_t> buf(kSmallPkgBufSize, 0);
    ByteStream w(buf.data(), uint32_t(buf.size()));
    BeginFrame(w, type, kSmallBodyEstimate);
    body(w);
    EndFrame(w);
    if (!w.Ok())
        return {};
    buf.resize(w.Pos());
    return buf;
}

} // namespace

std::vector<uint8_t> BuildDescribePkg(const std::string& utf8Name) {
    return BuildSmall(PKG_DESCRIBE, [&](ByteStream& w) {
        w.WriteU32(0);
        w.WriteShortString(utf8Name.substr(0, ByteStream::kMaxShortString));
    });
}

std::vector<uint8_t> BuildFetchMediaPkg() {
    return BuildSmall(PKG_FETCH_MEDIA, [](ByteStream& w) { w.WriteU32(0); });
}

std::vector<uint8_t> BuildSeekPkg(uint32_t seconds) {
    return BuildSmall(PKG_SEEK, [=](ByteStream& w) { w.WriteU32(seconds); });
}

std::vector<uint8_t> BuildEndPkg() {
    return BuildSmall(PKG_END, [](ByteStream& w) { w.WriteU32(0); });
}

bool ParseDescribePkg(ByteStream& r, std::string& utf8Name) {
    r.Seek(kPkgBodyOffset);
    uint32_t unused = 0;
    r.ReadU32(unused);
    return r.ReadShortString(utf8Name);
}

int32_t ParseSeekPkg(ByteStream& r) {
    uint32_t seconds = 0;
    r.Seek(kPkgBodyOffset);
    r.ReadU32(seconds);
    return int32_t(seconds);
}

void TracePackage(int nLen) { DebugTrace("recv package %d\r\n", nLen); }
