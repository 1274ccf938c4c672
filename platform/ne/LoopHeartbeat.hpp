#pragma once
// Whether the extension's io loops keep turning, for the watchdog that tells the
// service manager (or the application supervising the daemon) that the daemon lives.
//
// Each io loop owns one LoopHeartbeat and is its only writer: turnStarted() at the
// top of every turn, waiting(true) just before its blocking wait and waiting(false)
// right after. The control thread reads the heartbeats through a HeartbeatChecker,
// with plain atomics: no lock, nothing for the loop to wait on. Between two readings
// a loop is alive when it started a turn or sits in its wait; a loop that is inside
// one turn at both readings and never finished it (a livelock, a handler that never
// returns) is dead. An idle loop costs the watchdog nothing: it is seen in its wait.
//
// A loop with a wait of its own (IoLoop on the ring) marks it exactly and is never
// woken. One whose wait also runs the first work it wakes for (Asio's run_one: the
// epoll backend, runWithHeartbeat) cannot say where its wait ends; it reports
// waiting throughout, and the checker tells an idle wait from work that never
// returns by waking it (`wake`) once it looks idle: a loop that does not turn by the
// next reading is dead. That is one wake-up per two readings of an idle loop, the
// watchdog's only.
//
// LoopWatchdog reads the checker on the main queue's timer (the process clock) and
// tells systemd WATCHDOG=1 (sd_notify) after each reading that found every loop
// alive, at half the interval systemd asks for (WATCHDOG_USEC); nothing runs when no
// watchdog is asked for.
#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace platform::ne {

class LoopHeartbeat {
public:
    // The loop's thread only.
    void turnStarted() {
        turns_.store(turns_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    void waiting(bool inWait) { waiting_.store(inWait, std::memory_order_relaxed); }

    // Any thread.
    std::uint64_t turns() const { return turns_.load(std::memory_order_relaxed); }
    bool inWait() const { return waiting_.load(std::memory_order_relaxed); }

private:
    // A line of its own: the loop writes it every turn, the checker reads it rarely.
    alignas(64) std::atomic<std::uint64_t> turns_{0};
    std::atomic<bool> waiting_{false};
};

// Reads heartbeats on one thread (not thread-safe itself). The heartbeats outlive it.
class HeartbeatChecker {
public:
    // `wake`, for a loop whose wait runs work (above): makes the loop turn once; any
    // thread may call it.
    void watch(const LoopHeartbeat& heartbeat, std::function<void()> wake = {});
    // Reads every heartbeat; true when every loop was alive since the last reading
    // (or since it was watched).
    bool read();
    // The loops (by the order they were watched) that the last reading found dead.
    const std::vector<std::size_t>& dead() const { return dead_; }

private:
    struct Watched {
        const LoopHeartbeat* heartbeat;
        std::function<void()> wake;
        std::uint64_t turns = 0;
        bool woken = false;       // woken at the last reading, not turned since
        bool wasWaiting = false;  // waiting at the last reading
    };
    std::vector<Watched> loops_;
    std::vector<std::size_t> dead_;
};

// Runs `io` as an io thread's loop until it stops, beating `heartbeat` once per
// handler. Its wait runs work (above): watch it with wakeLoop(io).
void runWithHeartbeat(asio::io_context& io, LoopHeartbeat& heartbeat);
std::function<void()> wakeLoop(asio::io_context& io);

class LoopWatchdog {
public:
    // Says WATCHDOG=1; sd_notify unless tests give another.
    using Notify = std::function<void()>;
    // The interval systemd (or the supervising application) asks for; nullopt when
    // none is asked for.
    static std::optional<std::chrono::microseconds> requestedInterval();

    // Reads `checker` every `interval` / 2 from now on, until destroyed; `onDead` is
    // told of each reading that found a loop dead (the loops' indexes). The main
    // thread's: made, read and destroyed there.
    LoopWatchdog(HeartbeatChecker checker, std::chrono::nanoseconds interval, Notify notify = {},
                 std::function<void(const std::vector<std::size_t>&)> onDead = {});
    ~LoopWatchdog();
    LoopWatchdog(const LoopWatchdog&) = delete;
    LoopWatchdog& operator=(const LoopWatchdog&) = delete;

private:
    struct State;
    static void schedule(const std::shared_ptr<State>& state);
    std::shared_ptr<State> state_;
};

}  // namespace platform::ne
