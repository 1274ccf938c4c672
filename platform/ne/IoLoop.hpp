#pragma once
// The loop of one io thread: its one wait, its posted work, its timers. One per
// io_context (a service of it), run by the one thread that serves that io_context's
// sockets and flows; whatever it owns is that thread's and takes no lock.
//
// The backend is chosen once per process, when the host enables the rings
// (UringLoop::enable: every io thread alike), and the loop's interface is the same
// on both:
// - ring: the ring is the thread's only wait (io_uring_submit_and_wait_timeout,
//   to the next timer). A turn runs the work posted before it began, the timers
//   due, the completions present when the reap began and the work they deferred;
//   the entries they made go in with the wait that ends the turn. Work posted from
//   another thread wakes the wait through the ring (its read of an eventfd).
// - epoll: Asio's io_context is the loop (run_one); posts are the io_context's own,
//   and the timer list wakes it through one Asio timer.
//
// A ring loop that no thread runs yet (set-up on the main thread, or tests that run
// the io_context themselves) forwards its posts and timers to Asio; run() or
// runFor() takes the thread for good, and what was forwarded still runs.
#include <sys/eventfd.h>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/FileDescriptor.hpp"
#include "platform/ne/Queue.hpp"
#include "platform/ne/UringLoop.hpp"

namespace platform::ne {

class LoopHeartbeat;

class IoLoop final : public asio::execution_context::service {
public:
    using key_type = IoLoop;
    static asio::execution_context::id id;
    using Clock = std::chrono::steady_clock;
    using Task = asio::detail::executor_function;

    explicit IoLoop(asio::execution_context& context);
    ~IoLoop() override;
    IoLoop(const IoLoop&) = delete;
    IoLoop& operator=(const IoLoop&) = delete;

    static IoLoop& of(asio::io_context& io) { return asio::use_service<IoLoop>(io); }
    static IoLoop& of(const Queue& queue);

    // The queue of this thread's work, whichever the backend and whenever the ring is
    // set up: what is posted to it reaches the loop (through Asio's queue where Asio
    // waits).
    Queue queue();
    asio::io_context& context() const { return io_; }

    // Runs `task` in a later turn (any thread); dropped once the loop has shut down.
    void post(Task task);
    template <typename Function>
    void post(Function&& function) {
        post(Task(std::forward<Function>(function), std::allocator<void>()));
    }

    // The thread's loop until stop(), beating `heartbeat` once per turn.
    void run(LoopHeartbeat& heartbeat);
    // Tests: a turn, waiting at most `most` for work first when none is ready; also
    // runs Asio's ready handlers each turn (a test's own sockets and timers on the
    // same io_context). Whether anything ran.
    bool runFor(std::chrono::nanoseconds most);
    // Ends run() after the turn under way (any thread).
    void stop();
    // Whether the loop's wait is its own (the ring): the heartbeat then says exactly
    // when it waits, and the watchdog never needs to wake it.
    bool waitsItself() const { return UringLoop::of(io_) != nullptr; }
    // The loop's thread, or anyone before a thread first ran it.
    bool inThread() const {
        const auto owner = owner_.load(std::memory_order_relaxed);
        return owner == std::thread::id() || owner == std::this_thread::get_id();
    }
    // Whether the caller runs inside this loop now: its thread once a ring loop took
    // it, else whoever runs the io_context at the moment.
    bool runningHere() const;
    std::uint64_t turns() const { return turns_; }
    // Made with the ring (UringLoop's set-up, on the thread that sets the host up): the
    // eventfd through which other threads' posts wake the ring's wait. False (errno
    // set) when it cannot be made: the ring is not used then.
    bool prepareWake();
    // The ring entries the loop holds for itself (its wake-up read): tests.
    std::size_t ownEntries() const { return wakeRead_ && wakeRead_->armed ? 1 : 0; }

    // One deadline on the loop's ordered list, armed at one time at most. Its
    // functions belong to the loop's thread; called from another they are posted
    // there. Destroy it on that thread or once the loop has stopped.
    class Timer {
    public:
        Timer(IoLoop& loop, std::function<void()> fire) : loop_(&loop), fire_(std::move(fire)) {}
        ~Timer() { unlink(); }
        Timer(const Timer&) = delete;
        Timer& operator=(const Timer&) = delete;

        void at(Clock::time_point when);
        void cancel();
        bool armed() const { return armed_; }

    private:
        friend class IoLoop;
        void unlink();
        IoLoop* loop_;
        std::function<void()> fire_;
        bool armed_ = false;
        std::multimap<Clock::time_point, Timer*>::iterator place_;
    };

private:
    friend void postToLoop(IoLoop& loop, Task task);
    struct WakeRead : UringOperation {
        IoLoop* loop = nullptr;
        std::uint64_t value = 0;
        bool armed = false;
    };

    void shutdown() override;
    void claim() {
        if (owner_.load(std::memory_order_relaxed) == std::thread::id())
            owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    // Takes the thread for the ring; false on the epoll backend.
    bool drive();
    void turn();
    // How long the wait may last: zero while work is ready, else to the next timer
    // (capped at `most`); nullopt for as long as it takes.
    std::optional<std::chrono::nanoseconds> waitLimit(std::optional<std::chrono::nanoseconds> most) const;
    std::size_t runPosts();
    std::size_t runTimers();
    void timersChanged();
    void armAsioTimer();
    void armWakeRead();
    static void wakeReadDone(UringOperation& operation, const io_uring_cqe& cqe);
    void wake();

    asio::io_context& io_;
    std::atomic<std::thread::id> owner_{};
    UringLoop* ring_ = nullptr;  // once driven
    std::atomic<bool> driven_{false};
    std::atomic<bool> stopAsked_{false};
    std::atomic<bool> shutDown_{false};
    bool hybrid_ = false;                      // runFor: Asio's handlers every turn
    std::atomic<std::uint64_t> asioPosts_{0};  // forwarded to Asio
    std::uint64_t asioSeen_ = 0;
    std::vector<Task> local_;  // posted from the loop's thread
    std::vector<Task> running_;
    std::mutex remoteMutex_;
    std::vector<Task> remote_;  // remoteMutex_: posted from other threads
    // Set with remote_ filled (under remoteMutex_), cleared as a turn takes it: work is
    // waiting, and the eventfd was written for it.
    std::atomic<bool> wakeSignalled_{false};
    FileDescriptor wakeFd_;
    WakeRead* wakeRead_ = nullptr;  // in the ring's slot `wakeSlot_`, once driven
    UringSlot wakeSlot_;
    std::multimap<Clock::time_point, Timer*> timers_;
    // Wakes Asio's loop for the earliest timer where Asio waits (epoll, or a ring
    // loop no thread runs yet). Made with the loop, so that Asio's timer service
    // outlives it.
    asio::steady_timer asioTimer_;
    std::optional<Clock::time_point> asioTimerAt_;
    std::uint64_t turns_ = 0;
};

}  // namespace platform::ne
