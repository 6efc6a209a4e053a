#pragma once
#include <string>

// The fixed share directory, doubled slash included. On Linux it resolves
// relative to the working directory.
inline constexpr char SHARE_ROOT[] = "D://ROZivuvori";

// What peers may reach of the share root. Plain functions on the file
// system, any thread.

// The canonical path (links, "." and ".." resolved), or empty when `path`
// does not resolve.
std::string ResolvePath(const std::string& path);
// True when the canonical `path` lies strictly below the canonical `root`.
bool IsBelowRoot(const std::string& resolvedRoot, const std::string& resolvedPath);
// The canonical path of `path` when it names a regular file strictly below
// `root` once resolved, else empty: no directory, device, FIFO or socket, and
// nothing a link or ".." leads out to.
std::string ServableFile(const std::string& root, const std::string& path);
