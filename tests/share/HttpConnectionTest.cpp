#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <time.h>

#include <clocale>
#include <cstdlib>
#include <memory>
#include <thread>

#include "share/HttpText.h"
#include "ShareTestUtil.h"
#include "common/TestMedia.h"

using namespace ::testing;

namespace {

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 7 + i / 251) & 0xff);
    return s;
}

std::string Request(const std::string& path, const std::string& extra = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n";
}

// The file's header block, whole (start 0) or from `start` of a 1000-byte file.
std::string FileHeader(int start) {
    std::string h = start ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200\r\n";
    h += "Content-Type: video/mp4\r\nAccept-Ranges: bytes\r\nLast-Modified: Mon, 08 Aug 2011 10:33:15 GMT\r\n";
    if (start)
        h += "Content-Range: bytes " + std::to_string(start) + "-999/1000\r\n";
    return h + "Content-Length: " + std::to_string(1000 - start) + "\r\nServer: lighttpd/1.5.0\r\n\r\n";
}

// A root whose name holds ":", so that catalogue entries (full paths after a
// "/") are taken as they stand.
class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override { m_tree.File("D:/a.mp4", m_data); }
    int Port() const { return m_server->GetPort(); }

    TempTree m_tree;
    const std::string m_root = m_tree.root + "/D:";
    const std::string m_data = Pattern(1000);
    std::unique_ptr<TcpServer> m_server = ServeHttp(m_root);
};

// True when the server closes `fd` without sending a byte.
bool ClosedUnanswered(int fd) {
    char c;
    return Readable(fd) && recv(fd, &c, 1, 0) == 0;
}

} // namespace

TEST_F(HttpServerTest, FileFromTheRangeStartOrElseTheListingWithExactHeaders) {
    for (const char* name : {"D:/caf\xc3\xa9.mp4", "D:/sub/b.mkv", "D:/skip.txt"})
        m_tree.File(name, m_data);
    m_tree.File("secret.mp4", "secret");  // beside the root, not in it
    std::filesystem::create_symlink(m_tree.root + "/secret.mp4", m_root + "/link.mp4");
    std::filesystem::create_directories(m_root + "/dir.mp4");

    const HttpReply root = HttpAsk(Port(), Request("/"));
    EXPECT_EQ(root.header, "HTTP/1.1 200 \r\nContent-Type: text/html\r\nContent-Length: 0" + std::to_string(root.body.size()) +
                               "\r\nServer: lighttpd/1.5.0\r\n\r\n");
    EXPECT_THAT(root.body, StartsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!DOCTYPE html PUBLIC \"-//W3C//DTD "
                                      "XHTML 1.0 Transitional//EN\"\t\t \"http://www.w3.org/TR/xhtml1/DTD/xhtml1-"
                                      "transitional.dtd\"><html xmlns=\"http://www.w3.org/1999/xhtml\" xml:lang=\"en\" "
                                      "lang=\"en\"><head><title>11111111</title></head><body>"));
    EXPECT_THAT(root.body, HasSubstr("<li><a href=\"/a.mp4\"><b>http:///a.mp4</b></a> </li>\r\n"));
    EXPECT_THAT(root.body, HasSubstr("<li><a href=\"/sub/b.mkv\"><b>http:///sub/b.mkv</b></a> </li>\r\n"));
    EXPECT_THAT(root.body, HasSubstr("<a href=\"/caf%C3%A9.mp4\"><b>http:///caf\xc3\xa9.mp4</b>"));
    EXPECT_THAT(root.body, Not(HasSubstr("skip.txt")));
    EXPECT_THAT(root.body, EndsWith(std::string("<li><a href=\"") + SAMPLE_VIDEO_URL + "\"><b>" + SAMPLE_VIDEO_LABEL +
                                    "</b></a> </li>\r\n</body></html>\r\n\r\n"));

    const int kListing = -1;
    std::vector<std::pair<std::string, int>> cases = {
        {Request("/a.mp4"), 0}, {Request("/a.mp4", "Range: bytes=0-\r\n"), 0},
        {Request("/a.mp4", "Range: bytes=-500\r\n"), 0}, {Request("/a.mp4", "Range: bytes=abc-\r\n"), 0},
        {Request("/" + m_root + "/a.mp4"), 0}, {Request("/caf\xc3\xa9.mp4"), 0}, {Request("/a%2Emp4"), 0},
        {Request("/caf%C3%A9.mp4"), 0},
        {"PUT /a.mp4 HTTP/1.1\r\n\r\n", 0},  // the path is read from the fourth character on
        {Request("/a.mp4", "Range: bytes=100-\r\n"), 100}, {Request("/a.mp4", "Range: bytes=100-199\r\n"), 100},
        {Request("/a.mp4", "RANGE: BYTES=100-\r\n"), 100}, {Request("/a.mp4", "Range: bytes=1000-\r\n"), 1000},
        {Request("/a.mp4", "Range: bytes=1001-\r\n"), kListing}, {Request("/" + m_tree.root + "/secret.mp4"), kListing},
        {std::string("\0\0\0\r\n\r\n", 7), kListing}, {"\r\n\r\n", kListing}, {"GET\r\n\r\n", kListing},
        {"\xff\xfe GET \xc3(\r\n\r\n", kListing}};
    for (const char* path : {"/../secret.mp4", "/sub/../../secret.mp4", "/C:/etc/hostname", "//etc/hostname:", "/link.mp4",
                             "/dir.mp4", "/%2E%2E/secret.mp4", "/missing.mp4"})
        cases.push_back({Request(path), kListing});
    for (const auto& [request, start] : cases) {
        const HttpReply r = HttpAsk(Port(), request);
        EXPECT_TRUE(r.closed) << request;
        if (start == kListing) {
            EXPECT_EQ(r.header + r.body, root.header + root.body) << request;
        } else {
            EXPECT_EQ(r.header, FileHeader(start)) << request;
            EXPECT_EQ(r.body, m_data.substr(size_t(start))) << request;
        }
    }
}

