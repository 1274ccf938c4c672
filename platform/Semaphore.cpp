#include <condition_variable>
#include <mutex>

#include "platform/Deadline.hpp"
#include "platform/Dispatch.hpp"

namespace platform {

struct Semaphore::State {
    std::mutex mutex;
    std::condition_variable signalled;
    long value;  // guarded by mutex; waiters block while it is not positive
};

Semaphore::Semaphore(long value) : state_(std::make_unique<State>()) { state_->value = value; }

Semaphore::~Semaphore() = default;

void Semaphore::signal() {
    std::lock_guard lock(state_->mutex);
    ++state_->value;
    state_->signalled.notify_one();
}

void Semaphore::wait() {
    std::unique_lock lock(state_->mutex);
    state_->signalled.wait(lock, [&] { return state_->value > 0; });
    --state_->value;
}

bool Semaphore::waitFor(std::chrono::nanoseconds timeout) {
    const auto deadline = deadlineAfter(timeout);
    std::unique_lock lock(state_->mutex);
    const auto available = [&] { return state_->value > 0; };
    if (isNever(deadline)) {
        state_->signalled.wait(lock, available);
    } else if (!state_->signalled.wait_until(lock, deadline, available)) {
        return false;
    }
    --state_->value;
    return true;
}

}  // namespace platform
