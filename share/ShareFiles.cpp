#include "share/ShareFiles.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <set>
#include <utility>

#include "platform/ShareRoot.h"

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

enum class EntryKind { File, Directory, Skipped };

struct Walk {
    std::string root;                          // canonical
    std::set<std::pair<dev_t, ino_t>> walked;  // directories, each walked once
    std::vector<std::string>& out;
};

// Only what the HTTP server would serve: a link counts when it resolves
// inside the root (to a file or a folder); devices, FIFOs, sockets, dangling
// links and links out are left out. d_type is not filled in by every file
// system; the status fills the gap.
EntryKind KindOf(const Walk& walk, const std::string& path, const dirent* entry) {
    if (entry->d_type == DT_DIR)
        return EntryKind::Directory;
    if (entry->d_type == DT_REG)
        return EntryKind::File;
    if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK)
        return EntryKind::Skipped;
    struct stat lst {};
    struct stat st {};
    if (lstat(path.c_str(), &lst) != 0 || stat(path.c_str(), &st) != 0)
        return EntryKind::Skipped;
    if (S_ISLNK(lst.st_mode) && !IsBelowRoot(walk.root, ResolvePath(path)))
        return EntryKind::Skipped;
    if (S_ISDIR(st.st_mode))
        return EntryKind::Directory;
    return S_ISREG(st.st_mode) ? EntryKind::File : EntryKind::Skipped;
}

void WalkDir(Walk& walk, const std::string& dir) {
    // A link back to a folder already walked (a cycle among them) ends here.
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !walk.walked.insert({st.st_dev, st.st_ino}).second)
        return;
    DirHandle handle(opendir(dir.c_str()));
    if (!handle)
        return;
    while (const dirent* entry = readdir(handle.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = dir + "/" + name;
        const EntryKind kind = KindOf(walk, path, entry);
        if (kind == EntryKind::Directory)
            WalkDir(walk, path);
        else if (kind == EntryKind::File && IsShareableName(name))
            walk.out.push_back(path);
    }
}

}  // namespace

bool IsShareableName(const std::string& name) {
    std::string::size_type dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return false;
    std::string probe = name.substr(dot) + ".";
    for (char& c : probe)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::strstr(MEDIA_EXT_LIST, probe.c_str()) != nullptr;
}

void FindShareFiles(std::string dir, std::vector<std::string>& out) {
    Walk walk{ResolvePath(dir), {}, out};
    if (!walk.root.empty())
        WalkDir(walk, dir);
}
