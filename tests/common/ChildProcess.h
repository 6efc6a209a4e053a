#pragma once
// A child process started with fork/exec: killed and reaped when it goes out
// of scope, so a failing test never leaves one behind.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/NetTestUtil.h"

class ChildProcess {
public:
    // argv[0] is looked up on PATH; env entries are "NAME=value"; cwd empty
    // keeps the test's working directory.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                          const std::string& cwd = "") {
        m_pid = ::fork();
        if (m_pid == 0) {
            for (const auto& e : env)
                ::putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            if (cwd.empty() || ::chdir(cwd.c_str()) == 0)
                ::execvp(args[0], args.data());
            ::_exit(127);
        }
    }
    ~ChildProcess() {
        if (m_pid > 0 && !m_bReaped) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    bool Running() {
        if (m_pid <= 0 || m_bReaped)
            return false;
        if (::waitpid(m_pid, &m_nStatus, WNOHANG) != m_pid)
            return true;
        m_bReaped = true;
        return false;
    }
    void Signal(int sig) {
        if (Running())
            ::kill(m_pid, sig);
    }
    // Polls up to ms for the child to end: its raw wait status, or -1 while it runs.
    int WaitExit(int ms) {
        nettest::WaitFor([&] { return !Running(); }, ms);
        return Running() ? -1 : m_nStatus;
    }

private:
    pid_t m_pid = -1;
    bool m_bReaped = false;
    int m_nStatus = 0;
};
