#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The first and last bytes of a file a peer's HTTP file server serves, so
// that a file played from the peer can be known by its content without a
// word of the stream protocol. Nothing the peer sends is trusted: a length
// in its answer is checked against what was asked and never decides how
// much is kept (at most `span` bytes of each end, a header block of at most
// HTTP_ENDS_MAX_HEADER bytes).
//
// Threads: any; the calls block, so never the UI thread.

inline constexpr size_t HTTP_ENDS_MAX_HEADER = 16 * 1024;

struct FileEnds {
    int64_t size = 0;
    std::string head;  // the first min(size, span) bytes
    std::string tail;  // the last min(size - head.size(), span) bytes
};

// The request path of a share name as the catalogue lists it and the stream
// server takes it (the peer's share root and the file below it): "/" and the
// name in UTF-8, percent-encoded. The server takes a path that starts with
// its root, or holds ":", as the name it stands for.
std::string ShareNamePath(const std::string& name);

// Reads the ends of the file `name` from the HTTP server at `address` (an
// IPv4 or IPv6 literal) and `port`: a GET from the start gives the size (its
// Content-Length) and the head, a GET with "Range: bytes=N-" the tail, each
// on a connection of its own, closed once the bytes are in. Nothing when no
// server answers, it answers anything but the file (a listing, an error), a
// range other than the one asked for or fewer bytes than it announced, when
// the whole takes longer than timeoutMs, or once *cancel turns true (looked
// at every few tens of milliseconds).
std::optional<FileEnds> FetchFileEnds(const std::string& address, int port, const std::string& name, size_t span,
                                      int timeoutMs, const std::atomic<bool>* cancel = nullptr);
