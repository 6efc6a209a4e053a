#include "platform/Sleep.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <thread>

namespace {

long Slack() { return prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0); }

// Threads inherit the slack of the thread that starts them, so the slack a
// polling thread takes on must not reach a device thread started under
// DefaultTimerSlack, and must come back when that scope ends.
TEST(SleepTest, SlackIsRaisedForPollersAndLoweredForDeviceThreads) {
    std::thread([] {
        long base = Slack();
        Sleep(1);
        long polling = Slack();
        EXPECT_GT(polling, base);
        {
            DefaultTimerSlack exact;
            EXPECT_EQ(Slack(), base);
            long inherited = 0;
            std::thread([&] { inherited = Slack(); }).join();
            EXPECT_EQ(inherited, base);
        }
        EXPECT_EQ(Slack(), polling);
    }).join();
}

}  // namespace
