#pragma once
// A raw stream client for the server tests: sends request messages, cuts what
// comes back into packages with the product's assembler.

#include <deque>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "common/NetTestUtil.h"
#include "common/TestMedia.h"
#include "engine/Package.h"
#include "stream/StreamProtocol.h"
#include "stream/TcpServer.h"
#include "stream/VideoSender.h"

using namespace nettest;

// 35 s of 64x48 pictures at 5 fps, a key frame each second, and 8 kHz mono
// AAC: small enough to stream whole, long enough to seek to 30 s past its end.
inline std::string StreamClip() {
    return TestMedia("stream35s.mp4",
                     "-f lavfi -i testsrc2=size=64x48:rate=5:duration=35 "
                     "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=35 "
                     "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 5 -c:a aac -ac 1 -b:a 16k -shortest");
}

// A stream listener on an ephemeral loopback port whose senders serve `root`.
inline std::unique_ptr<TcpServer> ServeStream(const std::string& root = SIVO_TEST_MEDIA_DIR,
                                              VideoSender* prototype = new VideoSender) {
    prototype->SetRoot(root.c_str());
    auto server = std::make_unique<TcpServer>(0, prototype);
    EXPECT_EQ(server->Listen(), 0);
    return server;
}

// A frame header announcing `len` bytes.
inline Bytes Header(uint32_t len) {
    return {0x23, 0x00, 0x55, 0xFF, uint8_t(len >> 24), uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len)};
}

// Random bytes rich in the magic's first byte, with a header announcing up to
// 5000 bytes every 997, so that bodies of noise get collected too.
inline Bytes FrameNoise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = uint8_t(rng() % 4 == 0 ? 0x23 : rng());
    for (size_t i = 0; i + 8 <= n; i += 997) {
        Bytes h = Header(rng() % 5000);
        std::copy(h.begin(), h.end(), b.begin() + long(i));
    }
    return b;
}

inline int TypeOf(const Bytes& pkg) {
    return pkg.size() < kPkgBodyOffset ? -1 : (pkg[9] << 8) | pkg[10];
}

// True when a fetch on the raw socket `fd` is answered with the end package
// (a sender's answer before any describe).
inline bool StreamServed(int fd) {
    const Bytes end = BuildEndPkg();
    return fd >= 0 && SendAll(fd, BuildFetchMediaPkg()) && ReadExact(fd, end.size()) == end;
}

class PkgClient : public RawClient {
public:
    using RawClient::RawClient;
    bool Request(const Bytes& pkg) { return SendAll(fd, pkg); }

    // The next whole package, or empty after kWaitMs of silence or a close.
    Bytes Next() {
        uint8_t buf[65536];
        while (m_ready.empty()) {
            ssize_t n = Readable(fd) ? recv(fd, buf, sizeof buf, 0) : -1;
            if (n <= 0)
                return {};
            m_fa.FeedBytes(buf, int(n), [this](const uint8_t* d, int len) { m_ready.emplace_back(d, d + len); });
        }
        Bytes pkg = std::move(m_ready.front());
        m_ready.pop_front();
        return pkg;
    }
    Bytes Ask(const Bytes& request) { return Request(request) ? Next() : Bytes{}; }
    Bytes Fetch() { return Ask(BuildFetchMediaPkg()); }

    StreamDescription Describe(const std::string& name) {
        Bytes pkg = Ask(BuildDescribePkg(name));
        StreamDescription desc;
        EXPECT_EQ(TypeOf(pkg), PKG_DESCRIBE_RSP);
        ByteStream r(pkg.data(), uint32_t(pkg.size()));
        EXPECT_TRUE(ParseStreamDescription(r, desc));
        return desc;
    }

    // Fetches until the end; the media packages before it.
    std::vector<Bytes> FetchToEnd() {
        std::vector<Bytes> media;
        Bytes pkg;
        while (TypeOf(pkg = Fetch()) == PKG_MEDIA)
            media.push_back(pkg);
        EXPECT_EQ(pkg, BuildEndPkg());
        return media;
    }

private:
    FrameAssembler m_fa;
    std::deque<Bytes> m_ready;
};
