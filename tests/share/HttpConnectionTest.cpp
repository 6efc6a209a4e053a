#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "ShareTestUtil.h"
#include "share/HttpConnection.h"
#include "share/HttpText.h"
#include "stream/TcpServer.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

// Generous: the CI machine is loaded.
constexpr int IO_TIMEOUT_MS = 10000;

int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A raw HTTP client on one connection.
class Client {
public:
    explicit Client(int port) : m_fd(ConnectLoopback(port)) {}
    ~Client() {
        if (m_fd >= 0)
            close(m_fd);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return m_fd >= 0; }
    void Write(const std::string& bytes) const {
        ASSERT_EQ(send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `want` bytes are held, the peer closes, or the time-out.
    // Returns false on the time-out.
    bool ReadUntil(size_t want) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(IO_TIMEOUT_MS);
        while (m_data.size() < want) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0)
                return false;
            pollfd p {m_fd, POLLIN, 0};
            if (poll(&p, 1, left) <= 0)
                continue;
            char buf[65536];
            ssize_t n = recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0) {
                m_closed = true;
                return true;
            }
            m_data.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    // Reads a whole response: the header block, then Content-Length bytes.
    // Returns the header block; the body is in Body().
    std::string ReadResponse() {
        while (m_data.find("\r\n\r\n") == std::string::npos && !m_closed)
            if (!ReadUntil(m_data.size() + 1))
                return {};
        auto split = m_data.find("\r\n\r\n");
        if (split == std::string::npos)
            return {};
        std::string header = m_data.substr(0, split + 4);
        size_t length = std::stoull(GetHeaderValue(header, "Content-Length:"));
        ReadUntil(split + 4 + length);
        m_body = m_data.substr(split + 4);
        return header;
    }
    const std::string& Body() const { return m_body; }
    // True when the peer closes the connection within the time-out.
    bool WaitClosed() {
        while (!m_closed)
            if (!ReadUntil(m_data.size() + 1))
                return false;
        return true;
    }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    std::string m_data;
    std::string m_body;
    bool m_closed = false;
};

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return s;
}

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto* prototype = new HttpConnection();
        ASSERT_EQ(prototype->SetRoot(m_tree.Root().c_str()), 0);
        m_server = std::make_unique<TcpServer>(0, prototype);
        ASSERT_EQ(m_server->Listen(), 0);
        m_data = Pattern(1000);
        m_tree.File("a.mp4", m_data);
    }
    void TearDown() override { m_server.reset(); }

    std::string Get(const std::string& path, const std::string& extra = "") {
        return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n";
    }

    TempTree m_tree;
    std::unique_ptr<TcpServer> m_server;
    std::string m_data;
};

}  // namespace

TEST_F(HttpServerTest, WholeFileWithoutRange) {
    for (const std::string extra : {"", "Range: bytes=0-\r\n", "Range: bytes=-500\r\n"}) {
        Client c(m_server->GetPort());
        ASSERT_TRUE(c.Connected());
        c.Write(Get("/a.mp4", extra));
        std::string header = c.ReadResponse();
        EXPECT_EQ(header, BuildFileHeader(0, 1000)) << extra;
        EXPECT_EQ(c.Body(), m_data) << extra;
    }
}

TEST_F(HttpServerTest, RangeStartGivesPartialContent) {
    for (const std::string range : {"bytes=100-", "bytes=100-199", "BYTES=100-"}) {
        Client c(m_server->GetPort());
        c.Write(Get("/a.mp4", "RANGE: " + range + "\r\n"));
        std::string header = c.ReadResponse();
        EXPECT_THAT(header, StartsWith("HTTP/1.1 206 Partial Content\r\n")) << range;
        EXPECT_THAT(header, HasSubstr("Content-Range: bytes 100-999/1000\r\n")) << range;
        EXPECT_THAT(header, HasSubstr("Content-Length: 900\r\n")) << range;
        EXPECT_EQ(c.Body(), m_data.substr(100)) << range;
    }
}

TEST_F(HttpServerTest, RangeAtAndPastTheEnd) {
    Client atEnd(m_server->GetPort());
    atEnd.Write(Get("/a.mp4", "Range: bytes=1000-\r\n"));
    std::string header = atEnd.ReadResponse();
    EXPECT_THAT(header, HasSubstr("Content-Range: bytes 1000-999/1000\r\nContent-Length: 0\r\n"));
    EXPECT_EQ(atEnd.Body(), "");

    Client past(m_server->GetPort());
    past.Write(Get("/a.mp4", "Range: bytes=1001-\r\n"));
    EXPECT_THAT(past.ReadResponse(), StartsWith("HTTP/1.1 200 \r\nContent-Type: text/html\r\n"));
    EXPECT_THAT(past.Body(), HasSubstr("<a href=\"/a.mp4\">"));
    EXPECT_THAT(past.Body(), ::testing::EndsWith("</body></html>\r\n\r\n"));
}

