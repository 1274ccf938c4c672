#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <thread>
#include <vector>

#include "dnsproxy/ReplyDeadlines.hpp"
#include "fakes/ne/IoRunner.hpp"

namespace {

using dnsproxy::ReplyDeadlines;
using Clock = ReplyDeadlines::Clock;
using namespace std::chrono_literals;

class TestWaiter final : public ReplyDeadlines::Waiter, public std::enable_shared_from_this<TestWaiter> {
public:
    TestWaiter(platform::ne::Queue queue, int name, std::vector<int>* order)
        : queue_(std::move(queue)), deadlines_(ReplyDeadlines::of(queue_)), name_(name), order_(order) {}
    ~TestWaiter() { deadlines_.cancel(*this); }

    void arm(Clock::duration length, std::shared_ptr<void> owner = nullptr) {
        armAt(Clock::now(), length, std::move(owner));
    }
    void armAt(Clock::time_point base, Clock::duration length, std::shared_ptr<void> owner = nullptr) {
        due = base + length;
        deadlines_.arm(*this, due, length, std::move(owner));
    }
    void cancel() { deadlines_.cancel(*this); }

    Clock::time_point due;
    Clock::time_point expiredAt;
    std::atomic<int> expirations{0};

private:
    void deadlineExpired(std::shared_ptr<void> owner) override {
        asio::post(queue_, [weak = weak_from_this(), owner = std::move(owner)] {
            if (auto self = weak.lock()) {
                self->expiredAt = Clock::now();
                if (self->order_) self->order_->push_back(self->name_);
                ++self->expirations;
            }
        });
    }

    platform::ne::Queue queue_;
    ReplyDeadlines& deadlines_;
    int name_;
    std::vector<int>* order_;
};

TEST(ReplyDeadlinesTest, ExpireInOrderOfTheirTimeNotOfArmingAndNeverEarly) {
    asio::io_context io;
    const platform::ne::Queue queue = io.get_executor();
    std::vector<int> order;
    struct Case {
        int name;
        Clock::duration length;
    };
    // Lengths of every kind, armed out of order: the list must sort them.
    const Case cases[] = {{3, 60ms}, {1, 20ms}, {4, 80ms}, {2, 40ms}, {5, 100ms}};
    std::vector<std::shared_ptr<TestWaiter>> waiters;
    const auto base = Clock::now();  // one base: the order cannot depend on when each was armed
    for (const auto& c : cases) {
        waiters.push_back(std::make_shared<TestWaiter>(queue, c.name, &order));
        waiters.back()->armAt(base, c.length);
    }
    EXPECT_EQ(ReplyDeadlines::of(queue).size(), 5u);
    ASSERT_TRUE(fakes::runUntil(io, [&] { return order.size() == 5; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
    for (const auto& waiter : waiters) {
        EXPECT_GE(waiter->expiredAt, waiter->due);
        EXPECT_EQ(waiter->expirations, 1);
    }
    EXPECT_EQ(ReplyDeadlines::of(queue).size(), 0u);
}

TEST(ReplyDeadlinesTest, CancelledAndRearmedDeadlinesAndTheirOwners) {
    asio::io_context io;
    const platform::ne::Queue queue = io.get_executor();
    auto& deadlines = ReplyDeadlines::of(queue);

    // Cancelled: the owner is let go at once and nothing expires.
    auto cancelled = std::make_shared<TestWaiter>(queue, 1, nullptr);
    auto owner = std::make_shared<int>(1);
    cancelled->arm(10ms, owner);
    EXPECT_EQ(owner.use_count(), 2);
    cancelled->cancel();
    EXPECT_EQ(owner.use_count(), 1);
    EXPECT_FALSE(deadlines.expiry(*cancelled));

    // Re-armed later: expires once, at the later time.
    auto rearmed = std::make_shared<TestWaiter>(queue, 2, nullptr);
    rearmed->arm(10ms, owner);
    rearmed->arm(60ms, owner);
    EXPECT_EQ(owner.use_count(), 2);  // the first hold was let go
    // A waiter that is dropped while armed leaves the list.
    {
        auto dropped = std::make_shared<TestWaiter>(queue, 3, nullptr);
        dropped->arm(5ms);
    }
    EXPECT_EQ(deadlines.size(), 1u);
    ASSERT_TRUE(fakes::runUntil(io, [&] { return rearmed->expirations == 1; }));
    EXPECT_GE(rearmed->expiredAt, rearmed->due);
    fakes::drain(io);
    EXPECT_EQ(owner.use_count(), 1);  // handed to the expiry, released after it ran
    EXPECT_EQ(cancelled->expirations, 0);
}

TEST(ReplyDeadlinesTest, OwnersAreReleasedWhenTheContextEndsWithDeadlinesArmed) {
    std::weak_ptr<TestWaiter> watch;
    auto owner = std::make_shared<int>(7);
    {
        asio::io_context io;
        const platform::ne::Queue queue = io.get_executor();
        // The waiter is owned only through its own pending deadline.
        auto waiter = std::make_shared<TestWaiter>(queue, 1, nullptr);
        waiter->arm(std::chrono::hours(1), waiter);
        watch = waiter;
        // This one holds `owner` and is itself held only by its own deadline too, so
        // that only the end of the context can let `owner` go.
        auto other = std::make_shared<TestWaiter>(queue, 2, nullptr);
        struct Both {
            std::shared_ptr<TestWaiter> self;
            std::shared_ptr<int> owner;
        };
        other->arm(std::chrono::hours(1), std::make_shared<Both>(Both{other, owner}));
        other.reset();
        waiter.reset();
        EXPECT_EQ(owner.use_count(), 2);
        EXPECT_FALSE(watch.expired());
        fakes::drain(io);
    }
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(owner.use_count(), 1);
}

TEST(ReplyDeadlinesTest, ArmsAndCancelsFromManyThreadsWhileTheTimerRuns) {
    asio::io_context io;
    auto guard = asio::make_work_guard(io);
    std::thread runner([&] { io.run(); });
    const platform::ne::Queue queue = io.get_executor();
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    std::vector<std::vector<std::shared_ptr<TestWaiter>>> kept(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                auto waiter = std::make_shared<TestWaiter>(queue, i, nullptr);
                // Those cancelled or moved are first armed far out, so that no first
                // deadline can pass before its cancel or re-arm.
                if (i % 3 == 0) {
                    waiter->arm(std::chrono::hours(1));
                    waiter->cancel();
                } else if (i % 3 == 1) {
                    waiter->arm(std::chrono::hours(1));
                    waiter->arm(std::chrono::microseconds(500));
                } else {
                    waiter->arm(std::chrono::microseconds(100 + (i % 7) * 300));
                }
                kept[t].push_back(std::move(waiter));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const auto expected = [&] {
        for (const auto& list : kept) {
            for (std::size_t i = 0; i < list.size(); ++i) {
                if (list[i]->expirations != (i % 3 == 0 ? 0 : 1)) return false;
            }
        }
        return true;
    };
    const auto until = Clock::now() + 10s;
    while (!expected() && Clock::now() < until) std::this_thread::yield();
    guard.reset();
    io.stop();
    runner.join();
    EXPECT_TRUE(expected());
    EXPECT_EQ(ReplyDeadlines::of(queue).size(), 0u);
}

}  // namespace
