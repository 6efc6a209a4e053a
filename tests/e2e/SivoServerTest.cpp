// sivo-server as a service sees it: what it serves and logs to standard
// error over its life, how it refuses a share root it cannot serve, what it
// says when a port is taken or descriptors or threads run out, and that it
// serves on after. It takes the fixed ports.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/SivoPlayRun.h"
#include "engine/control/NetEntry.h"
#include "output/OutputTestUtil.h"
#include "share/UdpSocket.h"
#include "stream/StreamTestUtil.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitWaitMs = 15000;  // SIGTERM to exit on a loaded machine
constexpr int kReplyWaitMs = 1000;  // catalogue replies to one request
constexpr int kPromptMs = 5000;     // far beyond a prompt refusal; only a hang reaches it

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
        return WaitFor([&] { return Err().find(text) != std::string::npos; });
    }
    // Exit status once it ended by itself; -1 when it runs on or was killed.
    int Exit() {
        int raw = m_child->WaitExit(kExitWaitMs);
        return raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    bool Running() { return m_child->Running(); }
    // Exit status after SIGTERM.
    int Stop() {
        m_child->Signal(SIGTERM);
        return Exit();
    }

private:
    TempDir m_log;
    std::unique_ptr<ChildProcess> m_child;
};

// The names the control socket lists for one catalogue request, sorted
// (a reply of another kind as it came).
std::vector<std::string> Catalogue() {
    UdpPeer client;
    client.SendTo(UDP_CONTROL_PORT, "getsharefiles: sivo-test");
    std::vector<std::string> names;
    for (const std::string& reply : client.Drain(kReplyWaitMs))
        names.push_back(reply.rfind("result:getsharefiles ", 0) == 0 ? CUdpSocket::GetValue(reply, "filename") : reply);
    std::sort(names.begin(), names.end());
    return names;
}

// Both TCP ports answer: HTTP with its status line, the stream port with the end package.
bool BothPortsAnswer() {
    return HttpAsk(kHttpPort, "GET / HTTP/1.0\r\n\r\n").header.rfind("HTTP/1.1 200", 0) == 0 &&
           StreamServed(RawClient(kStreamPort).fd);
}

}  // namespace

// A share root it cannot serve, or an allow list it cannot read (which must
// not leave it open to everyone), ends it at start with status 2 and a line
// naming the cause.
TEST(SivoServerLog, ShareRootItCannotServeOrAMalformedAllowListEndsItWithStatusTwoAndOneLine) {
    TempDir dir;
    std::ofstream(dir.path + "/clip.mp4") << "a file, not a directory";
    fs::create_directory(dir.path + "/locked");
    fs::permissions(dir.path + "/locked", fs::perms::none);
    // root reads every directory; without its file-access capabilities it
    // meets the permissions like any user.
    const std::string asUser = geteuid() == 0 ? "setpriv --bounding-set=-dac_override,-dac_read_search" : "";
    const auto shareRoot = [&](const std::string& name) { return "--share-root '" + dir.path + name + "'"; };
    const std::string root = shareRoot(""), usage = ": not an address range (ADDRESS or ADDRESS/BITS)\n";
    const auto allowing = [](const char* list) { return "env SIVO_ALLOW='" + std::string(list) + "'"; };
    const struct { std::string args, prefix, err; } cases[] = {
        {shareRoot("/missing"), "", "--share-root " + dir.path + "/missing does not exist\n"},
        {shareRoot("/clip.mp4"), "", "--share-root " + dir.path + "/clip.mp4 is not a directory\n"},
        {shareRoot("/locked"), asUser, "--share-root " + dir.path + "/locked cannot be read: Permission denied\n"},
        {root + " --allow 10.0.0.0/33", "", "--allow 10.0.0.0/33" + usage},
        {root + " --allow 10.0.0.0/8 --allow lan", "", "--allow lan" + usage},
        {root + " --allow", "", "--allow needs a range" + usage},
        {root, allowing("192.168.1.0/24, 10.0.0.7 10.1.0.0/16x"), "SIVO_ALLOW, entry 3: 10.1.0.0/16x" + usage},
        {root + " --allow 10.0.0.0/8", allowing("*"), "SIVO_ALLOW, entry 1: *" + usage},
    };
    for (const auto& c : cases) {
        Server server(c.args, c.prefix);
        EXPECT_EQ(server.Exit(), 2) << c.prefix << " " << c.args;
        EXPECT_EQ(server.Err(), "sivo-server: " + c.err) << c.prefix << " " << c.args;
    }
}

