#pragma once
// The request messages of the stream protocol and the dispatch both ends use.
// The receiver asks (describe once, then one fetch per media package, seeks);
// the sender answers each request with at most one package. The answer bodies
// (description, media package) are in engine/Package.h.
//
// Threads: pure functions, any thread.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/Package.h"

// PKG_DESCRIBE naming utf8Name, cut to its first 254 bytes as the reading
// end cuts it too.
std::vector<uint8_t> BuildDescribePkg(const std::string& utf8Name);
std::vector<uint8_t> BuildFetchMediaPkg();
std::vector<uint8_t> BuildSeekPkg(uint32_t seconds);
// PKG_END, the answer to a fetch once the medium is exhausted.
std::vector<uint8_t> BuildEndPkg();

// Reads the UTF-8 media name of a PKG_DESCRIBE (at most 254 bytes kept).
bool ParseDescribePkg(ByteStream& r, std::string& utf8Name);
// The target of a PKG_SEEK in whole seconds, signed (a target of 0 or less
// is ignored by the sender); 0 when it cannot be read.
int32_t ParseSeekPkg(ByteStream& r);

// Traces the package, reads its version and type and calls
// process(version, type, reader) with a reader over the whole package; the
// handlers seek to kPkgBodyOffset for their body. Returns 0.
template <class Process>
int DispatchPackage(const uint8_t* pPkg, int nLen, Process&& process);

// ---- implementation ----
void TracePackage(int nLen);

template <class Process>
int DispatchPackage(const uint8_t* pPkg, int nLen, Process&& process) {
    TracePackage(nLen);
    if (!pPkg || nLen <= 0)
        return 0;
    ByteStream r(pPkg, uint32_t(nLen));
    r.Skip(kPkgHeaderSize);
    uint8_t version = 0;
    uint16_t type = 0;
    r.ReadU8(version);
    r.ReadU16(type);
    if (r.Ok())
        process(int(version), int(type), r);
    return 0;
}
