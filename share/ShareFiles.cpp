#include "share/ShareFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
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
    int rootFd;                                // the root, opened once
    std::set<std::pair<dev_t, ino_t>> walked;  // directories, each walked once
    std::vector<std::string>& out;
};

// Only what the HTTP server would serve: names beginning with a dot are
// left out with all below them; a link counts when it resolves beneath the
// root (to a file or a folder) as the server resolves it; devices, FIFOs,
// sockets, dangling links and links out are left out. d_type is not filled
// in by every file system; the status fills the gap.
EntryKind KindOf(const Walk& walk, int dirFd, const std::string& rel, const dirent* entry, int& linkedFd) {
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
        struct stat lst {};
        if (fstatat(dirFd, entry->d_name, &lst, AT_SYMLINK_NOFOLLOW) != 0)
            return EntryKind::Skipped;
        type = S_ISDIR(lst.st_mode) ? DT_DIR : S_ISREG(lst.st_mode) ? DT_REG : S_ISLNK(lst.st_mode) ? DT_LNK : DT_FIFO;
    }
    if (type == DT_DIR)
        return EntryKind::Directory;
    if (type == DT_REG)
        return EntryKind::File;
    if (type != DT_LNK)
        return EntryKind::Skipped;
    const int fd = OpenBeneath(walk.rootFd, rel, O_PATH);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) {
        if (fd >= 0)
            close(fd);
        return EntryKind::Skipped;
    }
    if (S_ISREG(st.st_mode)) {
        close(fd);
        return EntryKind::File;
    }
    linkedFd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    return linkedFd >= 0 ? EntryKind::Directory : EntryKind::Skipped;
}

// Walks the directory open as dirFd (taken over), whose entries are named
// path + "/" + name and rel + "/" + name beneath the root.
void WalkDir(Walk& walk, int dirFd, const std::string& path, const std::string& rel) {
    // A link back to a folder already walked (a cycle among them) ends here.
    struct stat st {};
    if (fstat(dirFd, &st) != 0 || !walk.walked.insert({st.st_dev, st.st_ino}).second) {
        close(dirFd);
        return;
    }
    DirHandle handle(fdopendir(dirFd));
    if (!handle) {
        close(dirFd);
        return;
    }
    while (const dirent* entry = readdir(handle.get())) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        const std::string entryRel = rel.empty() ? name : rel + "/" + name;
        int linkedFd = -1;
        const EntryKind kind = KindOf(walk, dirfd(handle.get()), entryRel, entry, linkedFd);
        if (kind == EntryKind::Directory) {
            // A folder is opened from the one holding it, never through a
            // link put in its place since it was read.
            const int sub = linkedFd >= 0 ? linkedFd
                                          : openat(dirfd(handle.get()), name.c_str(),
                                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                WalkDir(walk, sub, path + "/" + name, entryRel);
        } else if (kind == EntryKind::File && IsShareableName(name)) {
            walk.out.push_back(path + "/" + name);
        }
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
    if (dir.empty())
        return;
    const int rootFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        return;
    Walk walk{rootFd, {}, out};
    WalkDir(walk, dup(rootFd), dir, "");
    close(rootFd);
}
