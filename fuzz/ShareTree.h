#pragma once
// A share root with files inside, a secret beside it, and links from the
// inside to the outside. Every byte of the secret carries kSecret, so an
// answer that holds it has served from outside the root.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "Check.h"

namespace sharetree {

// Fixed, so that seeds can name absolute paths into it.
inline const std::string kBase = "/tmp/sivo-fuzz-share";
inline const std::string kRoot = kBase + "/share";
inline constexpr char kSecret[] = "OUTSIDE!";

// Inside files: path under the root → content. Sizes avoid multiples of the
// server's read size so a file's end shows as a short read.
inline const std::map<std::string, std::string>& InsideFiles() {
    static const std::map<std::string, std::string> files = [] {
        std::map<std::string, std::string> f;
        std::string a, b;
        for (int i = 0; a.size() < 3000; ++i)
            a += "a.mp4 line " + std::to_string(i) + "\n";
        for (int i = 0; b.size() < 23000; ++i)
            b += "b.mkv row " + std::to_string(i) + "\n";
        f["/a.mp4"] = a;
        f["/dir/b.mkv"] = b;
        return f;
    }();
    return files;
}

inline void Write(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Builds the tree (again) and returns the root.
inline const std::string& Make() {
    std::string secret;
    while (secret.size() < 5000)
        secret += kSecret;
    mkdir(kBase.c_str(), 0755);
    mkdir(kRoot.c_str(), 0755);
    mkdir((kRoot + "/dir").c_str(), 0755);
    mkdir((kBase + "/share-evil").c_str(), 0755);  // shares the root's name as a prefix
    for (const auto& [path, content] : InsideFiles())
        Write(kRoot + path, content);
    Write(kBase + "/secret.mp4", secret);
    Write(kBase + "/share-evil/c.mp4", secret);
    symlink("../secret.mp4", (kRoot + "/link.mp4").c_str());
    symlink("../share-evil", (kRoot + "/evil").c_str());
    return kRoot;
}

}  // namespace sharetree
