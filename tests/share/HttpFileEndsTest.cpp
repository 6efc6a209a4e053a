// The two ends of a file read from a peer's HTTP file server: from the real
// server under share roots of both kinds, and from servers that lie.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ShareTestUtil.h"
#include "output/OutputTestUtil.h"
#include "share/HttpFileEnds.h"
#include "share/ShareFiles.h"

constexpr size_t kSpan = 64 * 1024;
constexpr int kTimeoutMs = 5000;

// Every file the catalogue lists, under a root written as sivo-server is
// given one and under one holding ":" (as the built-in root does), comes
// back with the bytes at both of its ends: sizes around the span, names
// with spaces, "%", "#", non-ASCII bytes and folders. What is not a file
// of the share (missing, outside the root, a folder) gives nothing, as
// does a port with no server.
TEST(HttpFileEnds, TheEndsOfEveryListedFileUnderEitherKindOfRoot) {
    TempTree tree;
    const std::vector<std::pair<std::string, size_t>> files = {
        {"empty.mp4", 0},           {"one.mp4", 1},
        {"sp ace #1.mp4", 1000},    {"100%41.mkv", kSpan - 1},
        {"sub/dir/exact.mp4", kSpan}, {"caf\xc3\xa9.mp4", kSpan + 1},
        {"two spans.avi", 2 * kSpan}, {"over two.mp4", 2 * kSpan + 1},
        {"long.mp4", 700 * 1024},
    };
    for (const std::string& root : {tree.root + "/share root", tree.root + "/D:"}) {
        SCOPED_TRACE(root);
        unsigned seed = 1;
        for (const auto& [rel, size] : files)
            tree.File(root.substr(tree.root.size() + 1) + "/" + rel, Noise(size, seed++));
        tree.File("beside.mp4", Noise(100, 99));
        std::filesystem::create_directories(root + "/folder.mp4");
        std::vector<std::string> listed;
        FindShareFiles(root, listed);
        ASSERT_EQ(listed.size(), files.size());
        auto server = ServeHttp(root);
        for (const std::string& name : listed) {
            SCOPED_TRACE(name);
            const std::string bytes = ReadWholeFile(name);
            const auto ends = FetchFileEnds("127.0.0.1", server->GetPort(), name, kSpan, kTimeoutMs);
            ASSERT_TRUE(ends.has_value());
            const size_t head = std::min(bytes.size(), kSpan);
            const size_t tail = std::min(bytes.size() - head, kSpan);
            EXPECT_EQ(ends->size, static_cast<int64_t>(bytes.size()));
            EXPECT_TRUE(ends->head == bytes.substr(0, head)) << ends->head.size();
            EXPECT_TRUE(ends->tail == bytes.substr(bytes.size() - tail)) << ends->tail.size();
        }
        for (const std::string& name : {root + "/missing.mp4", tree.root + "/beside.mp4", root + "/folder.mp4",
                                        root + "/../beside.mp4", std::string("/etc/hostname"), std::string()})
            EXPECT_FALSE(FetchFileEnds("127.0.0.1", server->GetPort(), name, kSpan, kTimeoutMs)) << name;
        EXPECT_FALSE(FetchFileEnds("127.0.0.1", ClosedPort(), listed.front(), kSpan, kTimeoutMs));
        EXPECT_FALSE(FetchFileEnds("peer.example", server->GetPort(), listed.front(), kSpan, kTimeoutMs));
    }
}

