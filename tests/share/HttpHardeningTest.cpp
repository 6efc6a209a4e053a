// The HTTP server against what a web page or a hostile LAN peer sends:
// rebinding Host values, connections left open, files that change or are
// swapped while they are sent, dot files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <filesystem>
#include <memory>
#include <thread>

#include "share/HttpText.h"
#include "ShareTestUtil.h"

using namespace ::testing;
namespace fs = std::filesystem;

namespace {

std::string Get(const std::string& path, const std::string& headers) {
    return "GET " + path + " HTTP/1.1\r\n" + headers + "\r\n";
}

std::string OwnName() {
    char buf[256] = {};
    gethostname(buf, sizeof buf - 1);
    return buf;
}

class HttpHardening : public ::testing::Test {
protected:
    void SetUp() override { m_tree.File("a.mp4", "AAAA"); }
    int Port() const { return m_server->GetPort(); }

    TempTree m_tree;
    std::unique_ptr<TcpServer> m_server = ServeHttp(m_tree.root);
};

constexpr char kForbidden[] = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nServer: lighttpd/1.5.0\r\n\r\n";

} // namespace

// A page on a name the attacker's DNS points here sends that name as Host:
// only addresses, localhost and this machine's own names are served.
TEST_F(HttpHardening, HostValuesThatCouldBeReboundGet403OthersAreServed) {
    const std::string own = OwnName();
    std::string upper = own;
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        std::string headers;
        bool served;
    };
    const Case cases[] = {
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
    };
    for (const Case& c : cases) {
        for (const char* path : {"/a.mp4", "/"}) {
            const HttpReply e = HttpAsk(Port(), Get(path, c.headers));
            if (c.served) {
                EXPECT_THAT(e.header, StartsWith("HTTP/1.1 200")) << path << " " << c.headers;
                EXPECT_FALSE(e.body.empty()) << path << " " << c.headers;
            } else {
                EXPECT_EQ(e.header + e.body, kForbidden) << path << " " << c.headers;
            }
            EXPECT_TRUE(e.closed) << path << " " << c.headers;
        }
    }
    // HEAD and a keep-alive request are refused alike, and the refusal ends
    // the connection.
    for (const std::string& request : {std::string("HEAD /a.mp4 HTTP/1.1\r\nHost: evil.example\r\n\r\n"),
                                       Get("/a.mp4", "Host: evil.example\r\nConnection: keep-alive\r\n")}) {
        const HttpReply e = HttpAsk(Port(), request);
        EXPECT_EQ(e.header + e.body, kForbidden) << request;
        EXPECT_TRUE(e.closed) << request;
    }
}

// An answer ends the connection unless the client asked to keep it; a kept
// connection that then stays idle is closed by the server.
TEST_F(HttpHardening, AnsweredConnectionsCloseUnlessKeptAndKeptOnesEndWhenIdle) {
    m_server->SetIdleTimeout(400);
    struct Case {
        std::string request;
        bool kept;
    };
    const Case cases[] = {
        {Get("/a.mp4", "Host: localhost\r\n"), false},
        {Get("/a.mp4", "Host: localhost\r\nConnection: close\r\n"), false},
        {Get("/", "Host: localhost\r\n"), false},
        {"GET /a.mp4 HTTP/1.0\r\n\r\n", false},
        {"HEAD /a.mp4 HTTP/1.1\r\nHost: localhost\r\n\r\n", false},
        {Get("/a.mp4", "Host: localhost\r\nConnection: keep-alive\r\n"), true},
        {Get("/a.mp4", "Host: localhost\r\nconnection: Upgrade, Keep-Alive\r\n"), true},
        {Get("/", "Host: localhost\r\nConnection: keep-alive\r\n"), true},
        {Get("/a.mp4", "Host: localhost\r\nX-Connection: keep-alive\r\n"), false},
    };
    for (const Case& c : cases) {
        const HttpReply r = HttpAsk(Port(), c.request);
        EXPECT_TRUE(r.closed) << "never closed: " << c.request;
        EXPECT_THAT(r.header, StartsWith("HTTP/1.1 200")) << c.request;
        // A kept connection lasts until the idle time runs out; one not
        // kept ends with its answer (the bound only separates the two).
        EXPECT_EQ(r.ms >= 350, c.kept) << r.ms << " ms: " << c.request;
    }
    // A connection that never sends a request is closed as idle too.
    RawClient silent(Port());
    EXPECT_TRUE(WaitClosed(silent.fd));
    EXPECT_TRUE(WaitFor([&] {
        m_server->ReleaseUnUse();
        return m_server->ConnectionCount() == 0;
    }));
}

