#include "platform/ShareRoot.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

// The components of a relative name, empty ones dropped; false when one
// begins with a dot or there is none.
bool SplitName(const std::string& rel, std::vector<std::string>& parts) {
    std::string part;
    for (size_t i = 0; i <= rel.size(); ++i) {
        if (i < rel.size() && rel[i] != '/') {
            part += rel[i];
            continue;
        }
        if (part.empty())
            continue;
        if (part[0] == '.')
            return false;
        parts.push_back(std::move(part));
        part.clear();
    }
    return !parts.empty();
}

int OpenByKernel(int rootFd, const std::string& rel, int flags) {
    open_how how {};
    // openat2 refuses flags that O_PATH ignores.
    how.flags = uint64_t(flags | O_CLOEXEC | ((flags & O_PATH) ? 0 : O_NOCTTY));
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    int fd;
    do {
        fd = int(syscall(SYS_openat2, rootFd, rel.c_str(), &how, sizeof how));
    } while (fd < 0 && errno == EINTR);
    return fd;
}

constexpr int kMaxLinkHops = 40;  // as the kernel allows

// The canonical path of the directory rootFd, or empty.
std::string CanonicalOf(int rootFd) {
    return ResolvePath("/proc/self/fd/" + std::to_string(rootFd));
}

// Opens one component at a time, never following a link on its own: a link
// met on the way is read and its target walked in its place, a relative one
// from the directory holding it, an absolute one only when it names a place
// inside the root. ".." steps back along the walked directories and never
// above the first.
int OpenByWalk(int rootFd, const std::vector<std::string>& parts, int flags) {
    std::vector<int> dirs;  // owned, below rootFd
    auto top = [&] { return dirs.empty() ? rootFd : dirs.back(); };
    auto fail = [&](int error) {
        for (int d : dirs)
            close(d);
        errno = error;
        return -1;
    };
    std::vector<std::string> todo(parts.rbegin(), parts.rend());  // next at the back
    std::string canonicalRoot;
    int hops = 0;
    while (!todo.empty()) {
        const std::string name = std::move(todo.back());
        todo.pop_back();
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            if (dirs.empty())
                return fail(EXDEV);
            close(dirs.back());
            dirs.pop_back();
            continue;
        }
        const int fd = openat(top(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0) {
            const int error = fd < 0 ? errno : EIO;
            if (fd >= 0)
                close(fd);
            return fail(error);
        }
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlinkat(fd, "", target, sizeof target - 1);
            close(fd);
            if (n <= 0 || ++hops > kMaxLinkHops)
                return fail(n <= 0 ? EIO : ELOOP);
            std::string text(target, size_t(n));
            if (text[0] == '/') {
                if (canonicalRoot.empty())
                    canonicalRoot = CanonicalOf(rootFd);
                if (!IsBelowRoot(canonicalRoot, text))
                    return fail(EXDEV);
                text = text.substr(canonicalRoot == "/" ? 1 : canonicalRoot.size() + 1);
                for (int d : dirs)
                    close(d);
                dirs.clear();
            }
            std::vector<std::string> pieces;
            std::string piece;
            for (char c : text + "/") {
                if (c != '/') {
                    piece += c;
                } else if (!piece.empty()) {
                    pieces.push_back(std::move(piece));
                    piece.clear();
                }
            }
            todo.insert(todo.end(), pieces.rbegin(), pieces.rend());
            continue;
        }
        if (!todo.empty()) {
            if (!S_ISDIR(st.st_mode)) {
                close(fd);
                return fail(ENOTDIR);
            }
            dirs.push_back(fd);
            continue;
        }
        close(fd);
        // The last component, opened as asked from the directory that holds
        // it: a link put there since is refused, not followed.
        int file;
        do {
            file = openat(top(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
        } while (file < 0 && errno == EINTR);
        const int error = errno;
        for (int d : dirs)
            close(d);
        errno = error;
        return file;
    }
    return fail(ENOENT);  // the name ended in ".." or a link to a directory
}

} // namespace

std::string ResolvePath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return {};
    std::string result = resolved;
    std::free(resolved);
    return result;
}

bool IsBelowRoot(const std::string& resolvedRoot, const std::string& resolvedPath) {
    if (resolvedRoot.empty() || resolvedPath.empty())
        return false;
    if (resolvedRoot == "/")
        return resolvedPath.size() > 1 && resolvedPath[0] == '/';
    return resolvedPath.size() > resolvedRoot.size() &&
           resolvedPath.compare(0, resolvedRoot.size(), resolvedRoot) == 0 &&
           resolvedPath[resolvedRoot.size()] == '/';
}

std::string ServableFile(const std::string& root, const std::string& path) {
    std::string file = ResolvePath(path);
    struct stat st {};
    if (file.empty() || stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        !IsBelowRoot(ResolvePath(root), file))
        return {};
    return file;
}

std::string RelativeToRoot(const std::string& root, const std::string& path) {
    if (root.empty())
        return {};
    if (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/')
        return path.substr(path.find_first_not_of('/', root.size()) == std::string::npos
                               ? path.size()
                               : path.find_first_not_of('/', root.size()));
    const std::string resolvedRoot = ResolvePath(root);
    const std::string resolved = ResolvePath(path);
    if (!IsBelowRoot(resolvedRoot, resolved))
        return {};
    return resolved.substr(resolvedRoot == "/" ? 1 : resolvedRoot.size() + 1);
}

int OpenBeneath(int rootFd, const std::string& rel, int flags, BeneathResolve how) {
    std::vector<std::string> parts;
    if (rootFd < 0 || !SplitName(rel, parts)) {
        errno = ENOENT;
        return -1;
    }
    if (how == BeneathResolve::Kernel) {
        std::string clean;
        for (const std::string& p : parts)
            clean += (clean.empty() ? "" : "/") + p;
        const int fd = OpenByKernel(rootFd, clean, flags);
        // A kernel before 5.6 lacks the call and a seccomp filter may refuse
        // it; an absolute link is refused by it even where it stays inside.
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != EXDEV))
            return fd;
    }
    return OpenByWalk(rootFd, parts, flags);
}

int OpenServableFile(const std::string& root, const std::string& path, struct stat* st, BeneathResolve how) {
    const std::string rel = RelativeToRoot(root, path);
    if (rel.empty())
        return -1;
    const int rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        return -1;
    const int fd = OpenBeneath(rootFd, rel, O_RDONLY | O_NONBLOCK, how);
    close(rootFd);
    struct stat own {};
    struct stat& status = st ? *st : own;
    if (fd < 0)
        return -1;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