// One life of the server: before it nothing answers; it lists the share
// (neither what lies outside nor what is no medium), serves sivo-play
// --remote (also with standard input closed, which gives the connection
// descriptor 0) with the audio stream the medium marks as default, but no
// name cut past 254 bytes nor one outside the root, outlives its share root
// going away, and logs each step.
TEST(SivoServerLog, ServesCatalogueAndRemotePlayOutlivesAVanishingShareRootAndLogsItsLife) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SivoPlay("--remote 127.0.0.1 x.mp4").status, 1);  // nothing listens yet
    EXPECT_LT(MsSince(start), kPromptMs);
    TempDir dir;
    const std::string root = dir.path + "/Videos";
    fs::create_directories(root + "/sub");
    for (const std::string& path : {root + "/clip.mp4", root + "/sub/song.mp3", root + "/notes.txt"})
        std::ofstream(path) << "not really media";
    fs::copy_file(TestClipAv10s(), root + "/av.mp4");
    fs::copy_file(TwoTrackClip(), root + "/sub/tracks.mkv");
    fs::create_symlink(TestClipAv10s(), root + "/out.mp4");  // leads outside
    const std::vector<std::string> shared = {root + "/av.mp4", root + "/clip.mp4", root + "/sub/song.mp3",
                                             root + "/sub/tracks.mkv"};
    Server server("--share-root '" + root + "'");
    ASSERT_TRUE(server.WaitLog("listening on UDP port 2000")) << server.Err();
    EXPECT_EQ(Catalogue(), shared);

    const std::string remote = "--remote 127.0.0.1 '" + root;
    const PlayRun r = SivoPlay(remote + "/av.mp4'"), noStdin = SivoPlay("--seconds 2 " + remote + "/av.mp4' <&-");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Field(r.out, "duration_s"), 10);
    EXPECT_GE(Field(r.out, "position_s"), 8);
    EXPECT_GE(Field(r.out, "frames_shown"), 100);
    EXPECT_GT(r.pcm.size(), 1500000u) << "of 1764000 bytes";
    EXPECT_EQ(noStdin.status, 0) << noStdin.err;
    EXPECT_GT(Field(noStdin.out, "frames_shown"), 0);
    const PlayRun tracks = SivoPlay(remote + "/sub/tracks.mkv'");
    ASSERT_EQ(tracks.status, 0) << tracks.err;
    EXPECT_NEAR(RisingPerSecond(tracks.pcm, 22050), 1000, 10);
    for (const std::string& name : {"/av.mp4" + std::string(300, 'x'), std::string("/out.mp4")})
        EXPECT_EQ(SivoPlay(remote + name + "'").status, 1) << name;

    // Gone: the catalogue is empty, the server keeps serving.
    fs::rename(root, root + ".away");
    ASSERT_TRUE(server.WaitLog(" does not exist")) << server.Err();
    EXPECT_EQ(Catalogue(), std::vector<std::string>{});
    EXPECT_TRUE(BothPortsAnswer());
    fs::rename(root + ".away", root);
    ASSERT_TRUE(server.WaitLog(" is readable again")) << server.Err();
    EXPECT_EQ(Catalogue(), shared);

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
    // more clients, holds on, and once the crowd is gone both ports answer
    // again. The task limit holds only for a user without privileges.
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
        for (int i = 0; i < 128 && server.Err().find(refusal) == std::string::npos; ++i) {
            // One at a time, each with a time limit: a connect waits for minutes
            // once nothing takes connections off the backlog any more.
            const sockaddr_in to = nettest::Loopback(i % 2 ? kStreamPort : kHttpPort);
            clients.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            connect(clients.back(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
            pollfd p{clients.back(), POLLOUT, 0};
            poll(&p, 1, kReplyWaitMs);
        }
        EXPECT_TRUE(server.WaitLog(refusal)) << limit << ": " << server.Err();
        EXPECT_TRUE(server.Running()) << limit;
        for (int fd : clients)
            close(fd);
        EXPECT_TRUE(WaitFor(BothPortsAnswer)) << limit;
        EXPECT_EQ(server.Stop(), 0) << limit;
        const std::string err = server.Err();
        const size_t at = err.find(refusal);
        ASSERT_NE(at, std::string::npos) << err;
        EXPECT_NE(err.substr(at, err.find('\n', at + 1) - at).find(cause), std::string::npos) << err;
    }
}
