#pragma once
// Inside the dispatch layer: the shared part of a queue, which outlives the handle
// callers hold while work or timers still refer to it, and the per-thread record of
// which queues' work is running.
#include <memory>
#include <string>

#include "platform/Dispatch.hpp"

namespace platform::dispatch {

class QueueCore : public std::enable_shared_from_this<QueueCore> {
public:
    explicit QueueCore(std::string label) : label_(std::move(label)) {}
    virtual ~QueueCore() = default;
    QueueCore(const QueueCore&) = delete;
    QueueCore& operator=(const QueueCore&) = delete;

    const std::string& label() const { return label_; }
    virtual bool isSerial() const = 0;
    // Queues `task`; a barrier when `barrier` and the queue honours barriers.
    virtual void submit(Task task, bool barrier) = 0;
    // Runs `task` on the queue and returns when it has run; its exception, if any,
    // reaches the caller.
    virtual void runSync(Task task, bool barrier) = 0;
    // The last handle is gone: once the queued work has run, the queue's threads end.
    virtual void orphan() {}

    // True when the calling thread is running work of this queue (sync work run
    // inside other work included).
    bool isCurrent() const;

private:
    const std::string label_;
};

using QueueCorePtr = std::shared_ptr<QueueCore>;

// Marks the calling thread as running work of `queue` while it lives. Scopes nest.
class CurrentQueueScope {
public:
    explicit CurrentQueueScope(const QueueCore& queue);
    ~CurrentQueueScope();
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

    const QueueCore& queue;
    const CurrentQueueScope* const outer;
};

// The innermost queue whose work runs on the calling thread, or null.
const QueueCore* currentQueue();

// Runs an asynchronous work item of `queue` on the calling thread, marked as that
// queue's. An exception it throws is written to the log (there is no caller to hand
// it to) and the queue goes on.
void runWorkItem(const QueueCore& queue, Task& task) noexcept;

}  // namespace platform::dispatch
