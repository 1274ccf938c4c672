#pragma once
// The escalating delays of the retries after a failed save of the DNS-proxy configuration:
// each run takes the next delay, up to the last one, which then repeats; reset() starts over.
// The manager's delays grow as the Fibonacci numbers from 1 s up to a ceiling of 5 minutes: a
// save that keeps failing (a preferences folder that is not writable) is retried ever more
// rarely, instead of every 21 s for good.
//
// A plain value; not locked. Its owner uses it on one queue (the main queue).
#include <functional>
#include <vector>

#include "platform/Dispatch.hpp"

namespace kiv {

struct Throttle {
    // Seconds, in order.
    std::vector<int> throttleValues{1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 300};
    int throttleIndex = 0;  // the next delay's position
    int throttleValuesSize = 14;
    int throttleValuesSizeMaxIndex = 13;  // throttleValuesSize - 1

    Throttle() = default;
    // Delays other than the manager's; an empty list schedules without delay.
    explicit Throttle(std::vector<int> delays);

    // Schedules `block` on `queue` (the main queue unless given) the current delay from now on
    // the process clock, then moves to the next delay.
    void run(std::function<void()> block, const platform::DispatchQueuePtr& queue = platform::mainQueue());
    void reset() { throttleIndex = 0; }
    // The delay the next run takes, in seconds.
    int nextDelay() const;
};

}  // namespace kiv
