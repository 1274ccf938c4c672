// The notification centre: delivery order, synchronous and queued delivery, cancellation from
// anywhere (inside blocks, with deliveries already queued, from several threads at once).
#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Dispatch.hpp"
#include "platform/NotificationCenter.hpp"

namespace platform {
namespace {

using namespace std::chrono_literals;

class NotificationCenterTest : public ::testing::Test {
protected:
    // This thread turns the main loop; every test starts and ends with it empty.
    void SetUp() override { drain(); }
    void TearDown() override { drain(); }
    static void drain() {
        while (runMainLoopOnce(0ms)) {
        }
    }
    NotificationCenter center;
};

TEST_F(NotificationCenterTest, SynchronousObserversRunInAddedOrderOnThePostingThread) {
    std::vector<int> calls;
    std::vector<Observation> observations;
    for (int i = 0; i < 3; ++i) {
        observations.push_back(center.addObserver("a", nullptr, [&, i](const Notification& n) {
            EXPECT_EQ(n.name, "a");
            EXPECT_EQ(std::any_cast<int>(n.object), 7);
            calls.push_back(i);
        }));
    }
    Observation other = center.addObserver("b", nullptr, [&](const Notification& n) {
        EXPECT_FALSE(n.object.has_value());
        calls.push_back(-1);
    });
    center.post("a", 7);
    EXPECT_EQ(calls, (std::vector<int>{0, 1, 2}));  // before post returned
    center.post("b");
    center.post("nobody");
    EXPECT_EQ(calls, (std::vector<int>{0, 1, 2, -1}));
}

TEST_F(NotificationCenterTest, QueuedObserverRunsOnItsQueueAfterPostReturns) {
    std::vector<std::string> seen;
    Observation queued = center.addObserver("a", mainQueue(), [&](const Notification& n) {
        seen.push_back(std::any_cast<std::string>(n.object) + "@" + currentQueueLabel());
    });
    Observation inline_ =
        center.addObserver("a", nullptr, [&](const Notification&) { seen.push_back("sync"); });
    center.post("a", std::string("1"));
    center.post("a", std::string("2"));
    EXPECT_EQ(seen, (std::vector<std::string>{"sync", "sync"}));
    EXPECT_TRUE(runMainLoopOnce(0ms));
    EXPECT_EQ(seen, (std::vector<std::string>{"sync", "sync", "1@com.apple.main-thread",
                                              "2@com.apple.main-thread"}));
}

TEST_F(NotificationCenterTest, BlockMayCancelItselfAndALaterObserverOfTheSamePost) {
    int first = 0;
    int second = 0;
    std::optional<Observation> self;
    std::optional<Observation> later;
    self = center.addObserver("a", nullptr, [&](const Notification&) {
        ++first;
        self->cancel();
        later.reset();
    });
    later = center.addObserver("a", nullptr, [&](const Notification&) { ++second; });
    center.post("a");
    center.post("a");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);  // it was due in the same post, after the cancelling block
    EXPECT_FALSE(self->isActive());
}

TEST_F(NotificationCenterTest, CancelStopsAQueuedDeliveryAndReleasesTheBlockAtOnce) {
    int calls = 0;
    auto sentinel = std::make_shared<int>(0);
    std::weak_ptr<int> watch = sentinel;
    Observation observation;
    {
        auto scoped = std::make_unique<NotificationCenter>();
        observation = scoped->addObserver(
            "a", mainQueue(), [&calls, sentinel = std::move(sentinel)](const Notification&) { ++calls; });
        scoped->post("a");
        // The observation may outlive its centre.
    }
    observation.cancel();
    EXPECT_TRUE(watch.expired());  // released although a delivery is still queued
    drain();
    EXPECT_EQ(calls, 0);
    observation.cancel();  // twice is harmless
}

TEST_F(NotificationCenterTest, ConcurrentPostsAndCancelsFromFourThreads) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 500;
    auto queue = makeSerialQueue("test.notifications");
    std::atomic<long> syncSum{0};
    std::atomic<long> queuedSum{0};
    Observation steady = center.addObserver(
        "shared", nullptr, [&](const Notification& n) { syncSum += std::any_cast<int>(n.object); });
    Observation steadyQueued = center.addObserver(
        "shared", queue, [&](const Notification& n) { queuedSum += std::any_cast<int>(n.object); });

    std::atomic<long> churnCalls{0};
    std::vector<std::thread> threads;
    for (int t = 1; t <= kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string own = "own" + std::to_string(t);
            for (int round = 0; round < kRounds; ++round) {
                // Registered and cancelled while the other threads post to it; the block owns
                // what it touches, as another thread's delivery may still be finishing.
                auto payload = std::make_shared<int>(round);
                Observation churn = center.addObserver(
                    "shared", round % 2 ? queue : nullptr,
                    [payload, &churnCalls](const Notification&) { churnCalls += *payload >= 0; });
                int ownCalls = 0;
                Observation counted =
                    center.addObserver(own, nullptr, [&ownCalls](const Notification&) { ++ownCalls; });
                center.post("shared", t);
                center.post(own);
                counted.cancel();
                center.post(own);
                EXPECT_EQ(ownCalls, 1);
                churn.cancel();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    queue->sync([] {});  // every queued delivery has run

    const long expected = static_cast<long>(kRounds) * kThreads * (kThreads + 1) / 2;
    EXPECT_EQ(syncSum, expected);
    EXPECT_EQ(queuedSum, expected);
    EXPECT_GE(churnCalls, kRounds * kThreads / 2);  // at least each synchronous one's own post
}

}  // namespace
}  // namespace platform
