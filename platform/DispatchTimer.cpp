#include "platform/DispatchTimer.hpp"

#include <thread>
#include <vector>

#include "platform/Deadline.hpp"
#include "platform/DispatchThreads.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/SystemLog.hpp"

namespace platform::dispatch {

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
    const auto due = deadlineAfter(delay);
    std::lock_guard lock(mutex_);
    const bool first = entries_.empty() || due < entries_.begin()->first.first;
    entries_.emplace(Key{due, nextOrder_++}, Entry{std::move(queue), std::move(task)});
    if (!threadRunning_) {
        startThreadLocked();
    } else if (first) {
        changed_.notify_one();
    }
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
    std::vector<Entry> due;
    for (;;) {
        if (entries_.empty()) {
            if (!changed_.wait_for(lock, dispatchIdleTimeout(), [&] { return !entries_.empty(); })) {
                threadRunning_ = false;
                return;
            }
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        const auto next = entries_.begin()->first.first;
        if (next > now) {
            if (isNever(next)) {
                changed_.wait(lock);
            } else {
                changed_.wait_until(lock, next);
            }
            continue;
        }
        while (!entries_.empty() && entries_.begin()->first.first <= now) {
            due.push_back(std::move(entries_.begin()->second));
            entries_.erase(entries_.begin());
        }
        lock.unlock();
        for (Entry& entry : due) entry.queue->submit(std::move(entry.task), false);
        due.clear();  // queue references dropped outside the lock
        lock.lock();
    }
}

}  // namespace platform::dispatch
