#pragma once
#include <sys/stat.h>

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
// nothing a link or ".." leads out to. Only a name: what is served is opened
// with OpenServableFile, which does not trust a check made before the open.
std::string ServableFile(const std::string& root, const std::string& path);

// How a name is resolved beneath a directory: by the kernel (openat2 with
// RESOLVE_BENEATH), falling back to the walk where the kernel lacks the call,
// a filter forbids it, or it refuses an absolute link; or by the walk alone:
// one component at a time with O_NOFOLLOW, each link read and its target
// walked in its place (an absolute one only when it names a place inside).
enum class BeneathResolve { Kernel, Walk };

// `path` relative to `root`: the rest after root + "/" when it is written
// so, else the canonical path's rest after the canonical root's. Empty when
// it lies elsewhere. A name only: nothing here is opened.
std::string RelativeToRoot(const std::string& root, const std::string& path);

// Opens `rel` ("/"-separated, relative to the directory rootFd) with `flags`
// (O_RDONLY, O_PATH, O_DIRECTORY ...; O_CLOEXEC and O_NOCTTY are added) so
// that no link, "..", or swap of a component made meanwhile leads out of
// rootFd. A component beginning with a dot ("..", ".ssh", ".hidden.mp4") is
// refused, as is an empty name. The descriptor, or -1 with errno set.
int OpenBeneath(int rootFd, const std::string& rel, int flags, BeneathResolve how = BeneathResolve::Kernel);

// The regular file `path` names beneath `root`, opened once for reading:
// non-blocking while it is opened, so that a FIFO or device put in its
// place never blocks, then checked with fstat on the descriptor itself (a
// regular file or nothing). The descriptor (blocking again, close-on-exec)
// with its status in *st, or -1.
int OpenServableFile(const std::string& root, const std::string& path, struct stat* st = nullptr,
                     BeneathResolve how = BeneathResolve::Kernel);
