// sivo-server as a service sees it: what it logs to standard error over its
// life, how it refuses a share root it cannot serve, and what it says when a
// port is taken or descriptors run out. It takes the fixed ports.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/NetTestUtil.h"
#include "common/TestMedia.h"
#include "engine/control/NetEntry.h"
#include "output/OutputTestUtil.h"
#include "share/UdpSocket.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitWaitMs = 15000;  // SIGTERM to exit on a loaded machine
constexpr int kReplyWaitMs = 1000;  // catalogue replies to one request

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// sivo-server with its standard error in a file of its own.
class Server {
public:
    // `prefix` runs it under another command (prlimit, setpriv); `journal`
    // tells it, as systemd does, that its standard error is the journal.
    Server(const std::string& args, const std::string& prefix = "", bool journal = false) {
        std::ofstream(m_log.path + "/err").flush();
        std::vector<std::string> env;
        struct stat st {};
        if (journal && stat((m_log.path + "/err").c_str(), &st) == 0)
            env.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
        m_child = std::make_unique<ChildProcess>(
            std::vector<std::string>{"sh", "-c",
                                     "exec " + prefix + " '" + TestBinary("sivo-server") + "' " + args + " 2>>err"},
            env, m_log.path);
    }
    std::string Err() const { return ReadWholeFile(m_log.path + "/err"); }
    bool WaitLog(const std::string& text) {
        return nettest::WaitFor([&] { return Err().find(text) != std::string::npos; });
    }
    // Exit status once it ended by itself; -1 when it runs on or was killed.
    int Exit() {
        int raw = m_child->WaitExit(kExitWaitMs);
        return raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    // Exit status after SIGTERM.
    int Stop() {
        m_child->Signal(SIGTERM);
        return Exit();
    }

private:
    TempDir m_log;
    std::unique_ptr<ChildProcess> m_child;
};

// The names the control socket lists for one catalogue request.
std::vector<std::string> Catalogue() {
    int client = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = nettest::Loopback(UDP_CONTROL_PORT);
    const std::string request = "getsharefiles: sivo-test";
    sendto(client, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    std::vector<std::string> names;
    char buf[UDP_RECV_BUFFER_SIZE];
    ssize_t n;
    while (nettest::Readable(client, kReplyWaitMs) && (n = recv(client, buf, sizeof buf, 0)) > 0)
        names.push_back(CUdpSocket::GetValue(std::string(buf, size_t(n)), "filename"));
    close(client);
    return names;
}

std::string HttpStatusLine() {
    int fd = nettest::RawConnect(kHttpPort);
    const std::string request = "GET / HTTP/1.0\r\n\r\n";
    std::string reply;
    if (fd >= 0 && send(fd, request.data(), request.size(), 0) == ssize_t(request.size()))
        nettest::ReadInto(fd, reply, 12);
    if (fd >= 0)
        close(fd);
    return reply.substr(0, reply.find('\r'));
}

}  // namespace

TEST(SivoServerLog, ShareRootItCannotServeEndsItWithStatusTwoAndOneLine) {
    TempDir dir;
    std::ofstream(dir.path + "/clip.mp4") << "a file, not a directory";
    fs::create_directory(dir.path + "/locked");
    fs::permissions(dir.path + "/locked", fs::perms::none);
    struct Case {
        std::string root, reason, prefix;
    };
    // root reads every directory; without its file-access capabilities it
    // meets the permissions like any user.
    const std::string asUser = geteuid() == 0 ? "setpriv --bounding-set=-dac_override,-dac_read_search" : "";
    for (const Case& c : {Case{dir.path + "/missing", "does not exist", ""},
                          Case{dir.path + "/clip.mp4", "is not a directory", ""},
                          Case{dir.path + "/locked", "cannot be read: Permission denied", asUser}}) {
        Server server("--share-root '" + c.root + "'", c.prefix);
        EXPECT_EQ(server.Exit(), 2) << c.root;
        EXPECT_EQ(server.Err(), "sivo-server: --share-root " + c.root + " " + c.reason + "\n");
    }
}

// An allow list that cannot be read must not leave the server open to
// everyone: it ends at start with status 2 and a line naming the entry.
TEST(SivoServerLog, MalformedAllowListEndsItWithStatusTwoAndNamesTheEntry) {
    TempDir root;
    const std::string share = "--share-root '" + root.path + "' ";
    const std::string usage = ": not an address range (ADDRESS or ADDRESS/BITS)\n";
    struct Case {
        std::string allowVariable, args, err;
    };
    const Case cases[] = {
        {"", "--allow 10.0.0.0/33", "sivo-server: --allow 10.0.0.0/33" + usage},
        {"", "--allow 10.0.0.0/8 --allow lan", "sivo-server: --allow lan" + usage},
        {"", "--allow", "sivo-server: --allow needs a range" + usage},
        {"192.168.1.0/24, 10.0.0.7 10.1.0.0/16x", "", "sivo-server: SIVO_ALLOW, entry 3: 10.1.0.0/16x" + usage},
        {"*", "--allow 10.0.0.0/8", "sivo-server: SIVO_ALLOW, entry 1: *" + usage},
    };
    for (const Case& c : cases) {
        Server server(share + c.args, c.allowVariable.empty() ? "" : "env SIVO_ALLOW='" + c.allowVariable + "'");
        EXPECT_EQ(server.Exit(), 2) << c.allowVariable << " " << c.args;
        EXPECT_EQ(server.Err(), c.err) << c.allowVariable << " " << c.args;
    }
}

TEST(SivoServerLog, LogsStartPortsAVanishingShareRootAndStopAndServesOn) {
    TempDir dir;
    const std::string root = dir.path + "/Videos";
    fs::create_directory(root);
    std::ofstream(root + "/clip.mp4") << "not really media";
    Server server("--share-root '" + root + "'");
    ASSERT_TRUE(server.WaitLog("listening on UDP port 2000")) << server.Err();
    EXPECT_EQ(Catalogue(), std::vector<std::string>{root + "/clip.mp4"});

    // Gone: the catalogue is empty, the server keeps serving.
    fs::rename(root, root + ".away");
    ASSERT_TRUE(server.WaitLog(" does not exist")) << server.Err();
    EXPECT_EQ(Catalogue(), std::vector<std::string>{});
    EXPECT_EQ(HttpStatusLine().rfind("HTTP/1.", 0), 0u);
    fs::rename(root + ".away", root);
    ASSERT_TRUE(server.WaitLog(" is readable again")) << server.Err();
    EXPECT_EQ(Catalogue(), std::vector<std::string>{root + "/clip.mp4"});

    EXPECT_EQ(server.Stop(), 0);
    std::vector<std::string> lines = Lines(server.Err());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("sivo-server: starting version ", 0), 0u) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(", share root " + root)) << lines[0];
    lines.erase(lines.begin());
    const std::vector<std::string> expected = {
        "sivo-server: listening on TCP port 8888 (stream)",
        "sivo-server: listening on TCP port 2888 (HTTP)",
        "sivo-server: listening on UDP port 2000 (control)",
        "sivo-server: share root " + root + " does not exist: the catalogue is empty until it is back",
        "sivo-server: share root " + root + " is readable again",
        "sivo-server: stopping on SIGTERM"};
    EXPECT_EQ(lines, expected);
}

