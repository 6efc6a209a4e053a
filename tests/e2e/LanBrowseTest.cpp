// Browsing a real two-host LAN: two network namespaces joined by a veth
// pair, a sivo-server in each, and sivo-play --discover, --list and --remote
// run in the first. Skipped where network namespaces cannot be made.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/SivoPlayRun.h"
#include "common/TwoHostLan.h"
#include "share/ShareFiles.h"

namespace fs = std::filesystem;
using namespace twohost;

namespace {

constexpr int kReadyWaitMs = 30000;  // servers up and the link carrying
constexpr double kLateMs = 3000;     // far beyond a window's end on a loaded machine

// The lines of `text`, in any order.
std::set<std::string> LineSet(const std::string& text) {
    const std::vector<std::string> lines = Lines(text);
    return {lines.begin(), lines.end()};
}

} // namespace

TEST_F(TwoHostLan, DiscoveryFindsBothHostsListingIsWholeAndInOrderAndAListedFilePlays) {
    TempDir farRoot, nearRoot;
    const std::string clip = TestMedia("lan-2s.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 "
                                                     "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 "
                                                     "-c:v libx264 -preset veryfast -pix_fmt yuv420p "
                                                     "-c:a aac -ac 2 -shortest");
    fs::create_directories(farRoot.path + "/música antiga/sub dir");
    fs::copy_file(clip, farRoot.path + "/a clip with spaces.mp4");
    std::ofstream(farRoot.path + "/música antiga/canção nº 1.mp3") << "x";
    std::ofstream(farRoot.path + "/música antiga/sub dir/z.mkv") << "x";
    std::ofstream(farRoot.path + "/readme.txt") << "x";
    // Control characters (C0, C1), a right-to-left override, bytes that are not UTF-8.
    const std::string hostile = farRoot.path + "/ctl\x01 \xc2\x9b back\\slash \xe2\x80\xae \xff.mp3";
    std::ofstream(hostile) << "x";
    std::ofstream(nearRoot.path + "/mine.mp4") << "x";
    Serve(m_farPid, farRoot.path);
    Serve(m_nearPid, nearRoot.path);

    const std::set<std::string> both = {std::string("{\"addr\":\"") + kNearAddress + "\",\"local\":true}",
                                        std::string("{\"addr\":\"") + kFarAddress + "\",\"local\":false}"};
    Outcome found;
    ASSERT_TRUE(nettest::WaitFor([&] { return LineSet((found = SivoPlay("--discover")).out) == both; }, kReadyWaitMs))
        << found.out << found.err;
    EXPECT_EQ(found.status, 0);
    EXPECT_LT(found.ms, 1000 + kLateMs);

    std::vector<std::string> expected;
    FindShareFiles(farRoot.path, expected);
    ASSERT_EQ(expected.size(), 4u);
    std::string expectedOut;
    for (const std::string& name : expected)
        expectedOut += "{\"name\":\"" +
                       (name == hostile ? farRoot.path + "/ctl\\u0001 \\u009b back\\\\slash \\u202e \\ufffd.mp3" : name) + "\"}\n";
    const Outcome listed = SivoPlay(std::string("--list ") + kFarAddress);
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out, expectedOut);

    const Outcome played = SivoPlay(std::string("--remote ") + kFarAddress + " " + Quoted(farRoot.path + "/a clip with spaces.mp4"));
    ASSERT_EQ(played.status, 0) << played.err;
    EXPECT_GE(Field(played.out, "position_s"), 1) << played.out;
    EXPECT_GE(Field(played.out, "frames_shown"), 25) << played.out;

    // The far host falls silent: nothing lists, discovery finds only this one.
    m_servers.front().reset();
    const Outcome gone = SivoPlay(std::string("--list ") + kFarAddress);
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.out, "");
    EXPECT_LT(gone.ms, 500 + kLateMs);
    const Outcome alone = SivoPlay("--discover --seconds 0.5");
    EXPECT_EQ(alone.out, std::string("{\"addr\":\"") + kNearAddress + "\",\"local\":true}\n");
}

TEST_F(TwoHostLan, NobodyAnsweringEndsWithinTheWindowAndUsageErrorsExitTwo) {
    const Outcome nobody = SivoPlay("--discover --seconds 1");
    EXPECT_EQ(nobody.status, 1);
    EXPECT_EQ(nobody.out, "");
    EXPECT_EQ(nobody.err.rfind("sivo-play: ", 0), 0u) << nobody.err;
    EXPECT_GE(nobody.ms, 990);
    EXPECT_LT(nobody.ms, 1000 + kLateMs);
    for (const char* args : {"--list", "--list not-an-address", "--list 10.1.1.1 --seconds 2", "--discover x.mp4",
                             "--discover --seconds -1", "--remote 10.1.1.1 x --list 10.1.1.1", "--discover --discover",
                             "--discover --remote 10.1.1.1 x", "--list 10.1.1.1 --seek 2", "--discover --pause-at 1"})
        EXPECT_EQ(SivoPlay(args).status, 2) << args;
}
