#include "platform/ShareRoot.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "common/FileTestUtil.h"

namespace fs = std::filesystem;

namespace {

// What a descriptor reads, or "<refused>" for -1.
std::string Contents(int fd) {
    if (fd < 0)
        return "<refused>";
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    close(fd);
    return out;
}

class ShareRootResolvers : public ::testing::TestWithParam<BeneathResolve> {};

} // namespace

// Both resolvers serve the same files: inside the root, links that stay
// inside (relative or absolute), nothing a link or ".." leads out to, no
// name beginning with a dot, no directory, FIFO, dangling or looping link.
TEST_P(ShareRootResolvers, OpensOnlyRegularFilesBeneathTheRoot) {
    TempTree t;
    const std::string root = t.root + "/share", outside = t.File("outside/x.mp4", "OUT");
    for (const auto& [rel, bytes] : {std::pair("a.mp4", "A"), {"sub/b.mp4", "B"}, {".hidden.mp4", "H"}, {".ssh/id_rsa", "KEY"}})
        t.File(std::string("share/") + rel, bytes);
    fs::create_symlink("sub/b.mp4", root + "/rel-link.mp4");
    fs::create_symlink(root + "/sub/b.mp4", root + "/abs-link.mp4");
    fs::create_directory_symlink(root + "/sub", root + "/abs-dir");
    fs::create_directory_symlink("../sub", root + "/sub/up-dir");
    fs::create_symlink(outside, root + "/out-abs.mp4");
    fs::create_symlink("../outside/x.mp4", root + "/out-rel.mp4");
    fs::create_directory_symlink(t.root + "/outside", root + "/out-dir");
    fs::create_symlink(root + "/.hidden.mp4", root + "/to-hidden.mp4");  // the owner's own link
    fs::create_symlink("gone.mp4", root + "/dangling.mp4");
    fs::create_symlink("loop.mp4", root + "/loop.mp4");
    ASSERT_EQ(mkfifo((root + "/fifo.mp4").c_str(), 0600), 0);

    const std::string refused = "<refused>";
    const std::pair<std::string, std::string> cases[] = {
        {"a.mp4", "A"}, {"sub/b.mp4", "B"}, {"sub//b.mp4", "B"}, {"rel-link.mp4", "B"}, {"abs-link.mp4", "B"},
        {"abs-dir/b.mp4", "B"}, {"sub/up-dir/b.mp4", "B"}, {"to-hidden.mp4", "H"},
        {"out-abs.mp4", refused}, {"out-rel.mp4", refused}, {"out-dir/x.mp4", refused},
        {"../outside/x.mp4", refused}, {"sub/../a.mp4", refused}, {"./a.mp4", refused},
        {".hidden.mp4", refused}, {".ssh/id_rsa", refused}, {"sub/.", refused},
        {"dangling.mp4", refused}, {"loop.mp4", refused}, {"fifo.mp4", refused}, {"sub", refused},
        {"missing.mp4", refused}, {"", refused}, {"/", refused}};
    for (const auto& [rel, want] : cases) {
        struct stat st {};
        const int fd = OpenServableFile(root, root + "/" + rel, &st, GetParam());
        if (fd >= 0) {
            EXPECT_TRUE(S_ISREG(st.st_mode)) << rel;
            EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << rel << ": left non-blocking";
            EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << rel;
        }
        EXPECT_EQ(Contents(fd), want) << rel;
    }
}

// A name swapped between a file inside and a link out (or a FIFO) while it
// is opened again and again: every open reads the inside file or nothing,
// and none blocks (this thread would hang in a blocking open of the FIFO).
TEST_P(ShareRootResolvers, SwapsBetweenCheckAndOpenNeverReachOutsideNorBlock) {
    TempTree t;
    const std::string name = t.root + "/share/swap.mp4";
    NameSwapper swapper(name, t.File("share/inside.bin", "INSIDE"), t.File("outside/secret", "OUTSIDE"));
    // A check followed by a second open of the name let about one open in a
    // thousand through here. The loop runs until both sides have done their
    // share, however a loaded machine schedules them (the limit ends a hang).
    int served = 0;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int i = 0; (i < 20000 || swapper.Swaps() < 4000 || served == 0) && std::chrono::steady_clock::now() < limit; ++i) {
        const std::string got = Contents(OpenServableFile(t.root + "/share", name, nullptr, GetParam()));
        EXPECT_TRUE(got == "INSIDE" || got == "<refused>") << "read " << got << " on open " << i;
        if (got != "INSIDE" && got != "<refused>")
            break;
        served += got == "INSIDE";
    }
    EXPECT_GT(served, 0) << "the file itself was never served: the swap test saw nothing";
}

INSTANTIATE_TEST_SUITE_P(Both, ShareRootResolvers, ::testing::Values(BeneathResolve::Kernel, BeneathResolve::Walk),
                         [](const auto& info) { return info.param == BeneathResolve::Kernel ? "Kernel" : "Walk"; });

// The name relative to the root, from the spellings peers send.
TEST(ShareRoot, RelativeToRootTakesTheRootsSpellingsAndNothingElse) {
    TempTree t;
    t.File("share/a.mp4", "A");
    fs::create_directories(t.root + "/share/sub");
    fs::create_directories(t.root + "/outside");
    const std::string root = t.root + "/share", outside = t.root + "/outside";
    const std::pair<std::string, std::string> cases[] = {
        {root + "/a.mp4", "a.mp4"}, {root + "/sub/x.mp4", "sub/x.mp4"}, {root + "//a.mp4", "a.mp4"},
        {outside + "/../share/a.mp4", "a.mp4"},  // another spelling of an existing file: by its canonical path
        {root + "/../outside/x", "../outside/x"},  // as written; the open refuses the ".."
        {outside + "/x.mp4", ""}, {root, ""}, {root + "x/a.mp4", ""}, {"", ""}};
    for (const auto& [path, want] : cases)
        EXPECT_EQ(RelativeToRoot(root, path), want) << path;
}