TEST(SivoServerLog, TakenPortAndExhaustedDescriptorsOrThreadsAreLoggedWithTheirCause) {
    TempDir root;
    {
        // Another program holds the HTTP port. Under the journal each line
        // carries its priority instead of the program name.
        int holder = socket(AF_INET, SOCK_STREAM, 0), on = 1;
        // Connections an earlier test left in TIME_WAIT must not keep it off the port.
        setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in any = nettest::Loopback(kHttpPort);
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
        listen(holder, 1);
        Server server("--share-root '" + root.path + "'", "", true);
        EXPECT_EQ(server.Exit(), 2);
        std::vector<std::string> lines = Lines(server.Err());
        ASSERT_EQ(lines.size(), 2u) << server.Err();
        EXPECT_EQ(lines[0].rfind("<6>starting version ", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1], "<4>TCP port 2888: cannot bind: Address already in use");
        close(holder);
    }

    // Out of descriptors or of threads, the listener says why it takes no
    // more clients. The task limit holds only for a user without privileges.
    fs::permissions(root.path, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    for (const auto& [limit, cause] :
         {std::pair<std::string, std::string>{"prlimit --nofile=32", "Too many open files"},
          {"prlimit --nproc=24 setpriv --reuid=65534 --regid=65534 --clear-groups", "no thread for a connection"}}) {
#if defined(__SANITIZE_ADDRESS__)
        // UBSan probes memory through a pipe to check a vtable pointer; with
        // no descriptor left it reports valid objects as broken.
        if (limit.find("nofile") != std::string::npos)
            continue;
#endif
        Server server("--share-root '" + root.path + "'", limit);
        ASSERT_TRUE(server.WaitLog("listening on UDP port 2000 (control)\n")) << limit << ": " << server.Err();
        const std::string refusal = "\nsivo-server: TCP port 2888: ";
        std::vector<int> clients;
        const sockaddr_in http = nettest::Loopback(kHttpPort);
        for (int i = 0; i < 64 && server.Err().find(refusal) == std::string::npos; ++i) {
            // One at a time, each with a time limit: a connect waits for minutes
            // once nothing takes connections off the backlog any more.
            clients.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            connect(clients.back(), reinterpret_cast<const sockaddr*>(&http), sizeof http);
            pollfd p{clients.back(), POLLOUT, 0};
            poll(&p, 1, kReplyWaitMs);
        }
        EXPECT_TRUE(server.WaitLog(refusal)) << limit << ": " << server.Err();
        for (int fd : clients)
            close(fd);
        EXPECT_EQ(server.Stop(), 0) << limit;
        const std::string err = server.Err();
        const size_t at = err.find(refusal);
        ASSERT_NE(at, std::string::npos) << err;
        EXPECT_NE(err.substr(at, err.find('\n', at + 1) - at).find(cause), std::string::npos) << err;
    }
}
