#pragma once
// A throw-away directory tree for the share tests.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/NetTestUtil.h"

using namespace nettest;

// A fresh directory under the system temp directory, removed with the object.
struct TempTree {
    std::string root = (std::filesystem::temp_directory_path() / "sivo-share-XXXXXX").string();
    TempTree() { EXPECT_TRUE(mkdtemp(root.data())); }
    ~TempTree() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    // Writes `bytes` to root/rel, making the directories on the way; the full path.
    std::string File(const std::string& rel, const std::string& bytes = "x") const {
        std::filesystem::create_directories(std::filesystem::path(root + "/" + rel).parent_path());
        std::ofstream(root + "/" + rel, std::ios::binary) << bytes;
        return root + "/" + rel;
    }
};
