#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "share/ShareFiles.h"
#include "ShareTestUtil.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

std::vector<std::string> Walk(const std::string& root) {
    std::vector<std::string> out;
    FindShareFiles(root, out);
    return out;
}

const char* const ALL_EXTENSIONS[] = {
    "ac3", "3gp", "aac", "aiff", "amr", "amv", "ape", "asf", "avi", "au", "f4v",
    "flac", "flv", "m3u", "m4a", "m4v", "mid", "mkv", "mov", "mp3", "mp4", "mpeg",
    "mpg", "ogg", "ra", "rm", "rmvb", "tta", "wav", "wma", "wmv", "h264", "vob"};

}  // namespace

TEST(ShareFiles, EveryListedExtensionIsShared) {
    ASSERT_EQ(std::size(ALL_EXTENSIONS), 33u);
    TempTree tree;
    std::vector<std::string> expected;
    for (const char* ext : ALL_EXTENSIONS)
        expected.push_back(tree.File(std::string("clip.") + ext));
    std::vector<std::string> got = Walk(tree.Root());
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
}

TEST(ShareFiles, ExtensionMatchIgnoresLetterCaseOfTheFile) {
    TempTree tree;
    std::string a = tree.File("A.AVI");
    std::string b = tree.File("x.Mp3");
    std::string c = tree.File("clip.Mkv");
    EXPECT_THAT(Walk(tree.Root()), UnorderedElementsAre(a, b, c));
}

TEST(ShareFiles, OnlyTheWholeLastExtensionCounts) {
    TempTree tree;
    for (const char* name : {"noext", ".mp4", "movie.", "archive.mp4.zip", "song.mp3.txt",
                             "clip.rmv", "clip.mp", "clip.4", "clip.vo", "clip.ac"})
        tree.File(name);
    std::string multi = tree.File("show.part1.rmvb");
    std::string rm = tree.File("old.rm");
    std::string dotted = tree.File("a.b.mp4");
    EXPECT_THAT(Walk(tree.Root()), UnorderedElementsAre(multi, rm, dotted));
}

TEST(ShareFiles, DirectoryNamedLikeMediaIsWalkedNotListed) {
    TempTree tree;
    tree.Dir("film.mp4");
    std::string inner = tree.File("film.mp4/inner.mkv");
    EXPECT_THAT(Walk(tree.Root()), ElementsAre(inner));
}

TEST(ShareFiles, DeepFileAppearsInPreOrderWithFullPath) {
    TempTree tree;
    std::string deep = tree.File("a/b/c/deep.mp4");
    std::string mid = tree.File("a/mid.mp3");
    std::string top1 = tree.File("top1.avi");
    std::string top2 = tree.File("top2.avi");
    tree.File("a/b/c/readme.txt");
    EXPECT_EQ(deep, tree.Root() + "/a/b/c/deep.mp4");

    std::vector<std::string> got = Walk(tree.Root());
    ASSERT_THAT(got, UnorderedElementsAre(deep, mid, top1, top2));
    // The subtree of "a" is one contiguous run, placed where "a" comes in the
    // root's own enumeration order.
    std::vector<std::string> rootOrder;
    for (const auto& e : std::filesystem::directory_iterator(tree.Root()))
        rootOrder.push_back(e.path().filename().string());
    auto first = std::find_if(got.begin(), got.end(), [&](const std::string& s) {
        return s.rfind(tree.Root() + "/a/", 0) == 0;
    });
    ASSERT_NE(first, got.end());
    ASSERT_LE(first + 2, got.end());
    EXPECT_EQ(first[0].rfind(tree.Root() + "/a/", 0), 0u);
    EXPECT_EQ(first[1].rfind(tree.Root() + "/a/", 0), 0u);
    size_t topBeforeA = static_cast<size_t>(first - got.begin());
    size_t aIndex = static_cast<size_t>(
        std::find(rootOrder.begin(), rootOrder.end(), "a") - rootOrder.begin());
    EXPECT_EQ(topBeforeA, aIndex) << "subtree must sit where its directory is enumerated";
}

TEST(ShareFiles, AppendsWithoutClearing) {
    TempTree tree;
    std::string one = tree.File("one.ogg");
    std::vector<std::string> out = {"kept"};
    FindShareFiles(tree.Root(), out);
    EXPECT_THAT(out, ElementsAre("kept", one));
}

TEST(ShareFiles, MissingRootGivesNothing) {
    TempTree tree;
    EXPECT_THAT(Walk(tree.Root() + "/does-not-exist"), IsEmpty());
    EXPECT_THAT(Walk(""), IsEmpty());
}

TEST(ShareFiles, DirectoryLinkCycleEnds) {
    TempTree tree;
    std::string file = tree.File("sub/f.mp4");
    std::filesystem::create_directory_symlink("..", tree.Root() + "/sub/up");
    EXPECT_THAT(Walk(tree.Root()), ElementsAre(file));
}
