#include "platform/Sleep.h"

#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

namespace {

constexpr unsigned long kSleepSlackNs = 1000000;

// Read on the main thread before anything has changed it.
const int g_nDefaultSlack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);

void SetSlack(int ns) {
    if (ns > 0)
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(ns), 0, 0, 0);
}

}  // namespace

namespace {

void SleepFor(int milliseconds) {
    timespec left{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

void Sleep(int milliseconds) {
    if (milliseconds <= 0)
        return;
    // Once per thread: a system call costs enough to matter at 1000 polls a second.
    static thread_local const bool s_bSlack = (SetSlack(kSleepSlackNs), true);
    (void)s_bSlack;
    SleepFor(milliseconds);
}

void SleepExact(int milliseconds) {
    if (milliseconds <= 0)
        return;
    DefaultTimerSlack exact;
    SleepFor(milliseconds);
}

DefaultTimerSlack::DefaultTimerSlack() : m_nSaved(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
    SetSlack(g_nDefaultSlack);
}

DefaultTimerSlack::~DefaultTimerSlack() {
    SetSlack(m_nSaved);
}
