#pragma once
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

// A fresh directory under the system temp directory, removed with the object.
class TempTree {
public:
    TempTree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sivo-share-XXXXXX").string();
        char* made = mkdtemp(pattern.data());
        if (made)
            m_root = made;
    }
    ~TempTree() {
        std::error_code ec;
        if (!m_root.empty())
            std::filesystem::remove_all(m_root, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& Root() const { return m_root; }

    // Writes `bytes` to root/rel, making the directories on the way.
    std::string File(const std::string& rel, const std::string& bytes = "x") const {
        std::filesystem::path p = std::filesystem::path(m_root) / rel;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
        return m_root + "/" + rel;
    }
    void Dir(const std::string& rel) const {
        std::filesystem::create_directories(std::filesystem::path(m_root) / rel);
    }

private:
    std::string m_root;
};
