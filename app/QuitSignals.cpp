#include "app/QuitSignals.h"

#include "platform/Trace.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Write end of the socket pair, read by the handler.
std::atomic<int> g_quitSignalFd{-1};

void OnQuitSignal(int) {
    const int savedErrno = errno;
    const int fd = g_quitSignalFd.load();
    if (fd >= 0) {
        const char byte = 1;
        // A full pair already holds a pending wake-up; nothing is lost.
        [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

CQuitSignals::CQuitSignals(QObject* pParent) : QObject(pParent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, m_fds) != 0) {
        DebugTrace("quit signals: socketpair failed (%d)\n", errno);
        m_fds[0] = m_fds[1] = -1;
        return;
    }
    g_quitSignalFd = m_fds[1];
    m_pNotifier = new QSocketNotifier(m_fds[0], QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CQuitSignals::OnReadable);

    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &m_oldInt);
    ::sigaction(SIGTERM, &action, &m_oldTerm);
}

CQuitSignals::~CQuitSignals() {
    if (m_fds[0] < 0)
        return;
    ::sigaction(SIGINT, &m_oldInt, nullptr);
    ::sigaction(SIGTERM, &m_oldTerm, nullptr);
    g_quitSignalFd = -1;
    delete m_pNotifier;
    ::close(m_fds[0]);
    ::close(m_fds[1]);
}

void CQuitSignals::OnReadable() {
    // Signals that arrived together make one request.
    char bytes[16];
    bool raised = false;
    while (::read(m_fds[0], bytes, sizeof bytes) > 0)
        raised = true;
    if (raised)
        emit Raised();
}
