// The retry delays: consecutive runs walk the table and stay on its last delay; reset starts
// over; every delay is measured on the manual clock.
#include <gtest/gtest.h>

#include <vector>

#include "ExtensionTestSupport.hpp"
#include "app/netext/Throttle.hpp"

namespace kiv {
namespace {

using netexttest::drainMainQueue;

struct ThrottleCase {
    const char* name;
    std::vector<int> delays;  // the table; empty: the manager's
    int runs;
    int resetAfter;                   // reset after this many runs; -1: never
    std::vector<int> expectedDelays;  // seconds from each run to its block
    int expectedIndex;
};

class ThrottleTest : public ::testing::TestWithParam<ThrottleCase> {
protected:
    void SetUp() override { platform::setProcessClock(clock_); }
    void TearDown() override {
        drainMainQueue();
        platform::setProcessClock(nullptr);
    }
    std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
};

TEST_P(ThrottleTest, EachRunWaitsItsDelayOnTheClock) {
    const auto& c = GetParam();
    Throttle throttle = c.delays.empty() ? Throttle{} : Throttle{c.delays};
    for (int run = 0; run < c.runs; ++run) {
        if (run == c.resetAfter) throttle.reset();
        bool ran = false;
        throttle.run([&ran] { ran = true; });
        const int expected = c.expectedDelays[static_cast<std::size_t>(run)];
        if (expected > 0) {
            clock_->advance(std::chrono::seconds(expected) - std::chrono::milliseconds(1));
            drainMainQueue();
            EXPECT_FALSE(ran) << "run " << run << " came early";
            clock_->advance(std::chrono::milliseconds(1));
        }
        drainMainQueue();
        EXPECT_TRUE(ran) << "run " << run << " did not come after " << expected << " s";
        EXPECT_GE(throttle.throttleIndex, 0);
        EXPECT_LE(throttle.throttleIndex, throttle.throttleValuesSizeMaxIndex);
    }
    EXPECT_EQ(throttle.throttleIndex, c.expectedIndex);
}

INSTANTIATE_TEST_SUITE_P(
    Delays, ThrottleTest,
    ::testing::Values(ThrottleCase{"ManagersTable",
                                   {},
                                   17,
                                   -1,
                                   {1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 300, 300, 300, 300},
                                   13},
                      ThrottleCase{"ResetStartsOver", {}, 5, 3, {1, 1, 2, 1, 1}, 2},
                      ThrottleCase{"SingleDelayRepeats", {4}, 3, -1, {4, 4, 4}, 0},
                      ThrottleCase{"EmptyTableRunsAtOnce", {0}, 2, -1, {0, 0}, 0},
                      ThrottleCase{"NegativeDelayRunsAtOnce", {-3, 2}, 3, -1, {0, 2, 2}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ThrottleFields, ManagersTableMatchesItsSize) {
    const Throttle throttle;
    EXPECT_EQ(throttle.throttleValues,
              (std::vector<int>{1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 300}));
    EXPECT_EQ(throttle.throttleValuesSize, 14);
    EXPECT_EQ(throttle.throttleValuesSizeMaxIndex, 13);
    EXPECT_EQ(throttle.throttleIndex, 0);
    const Throttle empty{std::vector<int>{}};
    EXPECT_EQ(empty.throttleValuesSizeMaxIndex, 0);
    EXPECT_EQ(empty.nextDelay(), 0);
}

}  // namespace
}  // namespace kiv
