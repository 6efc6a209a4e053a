// The package and picture queues through their own interfaces: counts,
// serials across flushes, batches, holding, aborting and pruning.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "engine/FfmpegPtr.h"
#include "engine/FrameQueue.h"
#include "engine/PacketQueue.h"

namespace {

constexpr auto kBlockedWatch = std::chrono::milliseconds(200);  // a taker that wrongly returns does so at once

AVPacketPtr Package(int64_t pts, bool key = false, int size = 0, int64_t duration = 0) {
    AVPacketPtr pkt(av_packet_alloc());
    if (size > 0)
        av_new_packet(pkt.get(), size);
    pkt->pts = pkt->dts = pts;
    pkt->flags = key ? AV_PKT_FLAG_KEY : 0;
    pkt->duration = duration;
    return pkt;
}

std::vector<std::unique_ptr<VideoFrame>> Pictures(std::initializer_list<double> stamps) {
    std::vector<std::unique_ptr<VideoFrame>> out;
    for (double pts : stamps) {
        out.push_back(std::make_unique<VideoFrame>());
        out.back()->dPts = pts;
    }
    return out;
}

}  // namespace

TEST(PacketQueue, CountsAndSerialsFollowPutsTakesAndFlushes) {
    WakeSignal taken;
    PacketQueue queue(taken);
    queue.Put(Package(0, true, 100, 3));
    queue.Put(Package(1, false, 50, 3));
    queue.Put(nullptr);  // nothing to queue
    EXPECT_EQ(queue.Size(), 2u);
    EXPECT_EQ(queue.Bytes(), 150);
    EXPECT_EQ(queue.DurationUnits(), 6);
    PacketQueue::Taken first = queue.Take();
    ASSERT_TRUE(first.pkt);
    EXPECT_EQ(first.pkt->pts, 0);
    EXPECT_EQ(first.serial, queue.Serial());
    EXPECT_EQ(queue.Bytes(), 50);

    const unsigned before = queue.Serial();
    EXPECT_EQ(queue.Flush(), before + 1);
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_EQ(queue.Bytes(), 0);
    EXPECT_EQ(queue.DurationUnits(), 0);
    EXPECT_NE(first.serial, queue.Serial());  // taken before the flush: stale now
    queue.Put(Package(7));
    EXPECT_EQ(queue.Take().serial, before + 1);
    queue.Clear();  // a stop's release keeps the serial
    EXPECT_EQ(queue.Serial(), before + 1);
}

// A taker that ran dry waits for its reserve unless the source has ended,
// one gets nothing while the queue is held, and an abort releases it
// empty-handed.
TEST(PacketQueue, TakeWaitsForAReserveForReleaseAndForAbort) {
    WakeSignal taken;
    PacketQueue queue(taken);
    std::atomic<bool> dry{false};
    auto taker = std::async(std::launch::async, [&] { return queue.Take(&dry, 3).pkt; });
    ASSERT_EQ(taker.wait_for(kBlockedWatch), std::future_status::timeout);
    EXPECT_TRUE(dry);
    queue.Put(Package(1));
    queue.Put(Package(2));
    ASSERT_EQ(taker.wait_for(kBlockedWatch), std::future_status::timeout);  // two of three
    queue.SetEnded(true);  // no more will come: what is there goes
    ASSERT_EQ(taker.get()->pts, 1);
    EXPECT_FALSE(dry);
    queue.SetEnded(false);
    EXPECT_EQ(queue.Take(&dry, 3).pkt->pts, 2);  // not dry: one is enough

    queue.Put(Package(2));
    queue.SetHeld(true);
    auto held = std::async(std::launch::async, [&] { return queue.Take().pkt; });
    ASSERT_EQ(held.wait_for(kBlockedWatch), std::future_status::timeout);
    queue.SetHeld(false);
    EXPECT_EQ(held.get()->pts, 2);

    auto aborted = std::async(std::launch::async, [&] { return queue.Take().pkt; });
    ASSERT_EQ(aborted.wait_for(kBlockedWatch), std::future_status::timeout);
    queue.Abort();
    EXPECT_EQ(aborted.get(), nullptr);
    queue.Put(Package(3));
    EXPECT_EQ(queue.Take().pkt, nullptr);  // stays aborted until restarted
    queue.Restart();
    EXPECT_EQ(queue.Take().pkt->pts, 3);
}

