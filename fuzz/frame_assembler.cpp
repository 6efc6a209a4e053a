// The same bytes fed whole, one byte at a time and in chunks of sizes drawn
// from the input itself must come out as the same packages, each exactly as
// long as its header announces.
#include <cstdint>
#include <random>
#include <vector>

#include "Check.h"
#include "engine/Package.h"

namespace {

using Packages = std::vector<std::vector<uint8_t>>;

uint32_t AnnouncedLength(const uint8_t* p) {
    return uint32_t(p[4]) << 24 | uint32_t(p[5]) << 16 | uint32_t(p[6]) << 8 | p[7];
}

template <class NextChunk>
Packages Assemble(const uint8_t* data, size_t size, NextChunk next) {
    Packages out;
    FrameAssembler assembler;
    auto deliver = [&](const uint8_t* p, int n) {
        FUZZ_CHECK(n >= int(kPkgHeaderSize) && n < kPkgMaxLen);
        FUZZ_CHECK(p[0] == 0x23 && p[1] == 0x00 && p[2] == 0x55 && p[3] == 0xFF);
        FUZZ_CHECK(AnnouncedLength(p) == uint32_t(n));
        out.emplace_back(p, p + n);
    };
    for (size_t at = 0; at < size;) {
        size_t n = std::min(size - at, next());
        assembler.FeedBytes(data + at, int(n), deliver);
        at += n;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Packages whole = Assemble(data, size, [&] { return size; });
    FUZZ_CHECK(Assemble(data, size, [] { return size_t(1); }) == whole);
    std::minstd_rand chunks(uint32_t(size) ^ (size ? data[size - 1] : 0));
    FUZZ_CHECK(Assemble(data, size, [&] { return size_t(1 + chunks() % 64); }) == whole);
    // A delivered package is a copy of input bytes.
    size_t total = 0;
    for (const auto& p : whole)
        total += p.size();
    FUZZ_CHECK(total <= size);
    return 0;
}