// The Content-Length announced is what is sent: a file that grows is sent
// up to its size at the answer, one cut short ends the connection early.
TEST_F(HttpHardening, FileChangedWhileSentNeverGoesPastContentLengthAndATruncatedOneEndsTheConnection) {
    const size_t size = 64 << 20;  // more than the socket buffers hold
    const std::string path = m_tree.File("grow.mp4", "");
    fs::resize_file(path, size);
    for (bool truncate : {false, true}) {
        RawClient c(Port());
        ASSERT_TRUE(SendAll(c.fd, Get("/grow.mp4", "Host: localhost\r\n")));
        std::string data;
        ASSERT_TRUE(ReadInto(c.fd, data, 1 << 20));
        ASSERT_THAT(data, HasSubstr("Content-Length: " + std::to_string(size) + "\r\n"));
        const size_t bodyAt = data.find("\r\n\r\n") + 4;
        if (truncate)
            fs::resize_file(path, 2 << 20);
        else
            std::ofstream(path, std::ios::binary | std::ios::app) << std::string(1 << 20, 'G');
        char buf[65536];
        ssize_t n = 1;
        size_t body = data.size() - bodyAt;
        bool grown = false;
        while (n > 0 && Readable(c.fd)) {
            n = recv(c.fd, buf, sizeof buf, 0);
            for (ssize_t i = 0; i < n; ++i)
                grown = grown || buf[i] == 'G';
            body += size_t(std::max<ssize_t>(n, 0));
        }
        EXPECT_TRUE(n == 0 || n < 0) << "the connection did not end";
        EXPECT_FALSE(grown) << "bytes appended after the answer were sent";
        if (truncate) {
            EXPECT_LT(body, size);
        } else {
            EXPECT_EQ(body, size);
        }
        fs::resize_file(path, size);
    }
}

// Dot names (".ssh/id_rsa" under a shared home folder) are not shared,
// whatever spelling reaches them.
TEST_F(HttpHardening, DotFilesAndFoldersAreNeitherListedNorServed) {
    for (const char* name : {".ssh/id_rsa.mp4", ".hidden.mp4", "sub/.cache/c.mp4", "sub/..x.mp4", "sub/seen.mp4"})
        m_tree.File(name, "SECRET");
    const HttpReply listing = HttpAsk(Port(), Get("/", "Host: localhost\r\n"));
    EXPECT_THAT(listing.body, HasSubstr("/sub/seen.mp4"));
    for (const char* hidden : {"id_rsa", "hidden", "cache", "..x"})
        EXPECT_THAT(listing.body, Not(HasSubstr(hidden)));
    for (const std::string& path : std::vector<std::string>{"/.ssh/id_rsa.mp4", "/.hidden.mp4", "/sub/.cache/c.mp4", "/sub/..x.mp4",
                                    "/%2Essh/id_rsa.mp4", "/sub/%2E%2E/.hidden.mp4", "/sub//.cache/c.mp4",
                                    "/" + m_tree.root + "/.hidden.mp4"}) {
        const HttpReply e = HttpAsk(Port(), Get(path, "Host: localhost\r\n"));
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
                const HttpReply e = HttpAsk(Port(), Get("/swap.mp4", "Host: localhost\r\n"));
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