TEST_F(HttpServerTest, RootGetsTheListing) {
    m_tree.File("sub/b.mkv", "b");
    Client c(m_server->GetPort());
    c.Write(Get("/"));
    std::string header = c.ReadResponse();
    EXPECT_EQ(header + c.Body(), BuildListingResponse(m_tree.Root()));
    EXPECT_THAT(c.Body(), HasSubstr("<a href=\"/sub/b.mkv\"><b>http:///sub/b.mkv</b></a>"));
}

TEST_F(HttpServerTest, CatalogueEntryPathGetsTheFile) {
    // A root whose name holds ":", as the catalogue entries of the product do;
    // the entry behind a "/" names the same file.
    const std::string root = m_tree.Root() + "/D:";
    const std::string entry = m_tree.File("D:/c.mp4", "catalogued");
    auto* prototype = new HttpConnection();
    prototype->SetRoot(root.c_str());
    TcpServer server(0, prototype);
    ASSERT_EQ(server.Listen(), 0);
    Client c(server.GetPort());
    c.Write(Get("/" + entry));
    EXPECT_THAT(c.ReadResponse(), StartsWith("HTTP/1.1 200\r\n"));
    EXPECT_EQ(c.Body(), "catalogued");
}

TEST_F(HttpServerTest, PathsOutsideTheRootGetTheListing) {
    m_tree.File("../outside-" + std::to_string(getpid()) + ".mp4", "secret");
    std::filesystem::create_symlink("/etc/hostname", m_tree.Root() + "/link.mp4");
    m_tree.Dir("dir.mp4");
    const std::string outside = "outside-" + std::to_string(getpid()) + ".mp4";
    for (const std::string& path : std::vector<std::string>{"/../" + outside, "/sub/../../" + outside, "/C:/etc/hostname",
                                   "//etc/hostname:", "/link.mp4", "/dir.mp4", "/a%2Emp4"}) {
        Client c(m_server->GetPort());
        c.Write(Get(path));
        EXPECT_THAT(c.ReadResponse(), StartsWith("HTTP/1.1 200 \r\n")) << path;
        EXPECT_THAT(c.Body(), Not(HasSubstr("secret"))) << path;
    }
    std::filesystem::remove(std::filesystem::path(m_tree.Root()).parent_path() / outside);
}

TEST_F(HttpServerTest, SplitRequestAnsweredOnceComplete) {
    Client c(m_server->GetPort());
    const std::string request = Get("/a.mp4");
    for (char ch : request) {
        c.Write(std::string(1, ch));
        if (ch == '\n')
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(c.ReadResponse(), BuildFileHeader(0, 1000));
    EXPECT_EQ(c.Body(), m_data);
}

TEST_F(HttpServerTest, SecondRequestClosesTheConnection) {
    Client c(m_server->GetPort());
    c.Write(Get("/a.mp4"));
    c.ReadResponse();
    c.Write(Get("/a.mp4"));
    EXPECT_TRUE(c.WaitClosed());
}

TEST_F(HttpServerTest, EndlessHeaderBlockClosesTheConnection) {
    Client c(m_server->GetPort());
    std::string line = "X-Filler: " + std::string(1000, 'f') + "\r\n";
    c.Write("GET /a.mp4 HTTP/1.1\r\n");
    for (size_t sent = 0; sent <= HTTP_MAX_HEADER_BYTES; sent += line.size())
        if (send(c.Fd(), line.data(), line.size(), MSG_NOSIGNAL) <= 0)
            break;
    EXPECT_TRUE(c.WaitClosed());
}

TEST_F(HttpServerTest, GarbageNeverCrashes) {
    for (std::string junk : {std::string("\0\0\0\r\n\r\n", 7), std::string("\r\n\r\n"),
                             std::string("GET\r\n\r\n"), std::string("\xff\xfe GET \xc3(\r\n\r\n")}) {
        Client c(m_server->GetPort());
        c.Write(junk);
        EXPECT_THAT(c.ReadResponse(), StartsWith("HTTP/1.1 200 \r\n"));
    }
}

TEST(HttpConnectionPump, LargeFileSurvivesAStalledReader) {
    const std::string content = Pattern(8 * 1024 * 1024);
    TempTree tree;
    tree.File("big.mp4", content);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);

    Client c(ntohs(addr.sin_port));
    int accepted = accept(listener, nullptr, nullptr);
    close(listener);
    ASSERT_GT(accepted, 0);

    // Attached directly, without a server, so the test can watch the queue.
    HttpConnection conn;
    conn.SetRoot(tree.Root().c_str());
    conn.Attach(accepted);
    c.Write("GET /big.mp4 HTTP/1.1\r\n\r\n");
    // The reader stalls until the socket buffers are full; the pump then
    // waits on the socket with only a few reads queued.
    int lastQueued = -1;
    for (int i = 0; i < 100; ++i) {
        lastQueued = conn.QueuedCount();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_LE(lastQueued, HTTP_READ_AHEAD_MESSAGES);
    EXPECT_THAT(c.ReadResponse(), StartsWith("HTTP/1.1 200\r\n"));
    ASSERT_EQ(c.Body().size(), content.size());
    EXPECT_TRUE(c.Body() == content) << "bytes lost or reordered";
}
