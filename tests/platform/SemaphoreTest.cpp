#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/Dispatch.hpp"

namespace platform {
namespace {

using namespace std::chrono_literals;
constexpr auto kGenerousSemaphoreWait = 30s;

TEST(Semaphore, WaitForTimesOutWithoutSignal) {
    Semaphore semaphore;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(semaphore.waitFor(20ms));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 20ms);
    EXPECT_FALSE(semaphore.waitFor(0ns));
    EXPECT_FALSE(semaphore.waitFor(-1s));
}

struct Counting {
    long initial;
    int signals;
    int successfulWaits;  // waits that succeed before one times out
};

class SemaphoreCounting : public ::testing::TestWithParam<Counting> {};

TEST_P(SemaphoreCounting, EachSignalReleasesOneWait) {
    const auto& c = GetParam();
    Semaphore semaphore(c.initial);
    for (int i = 0; i < c.signals; ++i) semaphore.signal();
    for (int i = 0; i < c.successfulWaits; ++i) EXPECT_TRUE(semaphore.waitFor(0ns)) << "wait " << i;
    EXPECT_FALSE(semaphore.waitFor(1ms));
}

INSTANTIATE_TEST_SUITE_P(Values, SemaphoreCounting,
                         ::testing::Values(Counting{0, 0, 0}, Counting{0, 1, 1}, Counting{2, 0, 2},
                                           Counting{2, 3, 5},
                                           // A negative start needs that many signals first.
                                           Counting{-2, 2, 0}, Counting{-2, 3, 1}));

TEST(Semaphore, SignalFromAnotherThreadWakesTimedAndPlainWaits) {
    Semaphore ready, reply;
    std::thread signaller([&] {
        ready.wait();
        reply.signal();
        reply.signal();
    });
    ready.signal();
    EXPECT_TRUE(reply.waitFor(kGenerousSemaphoreWait));
    reply.wait();
    signaller.join();
}

TEST(Semaphore, UnboundedTimeoutDoesNotOverflow) {
    Semaphore semaphore(1);
    EXPECT_TRUE(semaphore.waitFor(std::chrono::nanoseconds::max()));
}

TEST(Semaphore, ManyWaitersEachGetOneSignal) {
    constexpr int kWaiters = 8;
    Semaphore semaphore, finished;
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            EXPECT_TRUE(semaphore.waitFor(kGenerousSemaphoreWait));
            finished.signal();
        });
    }
    for (int i = 0; i < kWaiters; ++i) semaphore.signal();
    for (int i = 0; i < kWaiters; ++i) EXPECT_TRUE(finished.waitFor(kGenerousSemaphoreWait));
    for (auto& w : waiters) w.join();
    EXPECT_FALSE(semaphore.waitFor(0ns));
}

// A waiter commonly destroys the semaphore as soon as its wait returns, while the
// signalling thread may still be inside signal().
TEST(Semaphore, WaiterMayDestroyRightAfterWaking) {
    for (int round = 0; round < 200; ++round) {
        auto semaphore = std::make_unique<Semaphore>();
        std::thread signaller([s = semaphore.get()] { s->signal(); });
        semaphore->wait();
        semaphore.reset();
        signaller.join();
    }
}

}  // namespace
}  // namespace platform
