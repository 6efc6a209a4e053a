#include "platform/ShareRoot.h"

#include <sys/stat.h>

#include <cstdlib>

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
