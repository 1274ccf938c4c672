#pragma once
// Time as the programs see it, injected so that time-dependent logic is tested with
// a manual clock instead of sleeping.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace platform {

// Ends a watch on a clock's moves (Clock::watchMoves) when destroyed. Move-only.
class ClockWatch {
public:
    ClockWatch() = default;
    explicit ClockWatch(std::function<void()> end) : end_(std::move(end)) {}
    ClockWatch(ClockWatch&& other) noexcept : end_(std::exchange(other.end_, nullptr)) {}
    ClockWatch& operator=(ClockWatch&& other) noexcept {
        if (this != &other) {
            reset();
            end_ = std::exchange(other.end_, nullptr);
        }
        return *this;
    }
    ClockWatch(const ClockWatch&) = delete;
    ClockWatch& operator=(const ClockWatch&) = delete;
    ~ClockWatch() { reset(); }

    void reset() {
        if (auto end = std::exchange(end_, nullptr)) end();
    }
    explicit operator bool() const { return static_cast<bool>(end_); }

private:
    std::function<void()> end_;
};

class Clock {
public:
    using Duration = std::chrono::nanoseconds;
    using TimePoint = std::chrono::time_point<std::chrono::system_clock, Duration>;
    virtual ~Clock() = default;
    // Wall-clock time (dates in logs, file times).
    virtual TimePoint now() const = 0;
    // Monotonic time for deadlines and intervals.
    virtual Duration monotonic() const = 0;
    // For timers. A clock that moves only when told calls `onMove` after each move of
    // its monotonic time, on the moving thread and before the move returns, until the
    // returned watch is destroyed; timers then fire from there and never wait in real
    // time. A clock that moves by itself returns an empty watch and never calls it:
    // timers wait on it in real time.
    // NOLINTNEXTLINE(performance-unnecessary-value-param): the overrides keep `onMove`
    virtual ClockWatch watchMoves(std::function<void()> onMove) const {
        (void)onMove;
        return {};
    }
};

using ClockPtr = std::shared_ptr<const Clock>;

class SystemClock final : public Clock {
public:
    TimePoint now() const override;
    Duration monotonic() const override;
};

// The process-wide real clock.
ClockPtr systemClock();

// The clock of the process's timers (asyncAfter on every queue); systemClock() unless
// set. Any thread.
ClockPtr processClock();
// Tests install a ManualClock here. Set it before any delayed work is scheduled, or at
// a moment when none is pending: work already waiting keeps the delay it had left on
// the old clock and waits that long on the new one (work whose time had come runs at
// once). Null restores the system clock. Any thread.
void setProcessClock(ClockPtr clock);

// A clock that moves only when told to. Thread-safe. Moving it hands the timers the
// work that has become due before advance() returns (see Clock::watchMoves); a watcher
// runs with the clock's watch lock held, so it must neither move this clock nor end a
// watch on it.
class ManualClock final : public Clock {
public:
    explicit ManualClock(TimePoint start = TimePoint{}) : wall_(start.time_since_epoch().count()) {}
    TimePoint now() const override { return TimePoint{Duration{wall_.load()}}; }
    Duration monotonic() const override { return Duration{mono_.load()}; }
    // Moves wall and monotonic time by `by`, then tells the watchers. Concurrent moves
    // are told one at a time.
    void advance(Duration by);
    // Sets wall time only; monotonic time never goes back.
    void setNow(TimePoint t) { wall_ = t.time_since_epoch().count(); }

    ClockWatch watchMoves(std::function<void()> onMove) const override;

private:
    struct Watchers {
        std::mutex mutex;
        std::map<std::uint64_t, std::function<void()>> byId;  // guarded by mutex
        std::uint64_t nextId = 0;                             // guarded by mutex
    };

    std::atomic<Duration::rep> wall_;
    std::atomic<Duration::rep> mono_{0};
    // Shared with the watches, which may outlive the clock.
    const std::shared_ptr<Watchers> watchers_ = std::make_shared<Watchers>();
};

}  // namespace platform