// A root without ":" as sivo-server is given it; names as a file system
// holds them, which browsers percent-encode.
TEST(HttpPlainRoot, CatalogueEntriesEscapedLinksDecodedPathsAndHead) {
    TempTree tree;
    const std::string data = Pattern(1000);
    for (const char* name : {"tag<b>.mp4", "quote\".mp4", "sp ace#1.mp4", "100%25.mp4", "a.mp4"})
        tree.File(name, data);
    auto server = ServeHttp(tree.root);

    const HttpReply listing = HttpAsk(server->GetPort(), Request("/"));
    EXPECT_THAT(listing.body, HasSubstr("<a href=\"/tag%3Cb%3E.mp4\"><b>http:///tag&lt;b&gt;.mp4</b></a>"));
    EXPECT_THAT(listing.body, HasSubstr("<a href=\"/quote%22.mp4\"><b>http:///quote&quot;.mp4</b></a>"));
    EXPECT_THAT(listing.body, HasSubstr("<a href=\"/sp%20ace%231.mp4\">"));
    EXPECT_THAT(listing.body, Not(HasSubstr("<b>.mp4"))) << "a name turned into markup";

    // The catalogue entry as the control socket reports it, behind a "/";
    // encoded names; a literal "%25" that names a file as it stands.
    for (const std::string& path : std::vector<std::string>{"/" + tree.root + "/a.mp4", "/tag%3Cb%3E.mp4",
                                                            "/sp%20ace%231.mp4", "/100%25.mp4"}) {
        const HttpReply r = HttpAsk(server->GetPort(), Request(path));
        EXPECT_EQ(r.header, FileHeader(0)) << path;
        EXPECT_EQ(r.body, data) << path;
    }
    for (const char* path : {"/%2E%2E%2F%2E%2E%2Fetc%2Fhostname", "//etc/hostname", "/a.mp4%00.txt"})
        EXPECT_EQ(HttpAsk(server->GetPort(), Request(path)).body, listing.body) << path;

    // HEAD: the header block of a GET, and nothing after it.
    for (const auto& [path, header] : {std::pair(std::string("/a.mp4"), FileHeader(0)),
                                       std::pair(std::string("/missing"), listing.header)}) {
        const HttpReply r = HttpAsk(server->GetPort(), "HEAD " + path + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(r.header + r.body, header) << path << ": a body after HEAD";
        EXPECT_TRUE(r.closed) << path;
    }
}

// Names in a Latin-1 locale: links are percent-encoded UTF-8 (a byte the
// locale counts as a letter is still escaped) and lead back to the file.
TEST(HttpPlainRoot, Latin1NamesLinkAsUtf8AndAreServed) {
    if (!UseLatin1Locale())
        GTEST_SKIP() << "no Latin-1 locale, and localedef could not make one";
    TempTree tree;
    tree.File("\xc3\xa9t\xe9.mp4", "abc");  // "Ã©té" in Latin-1
    auto server = ServeHttp(tree.root);
    const HttpReply listing = HttpAsk(server->GetPort(), Request("/"));
    const HttpReply file = HttpAsk(server->GetPort(), Request("/%C3%83%C2%A9t%C3%A9.mp4"));
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    EXPECT_THAT(listing.body, HasSubstr("<a href=\"/%C3%83%C2%A9t%C3%A9.mp4\"><b>http:///\xc3\x83\xc2\xa9t\xc3\xa9.mp4</b>"));
    EXPECT_EQ(file.body, "abc");
}

// Requests never finished are closed unanswered at their time-out, with both
// threads of each connection ended; a whole request is served meanwhile.
TEST(HttpPlainRoot, UnfinishedRequestsTimeOutUnansweredFinishedOnesAreServed) {
    TempTree tree;
    tree.File("a.mp4", "abc");
    auto server = ServeHttp(tree.root, 300);
    RawClient silent(server->GetPort()), half(server->GetPort());
    ASSERT_TRUE(SendAll(half.fd, std::string("GET /a.mp4 HTTP/1.1\r\nHost: x\r\n")));
    EXPECT_TRUE(ClosedUnanswered(silent.fd));
    EXPECT_TRUE(ClosedUnanswered(half.fd));
    EXPECT_TRUE(WaitFor([&] {
        server->ReleaseUnUse();
        return server->ConnectionCount() == 0;
    })) << "both threads of each ended";
    EXPECT_EQ(HttpAsk(server->GetPort(), Request("/a.mp4")).body, "abc");
}

// One request per connection, answered once it is whole however it comes;
// a header block past 64 KiB closes the connection.
TEST_F(HttpServerTest, OneRequestPerConnectionAndNoStallFromMalformedOnes) {
    RawClient endless(Port());
    ASSERT_TRUE(SendAll(endless.fd, std::string("GET /a.mp4 HTTP/1.1\r\n")));
    const std::string filler = "X-Filler: " + std::string(1000, 'f') + "\r\n";
    for (size_t sent = 0; sent <= HTTP_MAX_HEADER_BYTES && SendAll(endless.fd, filler);)
        sent += filler.size();
    EXPECT_TRUE(WaitClosed(endless.fd)) << "a header block past 64 KiB closes";
    const HttpReply split = HttpAsk(Port(), Request("/a.mp4"), true);
    EXPECT_EQ(split.body, m_data) << "a split request is answered once whole";
    EXPECT_TRUE(split.closed) << "the connection waits for a second request";
}

// Sparse, so no disk is spent: the data sits around the 2 GiB mark.
TEST_F(HttpServerTest, SparseFileOver2GiBServedAcrossAndPast2GiB) {
    const int64_t at = (int64_t(1) << 31) - 500;
    const std::string path = m_tree.File("D:/big.mp4", "");
    std::filesystem::resize_file(path, uint64_t(at));
    std::ofstream(path, std::ios::binary | std::ios::app) << m_data;
    for (int64_t start : {at, at + 600}) {
        const HttpReply r = HttpAsk(Port(), Request("/big.mp4", "Range: bytes=" + std::to_string(start) + "-\r\n"));
        EXPECT_THAT(r.header, HasSubstr("Content-Range: bytes " + std::to_string(start) + "-2147484147/2147484148\r\n"
                                        "Content-Length: " + std::to_string(at + 1000 - start) + "\r\n"));
        EXPECT_EQ(r.body, m_data.substr(size_t(start - at))) << start;
    }
}

// A client that stops reading leaves its connection blocked on the full
// socket, and connections waiting for a request (only its time-out is
// pending), after an answer or a HEAD block on events: none costs CPU, every other
// client is served meanwhile (whole files and range starts that cross the
// pump's chunks), and once the stalled client closes, its connection ends.
TEST_F(HttpServerTest, StalledReaderAndIdleConnectionsBlockNobodyAndEndWhenClosed) {
    const std::string content = Pattern(5 << 20);
    m_tree.File("D:/p.mp4", content);
    std::filesystem::resize_file(m_tree.File("D:/stall.mp4", ""), 1 << 30);  // zeros, sparse
    auto stalled = std::make_unique<RawClient>(Port());
    ASSERT_TRUE(SendAll(stalled->fd, Request("/stall.mp4")));
    std::string some;
    ASSERT_TRUE(ReadInto(stalled->fd, some, 1000));
    EXPECT_EQ(HttpAsk(Port(), Request("/a.mp4")).body, m_data);
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 4; ++i)
        idle.push_back(std::make_unique<RawClient>(Port()));
    ASSERT_TRUE(SendAll(idle[0]->fd, std::string("HEAD /a.mp4 HTTP/1.1\r\n\r\n")));
    ASSERT_TRUE(Readable(idle[0]->fd));
    ASSERT_TRUE(WaitFor([&] { return m_server->ConnectionCount() >= 5; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the socket buffers fill

    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    EXPECT_LT(WakeupsWhileIdle(300), 10) << "a pump at a full socket or a waiting connection looks again and again";
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1000 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1000000, 100)
        << "CPU spent while the only client is stalled";

    for (size_t start : {size_t(0), size_t(3 << 20) + 7}) {
        const HttpReply r = HttpAsk(Port(), Request("/p.mp4", start ? "Range: bytes=" + std::to_string(start) + "-\r\n" : ""));
        EXPECT_THAT(r.header, HasSubstr("\r\nContent-Length: " + std::to_string(content.size() - start) + "\r\n"));
        EXPECT_TRUE(r.body == content.substr(start)) << "bytes lost or reordered from " << start;
    }
    stalled.reset();  // unread data: the server's send fails
    idle.clear();
    EXPECT_TRUE(WaitFor([&] {
        m_server->ReleaseUnUse();
        return m_server->ConnectionCount() == 0;
    })) << "the stalled connection outlived its client";
}