namespace {

// A server that reads each request and answers the next canned text, then
// closes. Finish stops it (a client it still waits for is not coming) and
// gives the requests it saw.
class LyingServer {
public:
    explicit LyingServer(std::vector<std::string> answers) : m_answers(std::move(answers)) {
        m_thread = std::thread([this] {
            for (const std::string& answer : m_answers) {
                const int fd = m_listener.Accept();
                if (fd < 0 || m_bStop)
                    return void(close(fd));
                std::string request;
                while (request.find("\r\n\r\n") == std::string::npos && ReadInto(fd, request, request.size() + 1)) {
                }
                m_requests.push_back(request);
                SendAll(fd, answer);
                // A peer that stalls keeps the connection open without a word.
                if (answer.empty())
                    Readable(fd, 5000);
                close(fd);
            }
        });
    }
    ~LyingServer() { Finish(); }
    int Port() const { return m_listener.port; }
    std::vector<std::string> Finish() {
        if (m_thread.joinable()) {
            m_bStop = true;
            RawClient wake(m_listener.port);
            m_thread.join();
        }
        return m_requests;
    }

private:
    RawListener m_listener;
    std::vector<std::string> m_answers;
    std::vector<std::string> m_requests;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

std::string Head(const std::string& status, const std::string& fields) {
    return "HTTP/1.1 " + status + "\r\nAccept-Ranges: bytes\r\n" + fields + "\r\n";
}

} // namespace

// Lengths and ranges that do not add up give nothing, whatever size they
// claim (nothing is allocated from them), and a peer that stops talking is
// left at the time-out. A file told honestly comes back from the same kind
// of answers, and the requests are the ones the file server takes.
TEST(HttpFileEnds, PeersThatLieOrStallGiveNothing) {
    const std::string file = Noise(3 * kSpan, 5);
    const std::string total = std::to_string(file.size());
    const std::string tailStart = std::to_string(file.size() - kSpan);
    const std::string goodHead = Head("200", "Content-Length: " + total + "\r\n") + file.substr(0, kSpan);
    const std::string goodTail =
        Head("206 Partial Content", "Content-Range: bytes " + tailStart + "-" + std::to_string(file.size() - 1) + "/" +
                                        total + "\r\nContent-Length: 65536\r\n") + file.substr(file.size() - kSpan);
    const std::string rangeOf = "Content-Range: bytes " + tailStart + "-" + std::to_string(file.size() - 1) + "/";
    const long whole = long(file.size()), none = -1;
    const struct {
        const char* what;
        std::vector<std::string> answers;
        long size;  // of the file the ends come from, or none
    } cases[] = {
        {"honest", {goodHead, goodTail}, whole},
        {"more than announced: the file is what the length says",
         {Head("200", "Content-Length: 10\r\n") + file.substr(0, 30)}, 10},
        {"honest with a range from 0",
         {Head("206", "Content-Range: bytes 0-" + std::to_string(file.size() - 1) + "/" + total + "\r\n") +
              file.substr(0, kSpan),
          goodTail},
         whole},
        {"a length far beyond what comes", {Head("200", "Content-Length: 999999999999999999\r\n") + "short"}, none},
        {"a length with more digits than a size has", {Head("200", "Content-Length: 99999999999999999999\r\n")}, none},
        {"a negative length", {Head("200", "Content-Length: -5\r\n")}, none},
        {"a length that is no number", {Head("200", "Content-Length: 12abc\r\n")}, none},
        {"two lengths", {Head("200", "Content-Length: " + total + "\r\nContent-Length: 7\r\n")}, none},
        {"no length", {Head("200", "") + file.substr(0, kSpan)}, none},
        {"a body in chunks", {Head("200", "Content-Length: " + total + "\r\nTransfer-Encoding: chunked\r\n")}, none},
        {"a page without ranges", {"HTTP/1.1 200\r\nContent-Length: 5\r\n\r\nhello"}, none},
        {"not found", {Head("404 Not Found", "Content-Length: 0\r\n")}, none},
        {"not HTTP", {"SSH-2.0-OpenSSH_9.2\r\n\r\n"}, none},
        {"a status of two digits", {Head("20", "Content-Length: 5\r\n") + "hello"}, none},
        {"a header block without end", {"HTTP/1.1 200\r\nX: " + std::string(HTTP_ENDS_MAX_HEADER * 4, 'a')}, none},
        {"the whole file for the tail", {goodHead, Head("200", "Content-Length: " + total + "\r\n") + file}, none},
        {"another range for the tail", {goodHead, Head("206", "Content-Range: bytes 0-99/" + total + "\r\n")}, none},
        {"a tail from another start",
         {goodHead, Head("206", "Content-Range: bytes 1-" + std::to_string(file.size() - 1) + "/" + total + "\r\n") +
                        file.substr(1)},
         none},
        {"another size for the tail", {goodHead, Head("206", rangeOf + "999999999\r\n") + file.substr(0, kSpan)}, none},
        {"a tail cut short", {goodHead, Head("206", rangeOf + total + "\r\n") + file.substr(0, 100)}, none},
        {"a tail whose length disagrees", {goodHead, Head("206", rangeOf + total + "\r\nContent-Length: 9\r\n")}, none},
        {"a head that stalls", {""}, none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LyingServer server(c.answers);
        const auto ends = FetchFileEnds("127.0.0.1", server.Port(), "/srv/my share/film.mp4", kSpan, 2000);
        server.Finish();
        EXPECT_EQ(ends.has_value(), c.size != none);
        if (ends && c.size != none) {
            const size_t size = size_t(c.size), head = std::min(size, kSpan), tail = std::min(size - head, kSpan);
            EXPECT_EQ(ends->size, c.size);
            EXPECT_TRUE(ends->head == file.substr(0, head));
            EXPECT_TRUE(ends->tail == file.substr(size - tail, tail));
        }
    }
}

// The requests carry the name as the file server maps it back, the range
// as it reads a start, and ask for the connection to close.
TEST(HttpFileEnds, RequestsNameTheFileAsTheServerMapsIt) {
    EXPECT_EQ(ShareNamePath("/srv/my share/caf\xc3\xa9 #1.mp4"), "//srv/my%20share/caf%C3%A9%20%231.mp4");
    EXPECT_EQ(ShareNamePath("D://ROZivuvori/a%41.mp4"), "/D%3A//ROZivuvori/a%2541.mp4");
    const std::string file = Noise(kSpan + 10, 3);
    LyingServer server({Head("200", "Content-Length: 65546\r\n") + file,
                        Head("206", "Content-Range: bytes 65536-65545/65546\r\n") + file.substr(kSpan)});
    const auto ends = FetchFileEnds("127.0.0.1", server.Port(), "/srv/my share/a.mp4", kSpan, kTimeoutMs);
    ASSERT_TRUE(ends.has_value());
    EXPECT_TRUE(ends->tail == file.substr(kSpan));
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n";
    EXPECT_EQ(server.Finish(),
              (std::vector<std::string>{"GET //srv/my%20share/a.mp4 HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n",
                                        "GET //srv/my%20share/a.mp4 HTTP/1.1\r\n" + host +
                                            "Range: bytes=65536-\r\nConnection: close\r\n\r\n"}));
}

// A fetch from a peer that never answers ends at once when cancelled.
TEST(HttpFileEnds, ACancelEndsTheWait) {
    RawListener silent;  // accepts into its backlog and never answers
    std::atomic<bool> cancel{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cancel = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(FetchFileEnds("127.0.0.1", silent.port, "/srv/a.mp4", kSpan, 60000, &cancel));
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "the cancel was not seen";
}
