#pragma once
// Inside the dispatch layer: delayed work for asyncAfter, kept by one timer thread for
// the whole process. The thread starts with the first delayed item and ends once it
// has had nothing to wait for during the idle timeout.
//
// A delayed item holds its queue: if every handle to the queue is dropped before the
// item is due, the item still runs at its time, and only then does the queue go away.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "platform/QueueCore.hpp"

namespace platform::dispatch {

class DispatchTimer {
public:
    static DispatchTimer& instance();

    // Queues `task` on `queue` once `delay` has passed (at once when not positive).
    void schedule(QueueCorePtr queue, std::chrono::nanoseconds delay, Task task);

private:
    using Key = std::pair<std::chrono::steady_clock::time_point, std::uint64_t>;  // due, order
    struct Entry {
        QueueCorePtr queue;
        Task task;
    };

    void startThreadLocked();
    void loop();

    std::mutex mutex_;
    std::condition_variable changed_;
    // Guarded by mutex_:
    std::map<Key, Entry> entries_;
    std::uint64_t nextOrder_ = 0;
    bool threadRunning_ = false;
};

}  // namespace platform::dispatch
