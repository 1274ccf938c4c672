#pragma once
// A log line that a flood would repeat (a datagram over a cap, a connect without descriptors, a
// forged reply): the first goes out at once, then at most one per interval (10 s unless told) of
// the monotonic clock the caller reads, so the log costs a line per interval, not one per event.
// What such a line counts (drops so far) the caller keeps; the limiter counts nothing.
//
// Threads: any; lock-free. Of callers racing at one instant, exactly one is let through.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

namespace platform {

class LogLimiter {
public:
    static constexpr std::chrono::nanoseconds kDefaultInterval = std::chrono::seconds(10);

    constexpr explicit LogLimiter(std::chrono::nanoseconds interval = kDefaultInterval)
        : interval_(interval.count()) {}
    LogLimiter(const LogLimiter&) = delete;
    LogLimiter& operator=(const LogLimiter&) = delete;

    // Whether the line due at `now` goes out: the first always does, a later one once the
    // interval has passed since the last one that did.
    bool allow(std::chrono::nanoseconds now) {
        const std::int64_t at = now.count();
        std::int64_t last = last_.load(std::memory_order_relaxed);
        if (last != kNever && at - last < interval_) return false;
        return last_.compare_exchange_strong(last, at, std::memory_order_relaxed);
    }
    // The same on std::chrono::steady_clock, for callers that have no clock of their own.
    bool allowNow() { return allow(std::chrono::steady_clock::now().time_since_epoch()); }

private:
    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();
    const std::int64_t interval_;
    std::atomic<std::int64_t> last_{kNever};
};

}  // namespace platform
