#pragma once
// A real two-host LAN for end-to-end tests: two network namespaces, each
// held open by a sleeping process, joined by a veth pair made here and moved
// into them (nothing stays in the test's own namespace). Tests are skipped
// where namespaces or veth pairs cannot be made.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/ChildProcess.h"
#include "common/TestMedia.h"
#include "output/OutputTestUtil.h"

namespace twohost {

inline constexpr char kNearAddress[] = "10.213.14.1";
inline constexpr char kFarAddress[] = "10.213.14.2";

struct Outcome {
    int status = -1;
    std::string out, err;
    double ms = 0;
};

// Runs a shell command line, its output captured.
inline Outcome Shell(const std::string& command) {
    TempDir dir;
    const auto start = std::chrono::steady_clock::now();
    const int raw = std::system((command + " >'" + dir.path + "/out' 2>'" + dir.path + "/err'").c_str());
    Outcome r;
    r.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadWholeFile(dir.path + "/out");
    r.err = ReadWholeFile(dir.path + "/err");
    return r;
}

inline std::string Quoted(const std::string& s) { return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'"; }

class TwoHostLan : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        const std::string id = std::to_string(getpid());
        for (auto* host : {&m_near, &m_far})
            *host = std::make_unique<ChildProcess>(std::vector<std::string>{"unshare", "-n", "sleep", "600"});
        const std::string own = fs::read_symlink("/proc/self/ns/net");
        const auto inOwnNamespace = [&](ChildProcess& host, const std::string& pid) {
            std::error_code ec;
            return host.Running() && fs::read_symlink("/proc/" + pid + "/ns/net", ec) != own && !ec;
        };
        m_nearPid = std::to_string(m_near->Pid());
        m_farPid = std::to_string(m_far->Pid());
        if (!nettest::WaitFor([&] { return inOwnNamespace(*m_near, m_nearPid) && inOwnNamespace(*m_far, m_farPid); },
                              5000))
            GTEST_SKIP() << "network namespaces cannot be created here (unshare -n failed)";
        m_nearDev = "sivoa" + id;
        m_farDev = "sivob" + id;
        const Outcome link = Shell("ip link add " + m_nearDev + " type veth peer name " + m_farDev + " && ip link set " +
                                   m_nearDev + " netns " + m_nearPid + " && ip link set " + m_farDev + " netns " + m_farPid);
        if (link.status != 0) {
            Shell("ip link del " + m_nearDev);
            GTEST_SKIP() << "a veth pair cannot be made here: " << link.err;
        }
        for (auto [pid, dev, address] : {std::tuple{m_nearPid, m_nearDev, kNearAddress}, {m_farPid, m_farDev, kFarAddress}}) {
            const Outcome up = Shell(In(pid) + "sh -c 'ip link set lo up && ip addr add " + std::string(address) +
                                     "/24 brd + dev " + dev + " && ip link set " + dev + " up'");
            ASSERT_EQ(up.status, 0) << up.err;
        }
    }
    void TearDown() override {
        m_servers.clear();
        m_near.reset();
        m_far.reset();
    }

    static std::string In(const std::string& pid) { return "nsenter -t " + pid + " -n "; }
    Outcome SivoPlay(const std::string& args) const {
        return Shell("cd /tmp && SDL_AUDIODRIVER=dummy timeout 120 " + In(m_nearPid) +
                     Quoted(TestBinary("sivo-play")) + " " + args);
    }
    // A sivo-server in the namespace of `pid`, with more arguments after the
    // share root; its standard error goes to `log` when one is named.
    ChildProcess& Serve(const std::string& pid, const std::string& root, const std::vector<std::string>& more = {},
                        const std::string& log = "") {
        std::vector<std::string> argv = {"nsenter", "-t", pid, "-n", TestBinary("sivo-server"), "--share-root", root};
        argv.insert(argv.end(), more.begin(), more.end());
        if (!log.empty()) {
            std::vector<std::string> sh = {"sh", "-c", "exec \"$0\" \"$@\" 2>>" + Quoted(log)};
            argv.insert(argv.begin(), sh.begin(), sh.end());
        }
        m_servers.push_back(std::make_unique<ChildProcess>(argv));
        return *m_servers.back();
    }
    // A socket of `type` made in the namespace of `pid` (by a thread that
    // enters it), bound to `address` and `port` unless the address is empty.
    static int SocketIn(const std::string& pid, int type, const std::string& address = "", int port = 0) {
        int fd = -1;
        std::thread([&] {
            const int ns = open(("/proc/" + pid + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
                if (ns >= 0)
                    close(ns);
                return;
            }
            close(ns);
            fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
            const sockaddr_in a = nettest::At(address, port);
            int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            if (!address.empty() && bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
                close(fd);
                fd = -1;
            }
        }).join();
        return fd;
    }

    std::unique_ptr<ChildProcess> m_near, m_far;
    std::string m_nearPid, m_farPid, m_nearDev, m_farDev;
    std::vector<std::unique_ptr<ChildProcess>> m_servers;
};

} // namespace twohost
