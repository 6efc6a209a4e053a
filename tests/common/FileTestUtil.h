#pragma once
// Throw-away directory trees and names swapped under a server's feet.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

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

// Puts something else at `name` by rename(2) again and again until destroyed:
// a link to `outside` (absolute, then relative), a FIFO, a copy of `inside`;
// pauseUs between two.
class NameSwapper {
public:
    NameSwapper(const std::string& name, const std::string& inside, const std::string& outside, int pauseUs = 0) {
        std::filesystem::copy_file(inside, name);
        m_thread = std::thread([=, this] {
            namespace fs = std::filesystem;
            const std::string next = name + ".next";
            const std::string relative = fs::relative(outside, fs::path(name).parent_path());
            for (unsigned i = 0; !m_stop; ++i) {
                std::error_code ec;
                switch (i % 4) {
                case 0: fs::create_symlink(outside, next, ec); break;
                case 1: fs::create_symlink(relative, next, ec); break;
                case 2: mkfifo(next.c_str(), 0600); break;
                default: fs::copy_file(inside, next, fs::copy_options::overwrite_existing, ec);
                }
                rename(next.c_str(), name.c_str());
                ++m_swaps;
                std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
            }
        });
    }
    ~NameSwapper() {
        m_stop = true;
        m_thread.join();
    }
    int Swaps() const { return m_swaps; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_swaps{0};
    std::thread m_thread;
};
