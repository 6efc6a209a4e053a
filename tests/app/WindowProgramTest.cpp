#include "WindowTestUtil.h"

#include "common/TestMedia.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <future>

namespace {

struct Outcome {
    int status = -1;
    std::string output;
};

// Runs the sivo program with `args` (stderr folded into the output) and the
// runtime directory `runtimeDir`, waiting for it on another thread so the
// caller's event loop can keep serving the window.
std::future<Outcome> RunSivo(const std::string& runtimeDir, const std::string& args) {
    const std::string command = "XDG_RUNTIME_DIR='" + runtimeDir + "' '" + TestBinary("sivo") + "' " + args + " 2>&1";
    return std::async(std::launch::async, [command] {
        Outcome outcome;
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            return outcome;
        char buffer[256];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            outcome.output.append(buffer, got);
        const int raw = pclose(pipe);
        outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return outcome;
    });
}

Outcome Finish(std::future<Outcome>& running) {
    EXPECT_TRUE(PumpUntil([&] { return running.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    return running.get();
}

} // namespace

TEST_F(WindowFixture, ProgramAnswersHelpVersionAndUsageErrors) {
    auto version = RunSivo(m_dir, "--version");
    const Outcome v = Finish(version);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.output, "sivo 1.0\n");

    auto help = RunSivo(m_dir, "--help");
    const Outcome h = Finish(help);
    EXPECT_EQ(h.status, 0);
    EXPECT_NE(h.output.find("--remote-play ADDR NAME"), std::string::npos);

    for (const char* bad : {"--bogus", "--remote-play 1.2.3.4", "a.mp4 b.mp4"}) {
        auto run = RunSivo(m_dir, bad);
        const Outcome o = Finish(run);
        EXPECT_EQ(o.status, 2) << bad;
        EXPECT_EQ(std::count(o.output.begin(), o.output.end(), '\n'), 1) << o.output;
    }
}

TEST_F(WindowFixture, RemotePlayOptionReachesTheRunningWindowOrSaysNoneRuns) {
    auto alone = RunSivo(m_dir, "--remote-play 10.1.2.3 clip.mp4");
    const Outcome a = Finish(alone);
    EXPECT_EQ(a.status, 1);
    EXPECT_NE(a.output.find("no sivo window is running"), std::string::npos) << a.output;

    // The program names its channel from the runtime directory; put the window there.
    m_dlg = std::make_unique<CSivoDlg>(m_dir);
    auto entries = std::make_unique<RecordingEntries>();
    m_entries = entries.get();
    m_dlg->SetEntries(std::move(entries));
    const std::string saved = getenv("XDG_RUNTIME_DIR") ? getenv("XDG_RUNTIME_DIR") : "";
    setenv("XDG_RUNTIME_DIR", m_dir.c_str(), 1);
    m_dlg->SetEndpoints(0, CopyDataPath());
    if (saved.empty())
        unsetenv("XDG_RUNTIME_DIR");
    else
        setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    ASSERT_TRUE(m_dlg->InitDialog());
    ASSERT_TRUE(m_dlg->CopyDataReady());

    auto sent = RunSivo(m_dir, "--remote-play 10.1.2.3 'my clip.mp4'");
    const Outcome s = Finish(sent);
    EXPECT_EQ(s.status, 0) << s.output;
    ASSERT_TRUE(PumpUntil([&] { return !m_entries->remotePlays.empty(); }));
    EXPECT_EQ(m_entries->remotePlays[0], std::make_pair(std::string("10.1.2.3"), std::string("my clip.mp4")));
}
