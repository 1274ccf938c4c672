// An io thread's loop, on this run's backend (the ring, or Asio's epoll in the
// KIV_NE_IO_URING=0 run), run for real on a thread of its own: the ways work reaches
// it, and that a turn never lets one kind of work starve the others.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ne/IoLoop.hpp"
#include "platform/ne/LoopHeartbeat.hpp"
#include "platform/ne/UringLoop.hpp"

namespace {

using platform::ne::IoLoop;
using namespace std::chrono_literals;

// The loop of a fresh io_context, run on its own thread until the test ends.
class RunningLoop {
public:
    RunningLoop() : work_(asio::make_work_guard(io_)) {
        platform::ne::UringLoop::enable(io_);
        thread_ = std::thread([this] { loop().run(heartbeat_); });
        // Its first turn has taken the thread.
        std::promise<void> started;
        loop().post([&] { started.set_value(); });
        started.get_future().wait();
    }
    // stop() from another thread ends the loop idle in its wait; work posted after it is
    // dropped with the io_context, not run.
    ~RunningLoop() {
        while (!heartbeat_.inWait()) std::this_thread::yield();
        work_.reset();
        loop().stop();
        thread_.join();
        EXPECT_FALSE(heartbeat_.inWait());
    }
    IoLoop& loop() { return IoLoop::of(io_); }
    asio::io_context& io() { return io_; }
    // Runs `work` on the loop's thread and waits for it.
    template <typename Work>
    void onLoop(Work&& work) {
        std::promise<void> done;
        loop().post([&] {
            work();
            done.set_value();
        });
        done.get_future().wait();
    }

private:
    asio::io_context io_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    platform::ne::LoopHeartbeat heartbeat_;
    std::thread thread_;
};

// What each row makes reach the loop; `expected` is the order the loop ran it in.
struct LoopWorkRow {
    const char* name;
    void (*make)(RunningLoop& running, std::vector<std::string>& ran, std::mutex& mutex,
                 std::promise<void>& finished);
    std::string expected;
};

void record(std::vector<std::string>& ran, std::mutex& mutex, const char* what) {
    std::lock_guard lock(mutex);
    ran.emplace_back(what);
}

std::string joined(const std::vector<std::string>& ran) {
    std::string text;
    for (const auto& item : ran) text += (text.empty() ? "" : " ") + item;
    return text;
}

class LoopWork : public ::testing::TestWithParam<LoopWorkRow> {};

TEST_P(LoopWork, RunsInOrderAndWakesTheLoop) {
    RunningLoop running;
    std::vector<std::string> ran;
    std::mutex mutex;
    std::promise<void> finished;
    GetParam().make(running, ran, mutex, finished);
    // Waited for by the work's own end: a loop that is not woken never ends it.
    ASSERT_EQ(finished.get_future().wait_for(10s), std::future_status::ready) << joined(ran);
    std::lock_guard lock(mutex);
    EXPECT_EQ(joined(ran), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LoopWork,
    ::testing::Values(
        // From another thread while the loop waits: the post alone wakes it.
        LoopWorkRow{"PostedFromAnotherThread",
                    [](RunningLoop& running, auto& ran, auto& mutex, auto& finished) {
                        for (const char* what : {"a", "b", "c"}) {
                            running.loop().post([&, what] {
                                record(ran, mutex, what);
                                if (std::string(what) == "c") finished.set_value();
                            });
                        }
                    },
                    "a b c"},
        // From the loop's own thread: in posting order, after the work that posted it.
        LoopWorkRow{"PostedFromItsOwnThread",
                    [](RunningLoop& running, auto& ran, auto& mutex, auto& finished) {
                        running.loop().post([&] {
                            running.loop().post([&] {
                                record(ran, mutex, "second");
                                finished.set_value();
                            });
                            record(ran, mutex, "first");
                        });
                    },
                    "first second"},
        // Through the queue flows are given, as an Asio executor. The queue is found again
        // as the loop's own: the services its work looks up come from its io_context, and a
        // strand over it is not mistaken for it.
        LoopWorkRow{"PostedThroughItsQueue",
                    [](RunningLoop& running, auto& ran, auto& mutex, auto& finished) {
                        auto& loop = running.loop();
                        EXPECT_EQ(platform::ne::ownContextOf(loop.queue()), &running.io());
                        EXPECT_EQ(&IoLoop::of(loop.queue()), &loop);
                        const auto strand = platform::ne::makeQueue(loop.queue());
                        EXPECT_EQ(platform::ne::ownContextOf(strand), nullptr);
                        EXPECT_EQ(&IoLoop::of(strand), &loop);
                        EXPECT_EQ(loop.waitsItself(), platform::ne::UringLoop::of(running.io()) != nullptr);
                        asio::post(loop.queue(), [&] { record(ran, mutex, "queued"); });
                        asio::post(running.loop().queue(), [&] { finished.set_value(); });
                    },
                    "queued"},
        // Timers fire by their time, not their arming; a cancelled one never does, and
        // a re-armed one only at its new time.
        LoopWorkRow{"TimersInTheirOrder",
                    [](RunningLoop& running, auto& ran, auto& mutex, auto& finished) {
                        running.onLoop([&] {
                            auto& loop = running.loop();
                            const auto now = IoLoop::Clock::now();
                            static std::vector<std::unique_ptr<IoLoop::Timer>> timers;
                            timers.clear();
                            const auto make = [&](const char* what, bool last = false) {
                                timers.push_back(std::make_unique<IoLoop::Timer>(loop, [&, what, last] {
                                    record(ran, mutex, what);
                                    if (last) finished.set_value();
                                }));
                                return timers.back().get();
                            };
                            make("late", true)->at(now + 30ms);
                            make("early")->at(now + 5ms);
                            make("cancelled")->at(now + 10ms);
                            timers.back()->cancel();
                            auto* moved = make("moved");
                            moved->at(now + 1ms);
                            moved->at(now + 20ms);
                        });
                    },
                    "early moved late"},
        // A task that posts itself every turn, as a loop of completions might: a due
        // timer and another thread's post still get their turn.
        LoopWorkRow{"ARepostingTaskStarvesNothing",
                    [](RunningLoop& running, auto& ran, auto& mutex, auto& finished) {
                        static std::atomic<bool> spinning;
                        spinning = true;
                        static std::function<void()> again;
                        again = [&running] {
                            if (spinning) running.loop().post([] { again(); });
                        };
                        static std::unique_ptr<IoLoop::Timer> timer;
                        running.onLoop([&] {
                            again();
                            timer = std::make_unique<IoLoop::Timer>(running.loop(), [&] {
                                record(ran, mutex, "timer");
                                running.loop().post([&] {
                                    record(ran, mutex, "posted");
                                    spinning = false;
                                    finished.set_value();
                                });
                            });
                            timer->at(IoLoop::Clock::now() + 2ms);
                        });
                    },
                    "timer posted"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
