#include "platform/QueueCore.hpp"

#include <exception>

#include "platform/NoDestructor.hpp"
#include "platform/SystemLog.hpp"

namespace platform::dispatch {
namespace {

thread_local const CurrentQueueScope* tCurrent = nullptr;

const SystemLog& dispatchLog() {
    static NoDestructor<SystemLog> log("kiv.platform", "dispatch");
    return *log;
}

}  // namespace

CurrentQueueScope::CurrentQueueScope(const QueueCore& q) : queue(q), outer(tCurrent) { tCurrent = this; }

CurrentQueueScope::~CurrentQueueScope() { tCurrent = outer; }

const QueueCore* currentQueue() { return tCurrent != nullptr ? &tCurrent->queue : nullptr; }

bool QueueCore::isCurrent() const {
    for (const CurrentQueueScope* scope = tCurrent; scope != nullptr; scope = scope->outer) {
        if (&scope->queue == this) return true;
    }
    return false;
}

void runWorkItem(const QueueCore& queue, Task& task) noexcept {
    CurrentQueueScope scope(queue);
    try {
        if (task) task();
    } catch (const std::exception& e) {
        dispatchLog().log(LogType::fault,
                          "uncaught exception in work on queue " + queue.label() + ": " + e.what());
    } catch (...) {
        dispatchLog().log(LogType::fault, "uncaught exception in work on queue " + queue.label());
    }
}

}  // namespace platform::dispatch
