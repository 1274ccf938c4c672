// The main queue and the loop that turns it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/Dispatch.hpp"

namespace platform {
namespace {

using namespace std::chrono_literals;

constexpr auto kGenerous = 30s;

class MainLoop : public ::testing::Test {
protected:
    // Every test starts and ends with an empty main queue, turned by this thread.
    void SetUp() override { drain(); }
    void TearDown() override { drain(); }
    static void drain() {
        while (runMainLoopOnce(0ms)) {
        }
    }
    // Turns the loop until `done` holds; bounded so a failure does not hang.
    template <typename Done>
    static bool turnUntil(Done done) {
        const auto until = std::chrono::steady_clock::now() + kGenerous;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            runMainLoopOnce(100ms);
        }
        return true;
    }
};

// A thread that waits in another loop turns the main loop: its waker is told of each
// item queued (from another thread, delayed work too) and turns it with
// runMainLoopOnce(0); once cleared it is told nothing.
TEST_F(MainLoop, AWakerIsToldOfEveryItemQueuedUntilItIsCleared) {
    auto clock = std::make_shared<ManualClock>();
    setProcessClock(clock);
    std::atomic<int> told{0};
    int ran = 0;
    setMainLoopWaker([&] { ++told; });
    std::thread([&] { mainQueue()->async([&] { ++ran; }); }).join();
    mainQueue()->asyncAfter(1s, [&] { ++ran; });
    EXPECT_EQ(told.load(), 1) << "told before the delayed work was due";
    clock->advance(1s);
    EXPECT_EQ(told.load(), 2);
    EXPECT_TRUE(runMainLoopOnce(0ms));
    EXPECT_EQ(ran, 2);
    setMainLoopWaker(nullptr);
    mainQueue()->async([&] { ++ran; });
    EXPECT_EQ(told.load(), 2);
    drain();
    EXPECT_EQ(ran, 3);
    setProcessClock(nullptr);
}

TEST_F(MainLoop, RunOnceReturnsFalseWhenNothingArrives) {
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(runMainLoopOnce(20ms));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 20ms);
    EXPECT_FALSE(runMainLoopOnce(0ms));
    EXPECT_FALSE(runMainLoopOnce(-5ms));
}

TEST_F(MainLoop, RunOnceRunsQueuedWorkInOrderAndReturnsTrue) {
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) mainQueue()->async([&, i] { order.push_back(i); });
    EXPECT_TRUE(runMainLoopOnce(0ms));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(MainLoop, RunOnceWaitsForWorkFromAnotherThread) {
    bool ran = false;
    std::thread poster([&] { mainQueue()->async([&] { ran = true; }); });
    EXPECT_TRUE(turnUntil([&] { return ran; }));
    poster.join();
}

TEST_F(MainLoop, WorkQueuedByWorkWaitsForTheNextTurn) {
    int stage = 0;
    mainQueue()->async([&] {
        stage = 1;
        mainQueue()->async([&] { stage = 2; });
    });
    EXPECT_TRUE(runMainLoopOnce(0ms));
    EXPECT_EQ(stage, 1);
    EXPECT_TRUE(runMainLoopOnce(0ms));
    EXPECT_EQ(stage, 2);
}

TEST_F(MainLoop, MainQueueWorkReportsMainThreadLabel) {
    EXPECT_EQ(mainQueue()->label(), "com.apple.main-thread");
    EXPECT_TRUE(mainQueue()->isSerial());
    std::string label;
    bool onMain = false;
    mainQueue()->async([&] {
        label = currentQueueLabel();
        onMain = isMainThread();
    });
    EXPECT_TRUE(runMainLoopOnce(0ms));
    EXPECT_EQ(label, "com.apple.main-thread");
    EXPECT_TRUE(onMain);
    EXPECT_EQ(currentQueueLabel(), "");
}

