#include "WindowTestUtil.h"

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Request = std::pair<std::string, std::string>;

} // namespace

TEST_F(WindowFixture, RemotePlayCodeReachesThePlayRequestOverTheChannel) {
    Open();
    ASSERT_TRUE(m_dlg->CopyDataReady());
    const std::vector<uint8_t> block = MakeRemotePlayBlock("192.168.1.20", "movies/a.mp4");
    EXPECT_EQ(block.size(), COPYDATA_NAME_OFFSET + std::strlen("movies/a.mp4") + 1);

    // Another code first: it must do nothing, and the request after it arrives.
    ASSERT_TRUE(SendCopyData(CopyDataSocket(), COPYDATA_REMOTE_PLAY + 1, block.data(), block.size()));
    ASSERT_TRUE(SendCopyData(CopyDataSocket(), COPYDATA_REMOTE_PLAY, block.data(), block.size()));
    ASSERT_TRUE(PumpUntil([&] { return !m_entries->remotePlays.empty(); }));
    EXPECT_EQ(m_entries->remotePlays, (std::vector<Request>{{"192.168.1.20", "movies/a.mp4"}}));
}

TEST_F(WindowFixture, ShortAndUnterminatedBlocksAreReadWithinTheirSize) {
    Open();
    // Too short to reach the name (including a bare code): nothing happens.
    for (size_t size : {size_t(0), size_t(3), size_t(10), COPYDATA_NAME_OFFSET - 1}) {
        std::vector<uint8_t> block(size, 'x');
        m_dlg->OnCopyData(COPYDATA_REMOTE_PLAY, block.data(), block.size());
    }
    m_dlg->OnCopyData(COPYDATA_REMOTE_PLAY, nullptr, 0);
    EXPECT_TRUE(m_entries->remotePlays.empty());

    // Neither text terminated: each ends at its field or at the block's end.
    std::vector<uint8_t> block(COPYDATA_NAME_OFFSET + 7, 'a');
    std::memset(block.data() + COPYDATA_NAME_OFFSET, 'n', 7);
    m_dlg->OnCopyData(COPYDATA_REMOTE_PLAY, block.data(), block.size());
    ASSERT_EQ(m_entries->remotePlays.size(), 1u);
    EXPECT_EQ(m_entries->remotePlays[0].first, std::string(COPYDATA_ADDRESS_SIZE, 'a'));
    EXPECT_EQ(m_entries->remotePlays[0].second, "nnnnnnn");

    // A bare code and a too-short block over the real channel leave it working.
    const uint32_t code = COPYDATA_REMOTE_PLAY;
    ASSERT_TRUE(SendCopyData(CopyDataSocket(), code, nullptr, 0));
    ASSERT_TRUE(SendCopyData(CopyDataSocket(), code, "short", 5));
    const std::vector<uint8_t> good = MakeRemotePlayBlock("10.0.0.1", "b.mkv");
    ASSERT_TRUE(SendCopyData(CopyDataSocket(), code, good.data(), good.size()));
    ASSERT_TRUE(PumpUntil([&] { return m_entries->remotePlays.size() == 2; }));
    EXPECT_EQ(m_entries->remotePlays[1], Request("10.0.0.1", "b.mkv"));
}

TEST_F(WindowFixture, SecondWindowCannotTakeALiveChannelButReplacesAStaleOne) {
    {
        CCopyDataChannel first;
        ASSERT_TRUE(first.Create(CopyDataSocket()));
        CCopyDataChannel second;
        EXPECT_FALSE(second.Create(CopyDataSocket()));
    }
    // A socket file left behind by a window that died without cleaning up.
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, CopyDataSocket().c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    ASSERT_TRUE(std::filesystem::exists(CopyDataSocket()));

    Open();
    EXPECT_TRUE(m_dlg->CopyDataReady());
    EXPECT_EQ(std::filesystem::status(CopyDataSocket()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_FALSE(SendCopyData(m_dir + "/nobody", COPYDATA_REMOTE_PLAY, "x", 1));
}
