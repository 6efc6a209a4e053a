// The HTTP file server on real sockets: files, ranges and the listing, and
// what a web page or a hostile LAN peer sends.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "share/HttpText.h"
#include "ShareTestUtil.h"
#include "common/TestMedia.h"

using namespace ::testing;
namespace fs = std::filesystem;

namespace {

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 7 + i / 251) & 0xff);
    return s;
}

std::string Get(const std::string& path, const std::string& headers) {
    return "GET " + path + " HTTP/1.1\r\n" + headers + "\r\n";
}

std::string Request(const std::string& path, const std::string& extra = "") {
    return Get(path, "Host: localhost\r\n" + extra);
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

std::string OwnName() {
    char buf[256] = {};
    gethostname(buf, sizeof buf - 1);
    return buf;
}

// A root without ":" as sivo-server is given it.
class HttpHardening : public ::testing::Test {
protected:
    void SetUp() override { m_tree.File("a.mp4", "AAAA"); }
    int Port() const { return m_server->GetPort(); }

    TempTree m_tree;
    std::unique_ptr<TcpServer> m_server = ServeHttp(m_tree.root);
};

constexpr char kForbidden[] = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nServer: lighttpd/1.5.0\r\n\r\n";

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

// Names as a file system holds them, which browsers percent-encode.
TEST_F(HttpHardening, CatalogueEntriesEscapedLinksDecodedPathsAndHead) {
    const std::string data = Pattern(1000);
    for (const char* name : {"tag<b>.mp4", "quote\".mp4", "sp ace#1.mp4", "100%25.mp4", "a.mp4"})
        m_tree.File(name, data);

    const HttpReply listing = HttpAsk(Port(), Request("/"));
    EXPECT_THAT(listing.body, HasSubstr("<a href=\"/tag%3Cb%3E.mp4\"><b>http:///tag&lt;b&gt;.mp4</b></a>"));
    EXPECT_THAT(listing.body, HasSubstr("<a href=\"/quote%22.mp4\"><b>http:///quote&quot;.mp4</b></a>"));
    EXPECT_THAT(listing.body, HasSubstr("<a href=\"/sp%20ace%231.mp4\">"));
    EXPECT_THAT(listing.body, Not(HasSubstr("<b>.mp4"))) << "a name turned into markup";

    // The catalogue entry as the control socket reports it, behind a "/";
    // encoded names; a literal "%25" that names a file as it stands.
    for (const std::string& path : std::vector<std::string>{"/" + m_tree.root + "/a.mp4", "/tag%3Cb%3E.mp4",
                                                            "/sp%20ace%231.mp4", "/100%25.mp4"}) {
        const HttpReply r = HttpAsk(Port(), Request(path));
        EXPECT_EQ(r.header, FileHeader(0)) << path;
        EXPECT_EQ(r.body, data) << path;
    }
    for (const char* path : {"/%2E%2E%2F%2E%2E%2Fetc%2Fhostname", "//etc/hostname", "/a.mp4%00.txt"})
        EXPECT_EQ(HttpAsk(Port(), Request(path)).body, listing.body) << path;

    // HEAD: the header block of a GET, and nothing after it.
    for (const auto& [path, header] : {std::pair(std::string("/a.mp4"), FileHeader(0)),
                                       std::pair(std::string("/missing"), listing.header)}) {
        const HttpReply r = HttpAsk(Port(), "HEAD " + path + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(r.header + r.body, header) << path << ": a body after HEAD";
        EXPECT_TRUE(r.closed) << path;
    }
}

// Names in a Latin-1 locale: links are percent-encoded UTF-8 (a byte the
// locale counts as a letter is still escaped) and lead back to the file.
TEST_F(HttpHardening, Latin1NamesLinkAsUtf8AndAreServed) {
    if (!UseLatin1Locale())
        GTEST_SKIP() << "no Latin-1 locale, and localedef could not make one";
    m_tree.File("\xc3\xa9t\xe9.mp4", "abc");  // "Ã©té" in Latin-1
    const HttpReply listing = HttpAsk(Port(), Request("/"));
    const HttpReply file = HttpAsk(Port(), Request("/%C3%83%C2%A9t%C3%A9.mp4"));
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    EXPECT_THAT(listing.body, HasSubstr("<a href=\"/%C3%83%C2%A9t%C3%A9.mp4\"><b>http:///\xc3\x83\xc2\xa9t\xc3\xa9.mp4</b>"));
    EXPECT_EQ(file.body, "abc");
}

// Requests never finished are closed unanswered at their time-out, with both
// threads of each connection ended; a whole request is served meanwhile.
TEST_F(HttpHardening, UnfinishedRequestsTimeOutUnansweredFinishedOnesAreServed) {
    auto server = ServeHttp(m_tree.root, 300);
    RawClient silent(server->GetPort()), half(server->GetPort());
    ASSERT_TRUE(SendAll(half.fd, std::string("GET /a.mp4 HTTP/1.1\r\nHost: x\r\n")));
    EXPECT_TRUE(ClosedUnanswered(silent.fd));
    EXPECT_TRUE(ClosedUnanswered(half.fd));
    EXPECT_TRUE(ConnectionsDownTo(*server)) << "both threads of each ended";
    EXPECT_EQ(HttpAsk(server->GetPort(), Request("/a.mp4")).body, "AAAA");
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

    const std::clock_t cpu0 = std::clock();  // this process's CPU time
    EXPECT_LT(WakeupsWhileIdle(300), 10) << "a pump at a full socket or a waiting connection looks again and again";
    EXPECT_LT(double(std::clock() - cpu0) / CLOCKS_PER_SEC, 0.1) << "CPU spent while the only client is stalled";

    for (size_t start : {size_t(0), size_t(3 << 20) + 7}) {
        const HttpReply r = HttpAsk(Port(), Request("/p.mp4", start ? "Range: bytes=" + std::to_string(start) + "-\r\n" : ""));
        EXPECT_THAT(r.header, HasSubstr("\r\nContent-Length: " + std::to_string(content.size() - start) + "\r\n"));
        EXPECT_TRUE(r.body == content.substr(start)) << "bytes lost or reordered from " << start;
    }
    stalled.reset();  // unread data: the server's send fails
    idle.clear();
    EXPECT_TRUE(ConnectionsDownTo(*m_server)) << "the stalled connection outlived its client";
}

// ---- Against what a web page or a hostile LAN peer sends: rebinding Host
// values, connections left open, files that change or are swapped while
// they are sent, dot files.

// A page on a name the attacker's DNS points here sends that name as Host:
// only addresses, localhost and this machine's own names are served.
TEST_F(HttpHardening, HostValuesThatCouldBeReboundGet403OthersAreServed) {
    const std::string own = OwnName();
    std::string upper = own;
    std::transform(own.begin(), own.end(), upper.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    const std::pair<std::string, bool> cases[] = {  // headers, served
        {"", true},  // HTTP/1.0 style: no Host at all
        {"Host: localhost\r\n", true}, {"Host: LocalHost:2888\r\n", true}, {"Host: localhost.\r\n", true},
        {"Host: 127.0.0.1\r\n", true}, {"Host: 127.0.0.1:2888\r\n", true}, {"Host: 192.168.1.20:80\r\n", true},
        {"Host:10.0.0.1\r\n", true}, {"host: \t10.0.0.1:2888 \r\n", true},
        {"Host: [::1]\r\n", true}, {"Host: [::1]:2888\r\n", true}, {"Host: [fe80::1:2]:8080\r\n", true},
        {"Host: " + own + "\r\n", true}, {"Host: " + upper + ":2888\r\n", true}, {"Host: " + own + ".local\r\n", true},
        {"Host: " + own + ".local.:2888\r\n", true},
        {"X-Forwarded-Host: evil.example\r\n", true},  // another header that only ends in "host"
        {"Host: evil.example\r\n", false}, {"Host: evil.example:2888\r\n", false}, {"Host: EVIL.example.\r\n", false},
        {"Host: localhost.evil.example\r\n", false}, {"Host: 127.0.0.1.nip.io\r\n", false},
        {"Host: " + own + ".evil.example\r\n", false}, {"Host: x" + own + "\r\n", false},
        {"Host: \r\n", false}, {"Host: :2888\r\n", false},
        {"Host: ::1\r\n", false}, {"Host: [::1\r\n", false}, {"Host: [::1]x\r\n", false}, {"Host: [evil.example]\r\n", false},
        {"Host: 127.0.0.1:99999\r\n", false}, {"Host: 127.0.0.1:80:80\r\n", false}, {"Host: 1.2.3\r\n", false},
        {"Host: localhost\r\nHost: evil.example\r\n", false}, {"Host: evil.example\r\nHost: localhost\r\n", false},
        {"Host: evil.example\r\nConnection: keep-alive\r\n", false},  // the refusal ends the connection anyway
    };
    for (const auto& [headers, served] : cases) {
        for (const char* path : {"/a.mp4", "/"}) {
            const HttpReply e = HttpAsk(Port(), Get(path, headers));
            if (served) {
                EXPECT_THAT(e.header, StartsWith("HTTP/1.1 200")) << path << " " << headers;
                EXPECT_FALSE(e.body.empty()) << path << " " << headers;
            } else {
                EXPECT_EQ(e.header + e.body, kForbidden) << path << " " << headers;
            }
            EXPECT_TRUE(e.closed) << path << " " << headers;
        }
    }
    const HttpReply head = HttpAsk(Port(), "HEAD /a.mp4 HTTP/1.1\r\nHost: evil.example\r\n\r\n");
    EXPECT_EQ(head.header + head.body, kForbidden) << "HEAD is refused alike";
    EXPECT_TRUE(head.closed);
}

// An answer ends the connection unless the client asked to keep it; a kept
// connection that then stays idle is closed by the server.
TEST_F(HttpHardening, AnsweredConnectionsCloseUnlessKeptAndKeptOnesEndWhenIdle) {
    m_server->SetIdleTimeout(400);
    const std::pair<std::string, bool> cases[] = {  // request, kept
        {Request("/a.mp4"), false},
        {Request("/a.mp4", "Connection: close\r\n"), false},
        {Request("/"), false},
        {"GET /a.mp4 HTTP/1.0\r\n\r\n", false},
        {"HEAD /a.mp4 HTTP/1.1\r\nHost: localhost\r\n\r\n", false},
        {Request("/a.mp4", "Connection: keep-alive\r\n"), true},
        {Request("/a.mp4", "connection: Upgrade, Keep-Alive\r\n"), true},
        {Request("/", "Connection: keep-alive\r\n"), true},
        {Request("/a.mp4", "X-Connection: keep-alive\r\n"), false},
    };
    for (const auto& [request, kept] : cases) {
        const HttpReply r = HttpAsk(Port(), request);
        EXPECT_TRUE(r.closed) << "never closed: " << request;
        EXPECT_THAT(r.header, StartsWith("HTTP/1.1 200")) << request;
        // A kept connection lasts until the idle time runs out; one not
        // kept ends with its answer (the bound only separates the two).
        EXPECT_EQ(r.ms >= 350, kept) << r.ms << " ms: " << request;
    }
    // A connection that never sends a request is closed as idle too.
    RawClient silent(Port());
    EXPECT_TRUE(WaitClosed(silent.fd));
    EXPECT_TRUE(ConnectionsDownTo(*m_server));
}

// The Content-Length announced is what is sent: a file that grows is sent
// up to its size at the answer, one cut short ends the connection early.
TEST_F(HttpHardening, FileChangedWhileSentNeverGoesPastContentLengthAndATruncatedOneEndsTheConnection) {
    const size_t size = 64 << 20;  // more than the socket buffers hold
    const std::string path = m_tree.File("grow.mp4", "");
    fs::resize_file(path, size);
    for (bool truncate : {false, true}) {
        RawClient c(Port());
        ASSERT_TRUE(SendAll(c.fd, Request("/grow.mp4")));
        std::string data;
        ASSERT_TRUE(ReadInto(c.fd, data, 1 << 20));
        ASSERT_THAT(data, HasSubstr("Content-Length: " + std::to_string(size) + "\r\n"));
        const size_t bodyAt = data.find("\r\n\r\n") + 4;
        if (truncate)
            fs::resize_file(path, 2 << 20);
        else
            std::ofstream(path, std::ios::binary | std::ios::app) << std::string(1 << 20, 'G');
        ReadInto(c.fd, data, SIZE_MAX);  // until the server closes
        EXPECT_TRUE(WaitClosed(c.fd)) << "the connection did not end";
        EXPECT_EQ(data.find('G', bodyAt), std::string::npos) << "bytes appended after the answer were sent";
        const size_t body = data.size() - bodyAt;
        EXPECT_TRUE(truncate ? body < size : body == size) << body;
        fs::resize_file(path, size);
    }
}

// Dot names (".ssh/id_rsa" under a shared home folder) are not shared,
// whatever spelling reaches them.
TEST_F(HttpHardening, DotFilesAndFoldersAreNeitherListedNorServed) {
    for (const char* name : {".ssh/id_rsa.mp4", ".hidden.mp4", "sub/.cache/c.mp4", "sub/..x.mp4", "sub/seen.mp4"})
        m_tree.File(name, "SECRET");
    const HttpReply listing = HttpAsk(Port(), Request("/"));
    EXPECT_THAT(listing.body, HasSubstr("/sub/seen.mp4"));
    for (const char* hidden : {"id_rsa", "hidden", "cache", "..x"})
        EXPECT_THAT(listing.body, Not(HasSubstr(hidden)));
    for (const std::string& path : std::vector<std::string>{"/.ssh/id_rsa.mp4", "/.hidden.mp4", "/sub/.cache/c.mp4", "/sub/..x.mp4",
                                    "/%2Essh/id_rsa.mp4", "/sub/%2E%2E/.hidden.mp4", "/sub//.cache/c.mp4",
                                    "/" + m_tree.root + "/.hidden.mp4"}) {
        const HttpReply e = HttpAsk(Port(), Request(path));
        EXPECT_EQ(e.header + e.body, listing.header + listing.body) << path;
    }
}

// A name in the share swapped in a loop between a file inside, links out
// (absolute and relative) and a FIFO while clients download it: no byte
// from outside ever arrives, and every request is answered.
TEST_F(HttpHardening, LinkAndFifoSwappedInAndOutWhileDownloadingNeverYieldAnOutsideByte) {
    TempTree outside;
    const std::string secret = outside.File("secret.bin", std::string(4096, '\x01'));
    NameSwapper swapper(m_tree.root + "/swap.mp4", m_tree.File("inside.bin", std::string(4096, 'i')), secret);
    std::atomic<int> files{0}, outsideBytes{0}, unanswered{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                const HttpReply e = HttpAsk(Port(), Request("/swap.mp4"));
                if (!e.closed)
                    ++unanswered;
                else if (e.header.rfind("HTTP/1.1 200\r\n", 0) == 0)
                    ++files;
                outsideBytes += int(std::count(e.body.begin(), e.body.end(), '\x01'));
            }
        });
    for (std::thread& t : clients)
        t.join();
    EXPECT_EQ(outsideBytes, 0);
    EXPECT_EQ(unanswered, 0);
    EXPECT_GT(files, 0) << "the file itself was never served: the swap test saw nothing";
}
