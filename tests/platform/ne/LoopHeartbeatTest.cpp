// The io loops' heartbeats as the watchdog reads them: an idle loop in its wait is
// alive, one that never finishes a turn is dead, and the watchdog tells the service
// manager only while every loop lives, on the process clock.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/Dispatch.hpp"
#include "platform/ne/IoLoop.hpp"
#include "platform/ne/LoopHeartbeat.hpp"
#include "platform/ne/UringLoop.hpp"

namespace {

using platform::ne::HeartbeatChecker;
using platform::ne::LoopHeartbeat;

// What a loop does before each reading, one letter per reading:
//   t  one turn, back in its wait       w  sits in its wait
//   s  a turn begun, never finished     l  just left its wait, its turn not counted yet
//   -  nothing (stays as it was)
// and what each reading finds (A alive, D dead). `wakes`: the loop's wait runs work
// (Asio's run_one), so the checker wakes it; `answers`: a wake-up makes it turn.
struct HeartbeatRow {
    const char* name;
    std::string steps;
    std::string expected;
    bool wakes = false;
    bool answers = true;
    std::size_t wakeUps = 0;  // the checker's wake-ups, in all
};

class HeartbeatReadings : public ::testing::TestWithParam<HeartbeatRow> {};

TEST_P(HeartbeatReadings, AliveWhileItTurnsOrWaits) {
    const auto& row = GetParam();
    LoopHeartbeat heartbeat;
    std::size_t wakeUps = 0;
    HeartbeatChecker checker;
    std::function<void()> wake;
    if (row.wakes) {
        heartbeat.waiting(true);
        wake = [&] {
            ++wakeUps;
            if (row.answers) heartbeat.turnStarted();
        };
    }
    checker.watch(heartbeat, wake);
    ASSERT_EQ(row.steps.size(), row.expected.size());
    std::string found;
    for (const char step : row.steps) {
        switch (step) {
            case 't':
                if (!row.wakes) heartbeat.waiting(false);
                heartbeat.turnStarted();
                heartbeat.waiting(true);
                break;
            case 'w':
                heartbeat.waiting(true);
                break;
            case 's':
                heartbeat.waiting(false);
                heartbeat.turnStarted();
                break;
            case 'l':
                heartbeat.waiting(false);
                break;
            default:
                break;
        }
        const bool alive = checker.read();
        EXPECT_EQ(alive, checker.dead().empty());
        found += alive ? 'A' : 'D';
    }
    EXPECT_EQ(found, row.expected);
    EXPECT_EQ(wakeUps, row.wakeUps);
}

INSTANTIATE_TEST_SUITE_P(
    Loops, HeartbeatReadings,
    ::testing::Values(HeartbeatRow{"IdleInItsWait", "w---", "AAAA"}, HeartbeatRow{"Busy", "tttt", "AAAA"},
                      // The first reading sees the turn begin; the next that it never ended.
                      HeartbeatRow{"StuckInATurn", "s---", "ADDD"},
                      HeartbeatRow{"StuckThenTurnsAgain", "s-tw", "ADAA"},
                      // Out of its wait, not yet counted: alive once, dead if it stays so.
                      HeartbeatRow{"LeavingItsWait", "wl--", "AADD"},
                      HeartbeatRow{"NeverStarted", "--", "DD"},
                      // A wait that runs work: each idle reading but the ones after an
                      // answer wakes the loop, which turns.
                      HeartbeatRow{"RunOneIdle", "----", "AAAA", true, true, 2},
                      HeartbeatRow{"RunOneBusy", "tttt", "AAAA", true, true, 0},
                      // Its wake-up is not answered: a handler that never returns.
                      HeartbeatRow{"RunOneStuck", "----", "ADDD", true, false, 1},
                      HeartbeatRow{"RunOneStuckAfterWork", "tt--", "AAAD", true, false, 1}),
    [](const auto& info) { return info.param.name; });

// A real io thread, on this run's backend: idle, a ring loop is seen in its own wait
// and never woken, and one Asio runs answers the checker's wake-up; a handler that
// never returns is found out at the second reading, and the loop lives again once the
// handler ends.
TEST(LoopHeartbeat, AnIoThreadIdleOrStuckInAHandler) {
    asio::io_context io(1);
    platform::ne::UringLoop::enable(io);  // or the epoll backend, as this run has it
    auto work = asio::make_work_guard(io);
    auto& loop = platform::ne::IoLoop::of(io);
    LoopHeartbeat heartbeat;
    std::thread thread([&] { loop.run(heartbeat); });
    while (!heartbeat.inWait()) std::this_thread::yield();
    HeartbeatChecker checker;
    const bool ownWait = loop.waitsItself();
    checker.watch(heartbeat, ownWait ? std::function<void()>() : platform::ne::wakeLoop(io));
    const auto turnedSince = [&](std::uint64_t turns) {
        while (heartbeat.turns() == turns) std::this_thread::yield();
    };

    const auto idle = heartbeat.turns();
    for (int round = 0; round < 3; ++round) {
        const auto before = heartbeat.turns();
        EXPECT_TRUE(checker.read()) << round;  // woken, or seen waiting
        if (!ownWait) turnedSince(before);
        EXPECT_TRUE(checker.read()) << round;  // turned, or still waiting
    }
    if (ownWait) {
        EXPECT_EQ(heartbeat.turns(), idle) << "the watchdog woke a loop that waits itself";
    }
    std::promise<void> release;
    std::promise<void> entered;
    loop.post([&] {
        entered.set_value();
        release.get_future().wait();
    });
    entered.get_future().wait();
    EXPECT_TRUE(checker.read());
    EXPECT_FALSE(checker.read());
    EXPECT_FALSE(checker.read());
    const auto stuck = heartbeat.turns();
    release.set_value();
    // Back in its wait (a ring loop), or one more turn (Asio counts a turn as it ends).
    if (ownWait) {
        while (!heartbeat.inWait()) std::this_thread::yield();
    } else {
        turnedSince(stuck);
    }
    EXPECT_TRUE(checker.read());

    work.reset();
    loop.stop();
    thread.join();
    EXPECT_FALSE(heartbeat.inWait());
}

class LoopWatchdogTest : public ::testing::Test {
protected:
    void SetUp() override { platform::setProcessClock(clock); }
    void TearDown() override {
        while (platform::runMainLoopOnce(std::chrono::milliseconds(0))) {
        }
        platform::setProcessClock(nullptr);
    }
    void advance(std::chrono::nanoseconds by) {
        clock->advance(by);
        while (platform::runMainLoopOnce(std::chrono::milliseconds(0))) {
        }
    }
    std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
};

// The stuck loop is the middle one of three, so that the dead are named by their own place.
TEST_F(LoopWatchdogTest, TellsAtHalfTheIntervalOnlyWhileEveryLoopLives) {
    using namespace std::chrono_literals;
    std::vector<LoopHeartbeat> heartbeats(3);
    HeartbeatChecker checker;
    for (auto& heartbeat : heartbeats) {
        heartbeat.waiting(true);
        checker.watch(heartbeat);
    }
    int told = 0;
    std::vector<std::vector<std::size_t>> deaths;
    auto watchdog = std::make_unique<platform::ne::LoopWatchdog>(
        std::move(checker), 20s, [&] { ++told; }, [&](const auto& dead) { deaths.push_back(dead); });
    advance(10s - 1ns);
    EXPECT_EQ(told, 0);
    advance(1ns);
    EXPECT_EQ(told, 1);
    advance(10s);  // idle in their waits
    advance(10s);
    EXPECT_EQ(told, 3);

    heartbeats[1].waiting(false);
    heartbeats[1].turnStarted();  // and never ends it
    advance(10s);
    EXPECT_EQ(told, 4);
    for (int reading = 0; reading < 3; ++reading) advance(10s);
    EXPECT_EQ(told, 4);
    EXPECT_EQ(deaths, (std::vector<std::vector<std::size_t>>(3, {1})));

    heartbeats[1].turnStarted();
    heartbeats[1].waiting(true);
    advance(10s);
    EXPECT_EQ(told, 5);
    watchdog.reset();
    for (int reading = 0; reading < 3; ++reading) advance(10s);
    EXPECT_EQ(told, 5);
}

}  // namespace
