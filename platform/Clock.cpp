#include "platform/Clock.hpp"

#include "platform/DispatchTimer.hpp"
#include "platform/NoDestructor.hpp"

namespace platform {
namespace {

struct ProcessClockState {
    std::mutex setting;  // one setProcessClock at a time, so the timers follow in order
    std::mutex reading;
    ClockPtr clock;  // guarded by reading; null: the system clock
};

ProcessClockState& processClockState() {
    // Never destroyed, like the timer that refers to the clock it holds.
    static NoDestructor<ProcessClockState> state;
    return *state;
}

}  // namespace

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

ClockPtr processClock() {
    auto& state = processClockState();
    std::lock_guard lock(state.reading);
    return state.clock ? state.clock : systemClock();
}

void setProcessClock(ClockPtr clock) {
    if (!clock) clock = systemClock();
    auto& state = processClockState();
    std::lock_guard setting(state.setting);
    {
        std::lock_guard lock(state.reading);
        state.clock = clock;
    }
    dispatch::DispatchTimer::instance().useClock(std::move(clock));
}

void ManualClock::advance(Duration by) {
    // Under the watch lock, so that concurrent moves are told one at a time and each
    // returns only once the work due at its own time has been handed over.
    std::lock_guard lock(watchers_->mutex);
    wall_ += by.count();
    mono_ += by.count();
    for (const auto& [id, onMove] : watchers_->byId) onMove();
}

ClockWatch ManualClock::watchMoves(std::function<void()> onMove) const {
    std::lock_guard lock(watchers_->mutex);
    const std::uint64_t id = watchers_->nextId++;
    watchers_->byId.emplace(id, std::move(onMove));
    return ClockWatch([weak = std::weak_ptr<Watchers>(watchers_), id] {
        if (const auto watchers = weak.lock()) {
            std::lock_guard lock(watchers->mutex);
            watchers->byId.erase(id);
        }
    });
}

}  // namespace platform
