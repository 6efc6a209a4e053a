#pragma once
// A throw-away directory tree for the share tests.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/NetTestUtil.h"

using namespace nettest;

// A fresh directory under the system temp directory, removed with the object.
class TempTree {
public:
    TempTree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sivo-share-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            m_root = pattern;
    }
    ~TempTree() {
        std::error_code ec;
        if (!m_root.empty())
            std::filesystem::remove_all(m_root, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& Root() const { return m_root; }

    // Writes `bytes` to root/rel, making the directories on the way; the full path.
    std::string File(const std::string& rel, const std::string& bytes = "x") const {
        std::filesystem::path p = std::filesystem::path(m_root) / rel;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
        return m_root + "/" + rel;
    }

private:
    std::string m_root;
};
