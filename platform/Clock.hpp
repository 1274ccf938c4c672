#pragma once
// Time as the programs see it, injected so that time-dependent logic is tested with
// a manual clock instead of sleeping.
#include <atomic>
#include <chrono>
#include <memory>

namespace platform {

class Clock {
public:
    using Duration = std::chrono::nanoseconds;
    using TimePoint = std::chrono::time_point<std::chrono::system_clock, Duration>;
    virtual ~Clock() = default;
    // Wall-clock time (dates in logs, file times).
    virtual TimePoint now() const = 0;
    // Monotonic time for deadlines and intervals.
    virtual Duration monotonic() const = 0;
};

using ClockPtr = std::shared_ptr<const Clock>;

class SystemClock final : public Clock {
public:
    TimePoint now() const override;
    Duration monotonic() const override;
};

// The process-wide real clock.
ClockPtr systemClock();

// A clock that moves only when told to. Thread-safe.
class ManualClock final : public Clock {
public:
    explicit ManualClock(TimePoint start = TimePoint{}) : wall_(start.time_since_epoch().count()) {}
    TimePoint now() const override { return TimePoint{Duration{wall_.load()}}; }
    Duration monotonic() const override { return Duration{mono_.load()}; }
    void advance(Duration by) {
        wall_ += by.count();
        mono_ += by.count();
    }
    void setNow(TimePoint t) { wall_ = t.time_since_epoch().count(); }

private:
    std::atomic<Duration::rep> wall_;
    std::atomic<Duration::rep> mono_{0};
};

}  // namespace platform
