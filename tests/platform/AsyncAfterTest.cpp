// Delayed work: never early, in order of due time, kept across the end of its queue.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/Dispatch.hpp"

namespace platform {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr auto kGenerous = 30s;

struct Delayed {
    int id;
    std::chrono::milliseconds delay;
};

class AsyncAfterOrder : public ::testing::TestWithParam<std::vector<Delayed>> {};

// Run order follows the due times, whatever the posting order, and nothing runs
// before its time. Each item's due time is known to lie between "now" taken before
// and after posting it; a pair is checked whenever those spans say which is due first.
TEST_P(AsyncAfterOrder, RunsByDueTimeAndNeverEarly) {
    const auto& items = GetParam();
    auto queue = makeSerialQueue("test.after.order");
    struct Span {
        Steady::time_point earliest, latest;
    };
    std::vector<Span> due(items.size());
    std::vector<std::size_t> position(items.size());  // written by the queue's work
    std::size_t ran = 0;
    int early = 0;
    Semaphore done;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto delay = items[i].delay;
        const auto before = Steady::now();
        queue->asyncAfter(delay, [&, i, delay, before] {
            if (Steady::now() - before < delay) ++early;
            position[i] = ran++;
            done.signal();
        });
        due[i] = Span{before + delay, Steady::now() + delay};
    }
    for (std::size_t i = 0; i < items.size(); ++i) ASSERT_TRUE(done.waitFor(kGenerous));
    queue->sync([&] {
        EXPECT_EQ(early, 0);
        for (std::size_t a = 0; a < items.size(); ++a) {
            for (std::size_t b = a + 1; b < items.size(); ++b) {
                const bool sameDelayPostedFirst = items[a].delay == items[b].delay;
                if (sameDelayPostedFirst || due[a].latest < due[b].earliest) {
                    EXPECT_LT(position[a], position[b]) << "items " << items[a].id << ", " << items[b].id;
                } else if (due[b].latest < due[a].earliest) {
                    EXPECT_LT(position[b], position[a]) << "items " << items[b].id << ", " << items[a].id;
                }
            }
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Tables, AsyncAfterOrder,
                         ::testing::Values(std::vector<Delayed>{{1, 60ms}, {2, 20ms}, {3, 40ms}, {4, 1ms}},
                                           std::vector<Delayed>{{1, 30ms}, {2, 30ms}, {3, 30ms}},
                                           std::vector<Delayed>{{1, 80ms}, {2, 10ms}},
                                           std::vector<Delayed>{{1, 5ms}, {2, 5ms}, {3, 1ms}, {4, 25ms}}));

TEST(AsyncAfter, NonPositiveDelayRunsLikeAsync) {
    auto queue = makeSerialQueue("test.after.now");
    std::vector<int> order;
    queue->asyncAfter(-5ms, [&] { order.push_back(1); });
    queue->async([&] { order.push_back(2); });
    queue->asyncAfter(0ms, [&] { order.push_back(3); });
    queue->sync([&] { EXPECT_EQ(order, (std::vector<int>{1, 2, 3})); });
}

// Documented choice: delayed work holds its queue, so it still runs at its time after
// every handle is gone.
TEST(AsyncAfter, RunsAfterTheQueueHandleIsDropped) {
    Semaphore done;
    std::string label;
    {
        auto queue = makeSerialQueue("test.after.dropped");
        queue->asyncAfter(20ms, [&] {
            label = currentQueueLabel();
            done.signal();
        });
    }
    ASSERT_TRUE(done.waitFor(kGenerous));
    EXPECT_EQ(label, "test.after.dropped");
}

TEST(AsyncAfter, OnConcurrentAndGlobalQueues) {
    for (const auto& queue : {makeConcurrentQueue("test.after.concurrent", 3), globalQueue()}) {
        Semaphore done;
        const auto posted = Steady::now();
        Steady::duration waited{};
        queue->asyncAfter(15ms, [&] {
            waited = Steady::now() - posted;
            done.signal();
        });
        ASSERT_TRUE(done.waitFor(kGenerous));
        EXPECT_GE(waited, 15ms);
    }
}

TEST(AsyncAfter, OnMainQueueRunsWhenTheLoopTurns) {
    while (runMainLoopOnce(0ms)) {
    }
    bool ran = false;
    const auto posted = Steady::now();
    Steady::duration waited{};
    mainQueue()->asyncAfter(10ms, [&] {
        waited = Steady::now() - posted;
        ran = true;
    });
    const auto until = Steady::now() + kGenerous;
    while (!ran && Steady::now() < until) runMainLoopOnce(100ms);
    ASSERT_TRUE(ran);
    EXPECT_GE(waited, 10ms);
}

TEST(AsyncAfter, HugeDelayDoesNotOverflowOrRun) {
    auto queue = makeSerialQueue("test.after.huge");
    bool ran = false;
    queue->asyncAfter(std::chrono::nanoseconds::max(), [&] { ran = true; });
    queue->asyncAfter(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::hours(24 * 365 * 200)),
        [&] { ran = true; });
    Semaphore done;
    queue->asyncAfter(1ms, [&] { done.signal(); });  // the timer still serves others
    ASSERT_TRUE(done.waitFor(kGenerous));
    queue->sync([&] { EXPECT_FALSE(ran); });
}

TEST(AsyncAfter, ManyThreadsManyTimers) {
    auto queue = makeConcurrentQueue("test.after.many", 4);
    constexpr int kThreads = 6;
    constexpr int kEach = 50;
    Semaphore done;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                queue->asyncAfter(std::chrono::milliseconds((t * 7 + i) % 13), [&] { done.signal(); });
            }
        });
    }
    for (auto& p : posters) p.join();
    for (int i = 0; i < kThreads * kEach; ++i) ASSERT_TRUE(done.waitFor(kGenerous));
}

}  // namespace
}  // namespace platform
