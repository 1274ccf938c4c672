// What one caller can make the helper do: flush requests coalesced into at most two flushes in
// line, requests of callers that have gone dropped, and each non-root caller's log lines under a
// burst per interval with a summary of what was left out.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "fakes/TestFolders.hpp"
#include "helper/CallerLog.hpp"
#include "helper/FlushCoalescer.hpp"
#include "platform/Clock.hpp"
#include "tests/helper/HelperServiceFixture.hpp"

namespace kiv::testing {
namespace {

// A flush that waits at a gate until the test opens it, and records whom it was charged to.
struct GatedFlush {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    std::vector<uid_t> charged;

    void operator()(uid_t uid) {
        std::unique_lock lock(mutex);
        charged.push_back(uid);
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
    }
    bool waitForFlushes(std::size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return charged.size() >= n; });
    }
    void release() {
        const std::lock_guard guard(mutex);
        open = true;
        changed.notify_all();
    }
};

TEST(FlushCoalescerTest, RequestsDuringAFlushShareTheNextOneAndGoneCallersAreDropped) {
    auto gate = std::make_shared<GatedFlush>();
    const auto queue = platform::makeSerialQueue("test.flush");
    helper::FlushCoalescer flushes(queue, [gate](uid_t uid) { (*gate)(uid); });
    std::atomic<int> answered{0};
    std::atomic<int> answeredGone{0};
    auto request = [&](uid_t uid, bool alive, std::atomic<int>& counter) {
        flushes.request({uid, [alive] { return alive; }, [&counter] { ++counter; }});
    };
    request(1000, true, answered);
    ASSERT_TRUE(gate->waitForFlushes(1));
    // While the first flush runs: a flood from one user, one from root, one whose caller left.
    for (int i = 0; i < 10000; ++i) request(1000, true, answered);
    request(0, true, answered);
    request(1000, false, answeredGone);
    gate->release();
    queue->sync([] {});
    ASSERT_TRUE(gate->waitForFlushes(2));
    queue->sync([] {});
    EXPECT_EQ(gate->charged, (std::vector<uid_t>{1000, 0}));
    EXPECT_EQ(answered.load(), 10002);
    EXPECT_EQ(answeredGone.load(), 0);

    // Only callers that have gone: no flush at all.
    for (int i = 0; i < 3; ++i) request(1000, false, answeredGone);
    queue->sync([] {});
    queue->sync([] {});
    EXPECT_EQ(gate->charged.size(), 2u);
    EXPECT_EQ(answeredGone.load(), 0);
}

struct LogShareStep {
    uid_t uid;
    int lines;
    std::chrono::seconds advanceAfter;
};

struct LogShareCase {
    const char* name;
    std::vector<LogShareStep> steps;
    std::size_t linesWritten;            // caller lines in the log, summaries left out
    std::vector<std::string> summaries;  // in order
};

void PrintTo(const LogShareCase& c, std::ostream* out) { *out << c.name; }

class CallerLogTest : public ::testing::TestWithParam<LogShareCase> {};

TEST_P(CallerLogTest, NonRootCallersGetABurstPerIntervalThenASummary) {
    auto clock = std::make_shared<platform::ManualClock>();
    platform::setProcessClock(clock);
    fakes::TemporaryFolder folder;
    const auto path = folder.path() / "kivHelper.log";
    helper::CallerLog log(std::make_shared<const platform::KIVLogHelper>(path));
    for (const auto& step : GetParam().steps) {
        for (int i = 0; i < step.lines; ++i) log.log(step.uid, "Invalid tray type specified");
        clock->advance(step.advanceAfter);
    }
    platform::setProcessClock(nullptr);
    std::istringstream text(readText(path));
    std::size_t written = 0;
    std::vector<std::string> summaries;
    for (std::string line; std::getline(text, line);) {
        if (line.find("Invalid tray type specified") != std::string::npos) ++written;
        const auto at = line.find("\u2026 ");
        if (at != std::string::npos) summaries.push_back(line.substr(at));
    }
    EXPECT_EQ(written, GetParam().linesWritten);
    EXPECT_EQ(summaries, GetParam().summaries);
}

constexpr std::chrono::seconds kNoTime{0};
constexpr auto kInterval = helper::CallerLog::kInterval;

INSTANTIATE_TEST_SUITE_P(
    Shares, CallerLogTest,
    ::testing::Values(
        LogShareCase{"RootIsNeverLimited", {{0, 500, kNoTime}}, 500, {}},
        LogShareCase{"BurstOnly", {{65534, 40, kNoTime}}, 40, {}},
        LogShareCase{"PastTheBurstCountedAndSummedUpAtTheNextLine",
                     {{65534, 100, kInterval}, {65534, 1, kNoTime}},
                     41,
                     {"\u2026 60 lines suppressed (uid 65534)"}},
        LogShareCase{"NotBeforeTheIntervalEnds",
                     {{65534, 100, kInterval - std::chrono::seconds(1)}, {65534, 1, kNoTime}},
                     40,
                     {}},
        LogShareCase{
            "EachUserHasItsOwnShare", {{65534, 50, kNoTime}, {1000, 50, kNoTime}, {0, 5, kNoTime}}, 85, {}},
        LogShareCase{"SummaryAtAnotherCallersLine",
                     {{65534, 45, kInterval}, {0, 1, kNoTime}, {1000, 1, kNoTime}},
                     42,
                     {"\u2026 5 lines suppressed (uid 65534)"}},
        LogShareCase{"AFreshBurstAfterTheInterval",
                     {{65534, 45, kInterval}, {65534, 45, kInterval}, {65534, 1, kNoTime}},
                     81,
                     {"\u2026 5 lines suppressed (uid 65534)", "\u2026 5 lines suppressed (uid 65534)"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kiv::testing
