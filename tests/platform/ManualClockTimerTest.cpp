// Delayed work on a ManualClock installed as the process clock: nothing becomes due by
// waiting, and each advance() has handed over what is due before it returns.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/Dispatch.hpp"

namespace platform {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

class ManualClockTimer : public ::testing::Test {
protected:
    void SetUp() override { setProcessClock(clock); }
    void TearDown() override { setProcessClock(nullptr); }

    const std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
};

// What ran, in order; shared with the work so that nothing left behind can outlive it.
struct Ran {
    std::vector<int> ids;  // written by the serial queue's work
};

struct Delayed {
    int id;
    nanoseconds delay;
};
struct Step {
    nanoseconds advance;
    std::vector<int> ranSoFar;
};
struct Script {
    const char* name;
    std::vector<Delayed> items;
    std::vector<Step> steps;
};

class ManualClockScript : public ManualClockTimer, public ::testing::WithParamInterface<Script> {};

TEST_P(ManualClockScript, RunsWhatIsDueInDueOrder) {
    const Script& script = GetParam();
    auto queue = makeSerialQueue("test.manual.script");
    auto ran = std::make_shared<Ran>();
    for (const Delayed& item : script.items) {
        queue->asyncAfter(item.delay, [ran, id = item.id] { ran->ids.push_back(id); });
    }
    nanoseconds elapsed{};
    for (const Step& step : script.steps) {
        clock->advance(step.advance);
        elapsed += step.advance;
        // advance() has queued the due work already, so it runs before this.
        queue->sync([&] { EXPECT_EQ(ran->ids, step.ranSoFar) << "after " << elapsed.count() << " ns"; });
    }
}

constexpr auto kNever = nanoseconds::max();

INSTANTIATE_TEST_SUITE_P(
    Tables, ManualClockScript,
    ::testing::Values(
        Script{"NotEarly", {{1, 1s}}, {{999ms, {}}, {1ms, {1}}, {1h, {1}}}},
        Script{"DueOrderTiesInSchedulingOrder",
               {{1, 30ms}, {2, 10ms}, {3, 20ms}, {4, 10ms}},
               {{9ms, {}}, {1ms, {2, 4}}, {15ms, {2, 4, 3}}, {5ms, {2, 4, 3, 1}}}},
        Script{"OneLongAdvance", {{1, 50ms}, {2, 5ms}, {3, 50ms}, {4, 20ms}}, {{1h, {2, 4, 1, 3}}}},
        Script{"NotPositiveAtOnce", {{1, 0ms}, {2, -5ms}, {3, 1ns}}, {{0ns, {1, 2}}, {1ns, {1, 2, 3}}}},
        Script{"NeverStaysPending", {{1, kNever}, {2, 1ms}}, {{24h, {2}}, {24h, {2}}}}),
    [](const ::testing::TestParamInfo<Script>& info) { return info.param.name; });

// Work scheduled by due work counts from the time it was scheduled, on the same clock.
TEST_F(ManualClockTimer, WorkScheduledFromDueWork) {
    auto queue = makeSerialQueue("test.manual.chain");
    auto ran = std::make_shared<Ran>();
    queue->asyncAfter(1s, [ran, queue] {
        ran->ids.push_back(1);
        queue->asyncAfter(1s, [ran] { ran->ids.push_back(2); });
        queue->asyncAfter(0s, [ran] { ran->ids.push_back(3); });
    });
    clock->advance(1s);
    // Item 1 queues item 3 at once: both have run once the queue has passed two markers.
    queue->sync([] {});
    queue->sync([&] { EXPECT_EQ(ran->ids, (std::vector<int>{1, 3})); });
    clock->advance(999ms);
    queue->sync([&] { EXPECT_EQ(ran->ids, (std::vector<int>{1, 3})); });
    clock->advance(1ms);
    queue->sync([&] { EXPECT_EQ(ran->ids, (std::vector<int>{1, 3, 2})); });
}

TEST_F(ManualClockTimer, MainQueueRunsDueWorkOnTheNextTurn) {
    while (runMainLoopOnce(0ms)) {
    }
    auto ran = std::make_shared<bool>(false);
    mainQueue()->asyncAfter(3s, [ran] { *ran = true; });
    clock->advance(2999ms);
    EXPECT_FALSE(runMainLoopOnce(0ms));
    clock->advance(1ms);
    EXPECT_TRUE(runMainLoopOnce(0ms));
    EXPECT_TRUE(*ran);
}

// Changing the process clock keeps what each pending item had left to wait.
TEST_F(ManualClockTimer, AnotherClockKeepsTheTimeLeft) {
    auto queue = makeSerialQueue("test.manual.rebase");
    auto ran = std::make_shared<Ran>();
    queue->asyncAfter(10s, [ran] { ran->ids.push_back(1); });
    clock->advance(4s);
    auto other = std::make_shared<ManualClock>();
    other->advance(100s);
    setProcessClock(other);
    clock->advance(1h);  // no longer the process clock
    other->advance(5999ms);
    queue->sync([&] { EXPECT_TRUE(ran->ids.empty()); });
    other->advance(1ms);
    queue->sync([&] { EXPECT_EQ(ran->ids, (std::vector<int>{1})); });
}

// Four threads schedule while the clock moves on in steps: every item runs once, and
// never before the clock has passed its delay counted from when it was scheduled.
TEST_F(ManualClockTimer, ConcurrentSchedulers) {
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    auto queue = makeConcurrentQueue("test.manual.many", 4);
    struct Counts {
        std::atomic<int> ran{0};
        std::atomic<int> early{0};
    };
    auto counts = std::make_shared<Counts>();
    std::atomic<int> scheduling{kThreads};
    std::vector<std::thread> schedulers;
    for (int t = 0; t < kThreads; ++t) {
        schedulers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const nanoseconds delay = std::chrono::milliseconds(1 + (t * 7 + i) % 13);
                const nanoseconds earliest = clock->monotonic() + delay;
                queue->asyncAfter(delay, [counts, clock = clock, earliest] {
                    if (clock->monotonic() < earliest) ++counts->early;
                    ++counts->ran;
                });
            }
            --scheduling;
        });
    }
    while (scheduling > 0) clock->advance(1ms);
    for (auto& s : schedulers) s.join();
    clock->advance(13ms);  // everything is due now
    queue->barrierSync([] {});
    EXPECT_EQ(counts->ran, kThreads * kEach);
    EXPECT_EQ(counts->early, 0);
}

}  // namespace
}  // namespace platform
