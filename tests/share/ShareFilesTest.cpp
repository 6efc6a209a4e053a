#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "share/ShareFiles.h"
#include "ShareTestUtil.h"

namespace fs = std::filesystem;

namespace {

// The walk's expected order: depth-first, each directory where its parent
// enumerates it, links to directories left alone. Only .txt is not media here.
void PreOrder(const fs::path& dir, std::vector<std::string>& out) {
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.is_directory() && !e.is_symlink())
            PreOrder(e.path(), out);
        else if (!e.is_directory() && e.path().extension() != ".txt")
            out.push_back(e.path().string());
    }
}

} // namespace

TEST(ShareFiles, TheWholeLowerCasedLastExtensionDecides) {
    TempTree tree;
    std::vector<std::string> shared;
    for (const char* ext : {"ac3", "3gp", "aac", "aiff", "amr", "amv", "ape", "asf", "avi", "au", "f4v",
                            "flac", "flv", "m3u", "m4a", "m4v", "mid", "mkv", "mov", "mp3", "mp4", "mpeg",
                            "mpg", "ogg", "ra", "rm", "rmvb", "tta", "wav", "wma", "wmv", "h264", "vob"})
        shared.push_back(tree.File(std::string("clip.") + ext));
    for (const char* name : {"A.AVI", "x.Mp3", "show.part1.rmvb", "old.rm", "a.b.mp4"})
        shared.push_back(tree.File(name));
    for (const char* name : {"noext", ".mp4", "movie.", "archive.mp4.zip", "clip.rmv", "clip.mp", "clip.4", "clip.vo"})
        tree.File(name);
    std::vector<std::string> got;
    FindShareFiles(tree.root, got);
    std::sort(got.begin(), got.end());
    std::sort(shared.begin(), shared.end());
    EXPECT_EQ(got, shared);
}

TEST(ShareFiles, WalksDepthFirstInPreOrderListingFilesOnly) {
    TempTree tree;
    const std::string deep = tree.File("a/b/c/deep.mp4");
    EXPECT_EQ(deep, tree.root + "/a/b/c/deep.mp4");
    for (const char* name : {"film.mp4/inner.mkv", "a/mid.mp3", "a/b/c/readme.txt", "top1.avi", "top2.avi", "z/y.ogg"})
        tree.File(name);
    fs::create_directory_symlink("..", tree.root + "/a/up");  // a cycle, never followed
    std::vector<std::string> want;
    PreOrder(tree.root, want);
    ASSERT_EQ(want.size(), 6u);
    std::vector<std::string> got = {"kept"};
    FindShareFiles(tree.root, got);
    want.insert(want.begin(), "kept");
    EXPECT_EQ(got, want) << "appended, in pre-order, the directory film.mp4 walked but not listed";

    got = {"kept"};
    FindShareFiles(tree.root + "/missing", got);
    FindShareFiles("", got);
    EXPECT_EQ(got, std::vector<std::string>{"kept"}) << "a missing root gives nothing";
}

TEST(ShareFiles, ListsOnlyWhatTheHttpServerServes) {
    TempTree tree, outside;
    const std::string root = tree.root;
    tree.File("real/in.mp4");
    const std::string away = outside.File("away.mp4");
    outside.File("dir/far.mkv");
    fs::create_symlink(root + "/real/in.mp4", root + "/alias.mp4");
    fs::create_directory_symlink(root + "/real", root + "/linked");
    fs::create_directory_symlink(root + "/real", root + "/real/again");  // a cycle inside the root
    fs::create_symlink(away, root + "/away.mp4");
    fs::create_directory_symlink(outside.root + "/dir", root + "/outdir");
    fs::create_symlink(root + "/gone.mp4", root + "/dangling.mp4");
    ASSERT_EQ(mkfifo((root + "/pipe.mp4").c_str(), 0600), 0);
    std::vector<std::string> got;
    FindShareFiles(root, got);
    std::sort(got.begin(), got.end());
    // "real" is walked once, under whichever name the enumeration meets first.
    const std::vector<std::string> viaReal = {root + "/alias.mp4", root + "/real/in.mp4"};
    const std::vector<std::string> viaLink = {root + "/alias.mp4", root + "/linked/in.mp4"};
    EXPECT_TRUE(got == viaReal || got == viaLink) << ::testing::PrintToString(got);
}
