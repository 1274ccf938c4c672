#pragma once
// Inside the platform layer: a steady-clock deadline `d` from now that saturates
// instead of overflowing, so that "wait for hours::max()" means "no limit".
#include <chrono>

namespace platform {

template <typename Rep, typename Period>
std::chrono::steady_clock::time_point deadlineAfter(std::chrono::duration<Rep, Period> d) {
    using std::chrono::steady_clock;
    const auto now = steady_clock::now();
    if (d <= d.zero()) return now;
    const auto room =
        std::chrono::duration_cast<std::chrono::duration<Rep, Period>>(steady_clock::time_point::max() - now);
    if (d >= room) return steady_clock::time_point::max();
    return now + std::chrono::duration_cast<steady_clock::duration>(d);
}

inline bool isNever(std::chrono::steady_clock::time_point deadline) {
    return deadline == std::chrono::steady_clock::time_point::max();
}

}  // namespace platform
