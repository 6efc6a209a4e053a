#include "platform/ShareRoot.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

// A share root beside a folder outside it, removed with the object.
struct Tree {
    std::string top = (fs::temp_directory_path() / "sivo-root-XXXXXX").string();
    std::string root, outside;
    Tree() {
        EXPECT_TRUE(mkdtemp(top.data()));
        root = top + "/share";
        outside = top + "/outside";
        fs::create_directories(root + "/sub");
        fs::create_directories(outside);
    }
    ~Tree() {
        std::error_code ec;
        fs::remove_all(top, ec);
    }
    void Write(const std::string& path, const std::string& bytes) const {
        std::ofstream(path, std::ios::binary) << bytes;
    }
};

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
    Tree t;
    t.Write(t.root + "/a.mp4", "A");
    t.Write(t.root + "/sub/b.mp4", "B");
    t.Write(t.root + "/.hidden.mp4", "H");
    fs::create_directories(t.root + "/.ssh");
    t.Write(t.root + "/.ssh/id_rsa", "KEY");
    t.Write(t.outside + "/x.mp4", "OUT");
    fs::create_symlink("sub/b.mp4", t.root + "/rel-link.mp4");
    fs::create_symlink(t.root + "/sub/b.mp4", t.root + "/abs-link.mp4");
    fs::create_directory_symlink(t.root + "/sub", t.root + "/abs-dir");
    fs::create_directory_symlink("../sub", t.root + "/sub/up-dir");
    fs::create_symlink(t.outside + "/x.mp4", t.root + "/out-abs.mp4");
    fs::create_symlink("../outside/x.mp4", t.root + "/out-rel.mp4");
    fs::create_directory_symlink(t.outside, t.root + "/out-dir");
    fs::create_symlink(t.root + "/.hidden.mp4", t.root + "/to-hidden.mp4");  // the owner's own link
    fs::create_symlink("gone.mp4", t.root + "/dangling.mp4");
    fs::create_symlink("loop.mp4", t.root + "/loop.mp4");
    ASSERT_EQ(mkfifo((t.root + "/fifo.mp4").c_str(), 0600), 0);

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
        const int fd = OpenServableFile(t.root, t.root + "/" + rel, &st, GetParam());
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
    Tree t;
    t.Write(t.outside + "/secret", "OUTSIDE");
    t.Write(t.root + "/inside.bin", "INSIDE");
    const std::string name = t.root + "/swap.mp4";
    fs::copy_file(t.root + "/inside.bin", name);
    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        // rename(2) puts each in place at once; its source is made afresh.
        for (unsigned i = 0; !stop; ++i) {
            const char* kinds[] = {"abs.tmp", "rel.tmp", "fifo.tmp", "file.tmp"};
            const std::string src = t.root + "/" + kinds[i % 4];
            std::error_code ec;
            if (i % 4 == 0)
                fs::create_symlink(t.outside + "/secret", src, ec);
            else if (i % 4 == 1)
                fs::create_symlink("../outside/secret", src, ec);
            else if (i % 4 == 2)
                mkfifo(src.c_str(), 0600);
            else
                fs::copy_file(t.root + "/inside.bin", src, fs::copy_options::overwrite_existing, ec);
            rename(src.c_str(), name.c_str());
            ++swaps;
        }
    });
    // A check followed by a second open of the name let about one open in a
    // thousand through here. The loop runs until both sides have done their
    // share, however a loaded machine schedules them (the limit ends a hang).
    int served = 0;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int i = 0; (i < 20000 || swaps < 4000 || served == 0) && std::chrono::steady_clock::now() < limit; ++i) {
        const std::string got = Contents(OpenServableFile(t.root, name, nullptr, GetParam()));
        EXPECT_TRUE(got == "INSIDE" || got == "<refused>") << "read " << got << " on open " << i;
        if (got != "INSIDE" && got != "<refused>")
            break;
        served += got == "INSIDE";
    }
    stop = true;
    swapper.join();
    EXPECT_GT(served, 0) << "the file itself was never served: the swap test saw nothing";
}

INSTANTIATE_TEST_SUITE_P(Both, ShareRootResolvers, ::testing::Values(BeneathResolve::Kernel, BeneathResolve::Walk),
                         [](const auto& info) { return info.param == BeneathResolve::Kernel ? "Kernel" : "Walk"; });

// The name relative to the root, from the spellings peers send.
TEST(ShareRoot, RelativeToRootTakesTheRootsSpellingsAndNothingElse) {
    Tree t;
    t.Write(t.root + "/a.mp4", "A");
    const std::string viaDots = t.top + "/outside/../share/a.mp4";
    const std::pair<std::string, std::string> cases[] = {
        {t.root + "/a.mp4", "a.mp4"}, {t.root + "/sub/x.mp4", "sub/x.mp4"}, {t.root + "//a.mp4", "a.mp4"},
        {viaDots, "a.mp4"},  // another spelling of an existing file: by its canonical path
        {t.root + "/../outside/x", "../outside/x"},  // as written; the open refuses the ".."
        {t.outside + "/x.mp4", ""}, {t.root, ""}, {t.root + "x/a.mp4", ""}, {"", ""}};
    for (const auto& [path, want] : cases)
        EXPECT_EQ(RelativeToRoot(t.root, path), want) << path;
}
