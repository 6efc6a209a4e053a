#include "share/ShareFiles.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <memory>

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

enum class EntryKind { File, Directory, LinkedDirectory };

// d_type is not filled in by every file system; fall back to the status.
// A link to a directory is told apart so that the walk never follows it: a
// link cycle would otherwise repeat the tree until the path grows too long.
EntryKind KindOf(const std::string& path, const dirent* entry) {
    if (entry->d_type == DT_DIR)
        return EntryKind::Directory;
    if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK)
        return EntryKind::File;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return EntryKind::File;
    struct stat lst {};
    if (lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode))
        return EntryKind::LinkedDirectory;
    return EntryKind::Directory;
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
    DirHandle handle(opendir(dir.c_str()));
    if (!handle)
        return;
    while (const dirent* entry = readdir(handle.get())) {
        const std::string name = entry->d_name;
        const std::string path = dir + "/" + name;
        const EntryKind kind = KindOf(path, entry);
        if (kind == EntryKind::LinkedDirectory)
            continue;
        if (kind == EntryKind::Directory) {
            if (name != "." && name != "..")
                FindShareFiles(path, out);
            continue;
        }
        if (IsShareableName(name))
            out.push_back(path);
    }
}
