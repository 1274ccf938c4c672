// Worker threads come on demand and go when idle or when their queue is gone.
#include <gtest/gtest.h>

#include <vector>

#include "platform/Clock.hpp"
#include "platform/Dispatch.hpp"
#include "platform/DispatchThreads.hpp"

namespace platform {
namespace {

using namespace std::chrono_literals;
constexpr auto kGenerousThreadsWait = 30s;

class DispatchThreads : public ::testing::Test {
protected:
    void TearDown() override { setDispatchIdleTimeout(5s); }
};

TEST_F(DispatchThreads, IdleWorkersEnd) {
    setDispatchIdleTimeout(20ms);
    const unsigned width = 4;
    auto queue = makeConcurrentQueue("test.threads.idle", width);
    Semaphore started, go, done;
    for (unsigned i = 0; i < width; ++i) {
        queue->async([&] {
            started.signal();
            go.wait();
            done.signal();
        });
    }
    for (unsigned i = 0; i < width; ++i) ASSERT_TRUE(started.waitFor(kGenerousThreadsWait));
    EXPECT_GE(dispatchThreadCount(), width);
    for (unsigned i = 0; i < width; ++i) go.signal();
    for (unsigned i = 0; i < width; ++i) ASSERT_TRUE(done.waitFor(kGenerousThreadsWait));
    // The queue is still held: its workers end only because they are idle. (Threads
    // that other tests left idle end by their own, older timeout.)
    EXPECT_TRUE(waitForDispatchThreadCount(0, kGenerousThreadsWait));
    // And come back when work arrives.
    queue->async([&] { done.signal(); });
    ASSERT_TRUE(done.waitFor(kGenerousThreadsWait));
}

TEST_F(DispatchThreads, DroppedQueuesEndTheirWorkersWithoutWaitingForIdle) {
    // Let threads of earlier tests go first, while the timeout is still short: a worker
    // that finishes its item after the timeout was raised would wait for an hour.
    ASSERT_TRUE(waitForDispatchThreadCount(0, kGenerousThreadsWait));
    setDispatchIdleTimeout(std::chrono::hours(1));
    Semaphore done;
    constexpr int kQueues = 40;
    {
        std::vector<DispatchQueuePtr> queues;
        for (int i = 0; i < kQueues; ++i) {
            queues.push_back(i % 2 ? makeSerialQueue("test.threads.drop")
                                   : makeConcurrentQueue("test.threads.drop", 3));
            for (int j = 0; j < 3; ++j) queues.back()->async([&] { done.signal(); });
        }
        for (int i = 0; i < kQueues * 3; ++i) ASSERT_TRUE(done.waitFor(kGenerousThreadsWait));
    }
    EXPECT_TRUE(waitForDispatchThreadCount(0, kGenerousThreadsWait));
}

TEST_F(DispatchThreads, SyncOnAnIdleQueueStartsNoThread) {
    ASSERT_TRUE(waitForDispatchThreadCount(0, kGenerousThreadsWait));  // as above: before raising the timeout
    setDispatchIdleTimeout(std::chrono::hours(1));
    auto queue = makeSerialQueue("test.threads.sync");
    int ran = 0;
    for (int i = 0; i < 10; ++i) queue->sync([&] { ++ran; });
    EXPECT_EQ(ran, 10);
    EXPECT_EQ(dispatchThreadCount(), 0u);
}

TEST(SystemClock, MonotonicNeverGoesBackAndNowIsNearSystemClock) {
    const ClockPtr clock = systemClock();
    EXPECT_EQ(clock, systemClock());
    auto previous = clock->monotonic();
    for (int i = 0; i < 1000; ++i) {
        const auto current = clock->monotonic();
        ASSERT_GE(current, previous);
        previous = current;
    }
    const auto before = std::chrono::system_clock::now();
    const auto now = clock->now();
    const auto after = std::chrono::system_clock::now();
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

}  // namespace
}  // namespace platform
