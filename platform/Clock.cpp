#include "platform/Clock.hpp"

#include "platform/NoDestructor.hpp"

namespace platform {

Clock::TimePoint SystemClock::now() const {
    return std::chrono::time_point_cast<Duration>(std::chrono::system_clock::now());
}

Clock::Duration SystemClock::monotonic() const {
    return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
}

ClockPtr systemClock() {
    // Never destroyed: threads that outlive main() may still ask for the time. The
    // pointer owns nothing (aliasing constructor), so copies cost no reference count.
    static NoDestructor<SystemClock> clock;
    return ClockPtr(ClockPtr{}, clock.get());
}

}  // namespace platform
