#include "share/HttpFileEnds.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/TextCodec.h"
#include "platform/Trace.h"
#include "share/HttpText.h"

namespace {

using Clock = std::chrono::steady_clock;

// A cancel is seen within this long.
constexpr int kPollSliceMs = 50;
constexpr size_t kReadChunk = 4096;
// More digits than any file size has.
constexpr size_t kMaxDigits = 18;

class Socket {
public:
    explicit Socket(int fd = -1) : m_fd(fd) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    void reset(int fd) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

struct Deadline {
    Clock::time_point at;
    const std::atomic<bool>* cancel;
};

// Until `events` come on fd (or an error or hang-up, which the next call
// finds out); false at the deadline or once cancelled.
bool Await(int fd, short events, const Deadline& deadline) {
    for (;;) {
        if (deadline.cancel && deadline.cancel->load())
            return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline.at - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kPollSliceMs)));
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            return false;
    }
}

int Connect(const std::string& address, int port, const Deadline& deadline) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v6;
    } else {
        return -1;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&storage), length);
    } while (rc < 0 && errno == EINTR);
    int error = 0;
    socklen_t errorLength = sizeof error;
    if ((rc < 0 && errno != EINPROGRESS) ||
        (rc < 0 && (!Await(fd, POLLOUT, deadline) ||
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 || error != 0))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& text, const Deadline& deadline) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR && (errno != EAGAIN || !Await(fd, POLLOUT, deadline)))
            return false;
    }
    return true;
}

// Appends at most `most` bytes that arrive; false at the end of the stream,
// on an error, at the deadline or once cancelled.
bool ReadSome(int fd, std::string& into, size_t most, const Deadline& deadline) {
    char buffer[kReadChunk];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, most), 0);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
            return true;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN) || (errno == EAGAIN && !Await(fd, POLLIN, deadline)))
            return false;
    }
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trim(const std::string& text) {
    const size_t from = text.find_first_not_of(" \t");
    return from == std::string::npos ? std::string() : text.substr(from, text.find_last_not_of(" \t") + 1 - from);
}

// Decimal digits and nothing else, short enough not to overflow; -1 else.
int64_t Number(const std::string& text) {
    if (text.empty() || text.size() > kMaxDigits ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    int64_t value = 0;
    for (char c : text)
        value = value * 10 + (c - '0');
    return value;
}

// What an answer's header block says, each value checked as it is read.
struct Answer {
    int status = 0;
    int64_t length = -1;  // Content-Length
    int64_t rangeFirst = -1, rangeLast = -1, rangeTotal = -1;  // Content-Range
    bool ranges = false;  // "Accept-Ranges: bytes"
};

// "bytes FIRST-LAST/TOTAL"
bool ParseContentRange(const std::string& value, Answer& answer) {
    const std::string text = Lower(value);
    if (text.compare(0, 6, "bytes ") != 0)
        return false;
    const size_t dash = text.find('-', 6), slash = text.find('/', 6);
    if (dash == std::string::npos || slash == std::string::npos || slash < dash)
        return false;
    answer.rangeFirst = Number(text.substr(6, dash - 6));
    answer.rangeLast = Number(text.substr(dash + 1, slash - dash - 1));
    answer.rangeTotal = Number(text.substr(slash + 1));
    return answer.rangeFirst >= 0 && answer.rangeLast >= answer.rangeFirst && answer.rangeTotal > answer.rangeLast;
}

// The header block up to its blank line; false for anything but HTTP/1.x
// with a three-digit status, a length that is no number, lengths that
// disagree, or a body in chunks.
bool ParseHeader(const std::string& block, Answer& answer) {
    size_t end = block.find("\r\n");
    const std::string status = block.substr(0, end);
    if (status.size() < 12 || status.compare(0, 7, "HTTP/1.") != 0 || status[8] != ' ' ||
        (status.size() > 12 && status[12] != ' '))
        return false;
    const int64_t code = Number(status.substr(9, 3));
    if (code < 100)
        return false;
    answer.status = static_cast<int>(code);
    while (end != std::string::npos && end + 2 < block.size()) {
        const size_t from = end + 2;
        end = block.find("\r\n", from);
        const std::string line = block.substr(from, end == std::string::npos ? std::string::npos : end - from);
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = Lower(Trim(line.substr(0, colon)));
        const std::string value = Trim(line.substr(colon + 1));
        if (name == "content-length") {
            const int64_t length = Number(value);
            if (length < 0 || (answer.length >= 0 && answer.length != length))
                return false;
            answer.length = length;
        } else if (name == "content-range") {
            if (!ParseContentRange(value, answer))
                return false;
        } else if (name == "accept-ranges") {
            answer.ranges = answer.ranges || Lower(value) == "bytes";
        } else if (name == "transfer-encoding") {
            return false;
        }
    }
    return true;
}

// One GET of `path` from `start` on a connection of its own, read up to
// the end of the answer's header block; what came after it is in `body`.
bool Request(const std::string& address, int port, const std::string& path, int64_t start,
             const Deadline& deadline, Socket& socket, Answer& answer, std::string& body) {
    socket.reset(Connect(address, port, deadline));
    if (socket.get() < 0)
        return false;
    const std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) + "\r\n";
    if (start > 0)
        request += "Range: bytes=" + std::to_string(start) + "-\r\n";
    request += "Connection: close\r\n\r\n";
    if (!SendAll(socket.get(), request, deadline))
        return false;
    std::string received;
    size_t blank;
    while ((blank = received.find("\r\n\r\n")) == std::string::npos)
        if (received.size() >= HTTP_ENDS_MAX_HEADER ||
            !ReadSome(socket.get(), received, HTTP_ENDS_MAX_HEADER - received.size(), deadline))
            return false;
    body = received.substr(blank + 4);
    return ParseHeader(received.substr(0, blank + 2), answer);
}

