#include "output/WaveHeaderQueue.h"
#include "output/WaveOut.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Growing while the ring has wrapped round must keep the FIFO order.
TEST(WaveHeaderQueueTest, GrowsPastCapacityKeepingOrderAfterWrap) {
    std::vector<WAVEHDR> headers(20);
    WaveHeaderQueue queue(4);
    for (int i = 0; i < 3; ++i)
        queue.push_back(&headers[i]);
    EXPECT_EQ(queue.pop_front(), &headers[0]);
    EXPECT_EQ(queue.pop_front(), &headers[1]);
    for (int i = 3; i < 12; ++i)
        queue.push_back(&headers[i]);
    ASSERT_EQ(queue.size(), 10u);
    for (int i = 2; i < 12; ++i) {
        ASSERT_EQ(queue.front(), &headers[i]);
        EXPECT_EQ(queue.pop_front(), &headers[i]);
    }
    EXPECT_TRUE(queue.empty());
    queue.push_back(&headers[19]);
    queue.clear();
    EXPECT_TRUE(queue.empty());
}

}  // namespace