// In a fresh process nothing has turned the loop yet: the first thread is the main
// thread, even when a worker posts to the main queue first.
TEST(MainThread, BeforeAnyLoopIsTheProcessFirstThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bool right = isMainThread();
            Semaphore done;
            bool workerIsMain = true;
            globalQueue()->async([&] {
                mainQueue()->async([] {});
                workerIsMain = isMainThread();
                done.signal();
            });
            right = right && done.waitFor(kGenerous) && !workerIsMain && isMainThread();
            std::_Exit(right ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(MainLoop, IsMainThreadIsFalseOnQueueThreads) {
    runMainLoopOnce(0ms);  // this thread turns the loop
    EXPECT_TRUE(isMainThread());
    Semaphore done;
    bool onMain = true;
    globalQueue()->async([&] {
        onMain = isMainThread();
        done.signal();
    });
    ASSERT_TRUE(done.waitFor(kGenerous));
    EXPECT_FALSE(onMain);
}

// The pattern of synchronous server calls: main-queue work sends a request to another
// queue, whose reply is handed back to the main queue, and waits for it by turning
// the loop between timed waits.
TEST_F(MainLoop, NestedRunOnceFromMainQueueWorkRunsTheReply) {
    bool finished = false;
    std::vector<std::string> events;
    mainQueue()->async([&] {
        Semaphore replied;
        globalQueue()->async([&] {
            mainQueue()->async([&] {
                events.push_back("reply on " + currentQueueLabel());
                replied.signal();
            });
        });
        const auto until = std::chrono::steady_clock::now() + kGenerous;
        while (!replied.waitFor(1ms) && std::chrono::steady_clock::now() < until) {
            runMainLoopOnce(10ms);
        }
        events.push_back("outer resumed on " + currentQueueLabel());
        finished = true;
    });
    EXPECT_TRUE(turnUntil([&] { return finished; }));
    EXPECT_EQ(events, (std::vector<std::string>{"reply on com.apple.main-thread",
                                                "outer resumed on com.apple.main-thread"}));
}

TEST_F(MainLoop, NestedRunOnceTimesOutInsideWork) {
    bool inner = true;
    mainQueue()->async([&] { inner = runMainLoopOnce(5ms); });
    EXPECT_TRUE(runMainLoopOnce(0ms));
    EXPECT_FALSE(inner);
}

TEST_F(MainLoop, StopFromAnotherThreadEndsRunMainLoop) {
    Semaphore firstRan;
    std::atomic<int> ran{0};
    mainQueue()->async([&] {
        ++ran;
        firstRan.signal();
    });
    std::thread stopper([&] {
        ASSERT_TRUE(firstRan.waitFor(kGenerous));
        stopMainLoop();
    });
    runMainLoop();
    stopper.join();
    EXPECT_EQ(ran.load(), 1);
}

TEST_F(MainLoop, StopFromMainQueueWorkEndsAfterThatItem) {
    std::vector<int> order;
    mainQueue()->async([&] { order.push_back(1); });
    mainQueue()->async([&] {
        order.push_back(2);
        stopMainLoop();
        order.push_back(3);
    });
    mainQueue()->async([&] { order.push_back(4); });
    runMainLoop();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(runMainLoopOnce(0ms));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(MainLoop, StopAskedBeforeTheLoopRunsEndsItAtOnce) {
    stopMainLoop();
    runMainLoop();  // returns instead of waiting for work that never comes
    SUCCEED();
}

TEST_F(MainLoop, SyncFromAnotherThreadRunsOnTheLoopThread) {
    std::string label;
    bool onMain = false;
    std::thread caller([&] {
        mainQueue()->sync([&] {
            label = currentQueueLabel();
            onMain = isMainThread();
        });
        stopMainLoop();
    });
    runMainLoop();
    caller.join();
    EXPECT_EQ(label, "com.apple.main-thread");
    EXPECT_TRUE(onMain);
}

TEST_F(MainLoop, SyncFromAnotherThreadPassesExceptionBack) {
    bool caught = false;
    std::thread caller([&] {
        try {
            mainQueue()->sync([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error&) {
            caught = true;
        }
        stopMainLoop();
    });
    runMainLoop();
    caller.join();
    EXPECT_TRUE(caught);
}

TEST_F(MainLoop, SyncOnMainThreadRunsEarlierWorkFirstThenInline) {
    runMainLoopOnce(0ms);  // this thread is the main thread
    std::vector<int> order;
    mainQueue()->async([&] { order.push_back(1); });
    mainQueue()->sync([&] {
        order.push_back(2);
        mainQueue()->sync([&] { order.push_back(3); });  // re-entrant: inline
    });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(MainLoop, SyncFromMainQueueWorkRunsInline) {
    std::vector<int> order;
    mainQueue()->async([&] {
        mainQueue()->sync([&] { order.push_back(1); });
        mainQueue()->barrierSync([&] { order.push_back(2); });
        order.push_back(3);
    });
    EXPECT_TRUE(runMainLoopOnce(0ms));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(MainLoop, SerialQueueSyncFromMainWorkAndBackToMain) {
    auto queue = makeSerialQueue("test.main.hop");
    std::vector<std::string> labels;
    mainQueue()->async([&] {
        queue->sync([&] {
            labels.push_back(currentQueueLabel());
            mainQueue()->sync([&] { labels.push_back(currentQueueLabel()); });
        });
    });
    EXPECT_TRUE(runMainLoopOnce(0ms));
    EXPECT_EQ(labels, (std::vector<std::string>{"test.main.hop", "com.apple.main-thread"}));
}

TEST_F(MainLoop, PostsFromOneThreadKeepTheirOrder) {
    constexpr int kThreads = 4;
    constexpr int kItems = 200;
    std::vector<std::vector<int>> seen(kThreads);
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kItems; ++i) mainQueue()->async([&, t, i] { seen[t].push_back(i); });
        });
    }
    for (auto& p : posters) p.join();
    drain();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kItems));
        for (int i = 0; i < kItems; ++i) ASSERT_EQ(seen[t][i], i);
    }
}

TEST_F(MainLoop, AnotherThreadWaitsForItsTurnToTurnTheLoop) {
    // While this thread turns the loop (inside work), another thread's runMainLoopOnce
    // cannot run main-queue work side by side with it.
    std::atomic<bool> insideWork{false};
    std::atomic<int> overlaps{0};
    Semaphore otherStarted, otherDone;
    std::thread other;
    mainQueue()->async([&] {
        insideWork = true;
        other = std::thread([&] {
            otherStarted.signal();
            runMainLoopOnce(kGenerous);  // waits for the turn, then for work
            otherDone.signal();
        });
        ASSERT_TRUE(otherStarted.waitFor(kGenerous));
        mainQueue()->async([&] {
            if (insideWork) ++overlaps;
        });
        insideWork = false;
    });
    EXPECT_TRUE(runMainLoopOnce(0ms));
    // The other thread gets the turn now and runs the second item.
    ASSERT_TRUE(otherDone.waitFor(kGenerous));
    other.join();
    drain();
    EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
}  // namespace platform