// The first `want` bytes of the body, some of which may be in `body` already.
bool ReadBody(const Socket& socket, size_t want, const Deadline& deadline, std::string& body) {
    if (body.size() > want)
        body.resize(want);
    while (body.size() < want)
        if (!ReadSome(socket.get(), body, want - body.size(), deadline))
            return false;
    return true;
}

} // namespace

std::string ShareNamePath(const std::string& name) {
    return PercentEncode("/" + AnsiToUtf8(name));
}

std::optional<FileEnds> FetchFileEnds(const std::string& address, int port, const std::string& name, size_t span,
                                      int timeoutMs, const std::atomic<bool>* cancel) {
    if (name.empty() || port <= 0 || port > 65535)
        return std::nullopt;
    const Deadline deadline{Clock::now() + std::chrono::milliseconds(timeoutMs), cancel};
    const std::string path = ShareNamePath(name);
    FileEnds ends;
    {
        // The file whole with its length, or a range from 0 that names the
        // total; a listing or an error page offers no ranges.
        Socket socket;
        Answer answer;
        if (!Request(address, port, path, 0, deadline, socket, answer, ends.head) || !answer.ranges)
            return std::nullopt;
        if (answer.status == 200 && answer.length >= 0)
            ends.size = answer.length;
        else if (answer.status == 206 && answer.rangeFirst == 0 &&
                 (answer.length < 0 || answer.length == answer.rangeLast + 1))
            ends.size = answer.rangeTotal;
        else
            return std::nullopt;
        if (!ReadBody(socket, static_cast<size_t>(std::min<int64_t>(ends.size, static_cast<int64_t>(span))), deadline,
                      ends.head))
            return std::nullopt;
    }
    const size_t tail = static_cast<size_t>(
        std::min<int64_t>(ends.size - static_cast<int64_t>(ends.head.size()), static_cast<int64_t>(span)));
    if (tail == 0)
        return ends;
    // Exactly the range asked for, of a file of the same size.
    const int64_t start = ends.size - static_cast<int64_t>(tail);
    Socket socket;
    Answer answer;
    if (!Request(address, port, path, start, deadline, socket, answer, ends.tail) || answer.status != 206 ||
        answer.rangeFirst != start || answer.rangeLast != ends.size - 1 || answer.rangeTotal != ends.size ||
        (answer.length >= 0 && answer.length != static_cast<int64_t>(tail)) ||
        !ReadBody(socket, tail, deadline, ends.tail)) {
        DebugTrace("no tail from %s for %s\n", address.c_str(), name.c_str());
        return std::nullopt;
    }
    return ends;
}