TEST(PacketQueue, ShortRunsBeforeAKeyPackageAreDropped) {
    constexpr int L = 40;
    // Runs of (packages, starts with a key package); what is left and its first pts.
    struct Case { std::vector<std::pair<int, bool>> runs; size_t left; int64_t firstLeft; } cases[] = {
        {{{10, false}, {25, true}, {25, true}}, 25, 35},  // runs of 10 and 25 dropped
        {{{250, true}, {250, true}, {5, true}}, 505, 0},  // key packages 250 apart: nothing pruned
        {{{L, true}, {L + 1, true}, {3, true}}, size_t(L + 4), L},
        {{{30, false}}, 30, 0},  // no key package, no cut
    };
    for (const Case& c : cases) {
        WakeSignal taken;
        PacketQueue queue(taken);
        int64_t pts = 0;
        for (auto [count, key] : c.runs)
            for (int i = 0; i < count; ++i, ++pts)
                queue.Put(Package(pts, key && i == 0, 10));
        const size_t before = queue.Size();
        EXPECT_EQ(queue.DropShortRunsBeforeKeys(L), int(before - c.left));
        ASSERT_EQ(queue.Size(), c.left);
        EXPECT_EQ(queue.Bytes(), int64_t(c.left) * 10);
        const PacketQueue::Span span = queue.StampSpan();
        EXPECT_EQ(span.first, c.firstLeft);
        EXPECT_EQ(span.last, pts - 1);
    }
}

// Pictures decoded from before a flush never enter; a full queue holds its
// writer back until a picture is taken; a held queue gives nothing out.
TEST(FrameQueue, RefusesStalePicturesAndHoldsItsWriterAtCapacity) {
    FrameQueue queue(2);
    const unsigned old = queue.Serial();
    queue.Flush();
    auto stale = Pictures({1.0});
    queue.Push(stale, old);
    EXPECT_EQ(queue.Size(), 0u);
    auto pictures = Pictures({2.0, 3.0});
    queue.Push(pictures, queue.Serial());
    EXPECT_EQ(queue.Size(), 2u);

    auto writer = std::async(std::launch::async, [&] { return queue.WaitWritable(); });
    ASSERT_EQ(writer.wait_for(kBlockedWatch), std::future_status::timeout);
    FrameQueue::Popped popped;
    ASSERT_EQ(queue.Next(popped), FrameQueue::Pop::Picture);
    EXPECT_EQ(popped.frame->dPts, 2.0);
    EXPECT_EQ(popped.dNextPts, 3.0);
    EXPECT_TRUE(writer.get());

    queue.SetHeld(true);
    EXPECT_EQ(queue.Next(popped), FrameQueue::Pop::Held);
    auto sleeper = std::async(std::launch::async, [&] {
        return queue.SleepUntil(WakeSignal::Clock::now() + std::chrono::seconds(30), queue.Serial(), [] { return false; });
    });
    EXPECT_TRUE(sleeper.get());  // a held queue cuts a sleep short
    queue.SetHeld(false);
    ASSERT_EQ(queue.Next(popped), FrameQueue::Pop::Picture);
    EXPECT_EQ(popped.dNextPts, -1.0);  // none behind it

    auto waiting = std::async(std::launch::async, [&] { return queue.Next(popped); });
    ASSERT_EQ(waiting.wait_for(kBlockedWatch), std::future_status::timeout);
    queue.Abort();
    EXPECT_EQ(waiting.get(), FrameQueue::Pop::Aborted);
    EXPECT_FALSE(queue.WaitWritable());
}
