#include "platform/DispatchTimer.hpp"

#include <algorithm>
#include <thread>

#include "platform/DispatchThreads.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/SystemLog.hpp"

namespace platform::dispatch {
namespace {

using Duration = Clock::Duration;
constexpr Duration kNever = Duration::max();
// The longest single wait of the timer thread; a later item is waited for in turns, so
// that no wait overflows whatever the clock's origin.
constexpr Duration kLongestWait = std::chrono::hours(1);

// `now + delay`, saturating at kNever, so that "wait for nanoseconds::max()" means never.
Duration dueAfter(Duration now, Duration delay) {
    if (now > Duration::zero() && delay >= kNever - now) return kNever;
    return now + delay;
}

}  // namespace

DispatchTimer& DispatchTimer::instance() {
    // Never destroyed: the detached timer thread may still be waiting while the
    // process exits.
    static NoDestructor<DispatchTimer> timer;
    return *timer;
}

void DispatchTimer::schedule(QueueCorePtr queue, std::chrono::nanoseconds delay, Task task) {
    if (delay <= std::chrono::nanoseconds::zero()) {
        queue->submit(std::move(task), false);
        return;
    }
    std::lock_guard lock(mutex_);
    const Duration due = dueAfter(clock_->monotonic(), delay);
    const bool first = entries_.empty() || due < entries_.begin()->first.first;
    entries_.emplace(Key{due, nextOrder_++}, Entry{std::move(queue), std::move(task)});
    if (toldOfMoves_) return;  // the clock's next move queues it
    if (!threadRunning_) {
        startThreadLocked();
    } else if (first) {
        changed_.notify_one();
    }
}

void DispatchTimer::useClock(ClockPtr clock) {
    // The watch is taken outside mutex_: a move holds the clock's watch lock while it
    // calls onClockMoved, which takes mutex_. Until clock_ is swapped below, a move of
    // the new clock finds it is not ours yet and does nothing; the rebase then counts
    // from the new clock's time as it is under the lock.
    ClockWatch watch = clock->watchMoves([this, moved = clock.get()] { onClockMoved(moved); });
    std::vector<Entry> due;
    ClockPtr old;
    {
        std::lock_guard lock(mutex_);
        if (clock_ == clock) return;  // `watch` ends unused
        const Duration oldNow = clock_->monotonic();
        const Duration newNow = clock->monotonic();
        std::map<Key, Entry> rebased;
        for (auto& [key, entry] : entries_) {
            const auto [at, order] = key;
            if (at == kNever) {
                rebased.emplace(key, std::move(entry));
            } else if (at <= oldNow) {
                due.push_back(std::move(entry));
            } else {
                rebased.emplace(Key{dueAfter(newNow, at - oldNow), order}, std::move(entry));
            }
        }
        entries_ = std::move(rebased);
        old = std::exchange(clock_, std::move(clock));
        toldOfMoves_ = static_cast<bool>(watch);
        if (!toldOfMoves_ && !entries_.empty() && !threadRunning_) {
            startThreadLocked();
        } else {
            changed_.notify_one();  // a waiting thread re-reads clock_
        }
    }
    std::swap(watch_, watch);
    watch.reset();  // the old clock's watch ends before that clock may go
    submitAll(due);
}

void DispatchTimer::onClockMoved(const Clock* clock) {
    std::vector<Entry> due;
    {
        std::lock_guard lock(mutex_);
        if (clock_.get() != clock) return;
        due = takeDueLocked(clock_->monotonic());
    }
    submitAll(due);
}

std::vector<DispatchTimer::Entry> DispatchTimer::takeDueLocked(Duration now) {
    std::vector<Entry> due;
    while (!entries_.empty() && entries_.begin()->first.first <= now) {
        due.push_back(std::move(entries_.begin()->second));
        entries_.erase(entries_.begin());
    }
    return due;
}

void DispatchTimer::submitAll(std::vector<Entry>& due) {
    for (Entry& entry : due) entry.queue->submit(std::move(entry.task), false);
    due.clear();  // queue references dropped here, outside every lock
}

void DispatchTimer::startThreadLocked() {
    threadRunning_ = true;
    try {
        std::thread([this] {
            nameThisThread("dispatch-timer");
            loop();
        }).detach();
    } catch (const std::exception& e) {
        threadRunning_ = false;
        // The entry stays; the next asyncAfter tries again.
        static NoDestructor<SystemLog> log("kiv.platform", "dispatch");
        log->log(LogType::fault, std::string("cannot start the dispatch timer thread: ") + e.what());
    }
}

void DispatchTimer::loop() {
    std::unique_lock lock(mutex_);
    const auto waiting = [&] { return !toldOfMoves_ && !entries_.empty(); };
    for (;;) {
        if (!waiting()) {
            if (!changed_.wait_for(lock, dispatchIdleTimeout(), waiting)) {
                threadRunning_ = false;
                return;
            }
            continue;
        }
        const Duration now = clock_->monotonic();
        const Duration next = entries_.begin()->first.first;
        if (next > now) {
            if (next == kNever) {
                changed_.wait(lock);
            } else {
                changed_.wait_for(lock, std::min(next - now, kLongestWait));
            }
            continue;
        }
        std::vector<Entry> due = takeDueLocked(now);
        lock.unlock();
        submitAll(due);
        lock.lock();
    }
}

}  // namespace platform::dispatch
