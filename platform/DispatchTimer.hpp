#pragma once
// Inside the dispatch layer: delayed work for asyncAfter, timed on the process clock
// (platform/Clock.hpp) and kept in one place for the whole process.
//
// On a clock that moves by itself (the system clock) one timer thread waits for the
// next due time; it starts with the first delayed item and ends once it has had
// nothing to wait for during the idle timeout. On a clock that moves only when told
// (ManualClock) nothing waits: each move hands the work that has become due to its
// queues, in due order (ties in scheduling order), before the move returns.
//
// A delayed item holds its queue: if every handle to the queue is dropped before the
// item is due, the item still runs at its time, and only then does the queue go away.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/QueueCore.hpp"

namespace platform::dispatch {

class DispatchTimer {
public:
    static DispatchTimer& instance();

    // Queues `task` on `queue` once `delay` has passed on the process clock (at once
    // when not positive). Any thread.
    void schedule(QueueCorePtr queue, std::chrono::nanoseconds delay, Task task);

    // The process clock is now `clock`: pending work keeps the delay it had left and
    // waits that long on `clock`; work already due is queued at once. Called by
    // setProcessClock, one call at a time.
    void useClock(ClockPtr clock);

private:
    using Key = std::pair<Clock::Duration, std::uint64_t>;  // due on clock_'s monotonic time, order
    struct Entry {
        QueueCorePtr queue;
        Task task;
    };

    // The clock whose move is told is still the timers' clock: queues what is due.
    void onClockMoved(const Clock* clock);
    std::vector<Entry> takeDueLocked(Clock::Duration now);
    static void submitAll(std::vector<Entry>& due);
    void startThreadLocked();
    void loop();

    std::mutex mutex_;
    std::condition_variable changed_;
    // Guarded by mutex_:
    ClockPtr clock_ = systemClock();
    bool toldOfMoves_ = false;  // clock_ moves only when told: nothing to wait for
    std::map<Key, Entry> entries_;
    std::uint64_t nextOrder_ = 0;
    bool threadRunning_ = false;
    // Touched only by useClock, which is called one at a time.
    ClockWatch watch_;
};

}  // namespace platform::dispatch
