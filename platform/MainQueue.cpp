#include "platform/MainQueue.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>

#include "platform/Deadline.hpp"
#include "platform/NoDestructor.hpp"

namespace platform::dispatch {
namespace {

// The thread that last turned the main loop; 0 before any did.
std::atomic<pid_t> gMainThread{0};

}  // namespace

pid_t currentThreadId() {
    thread_local const pid_t id = ::gettid();
    return id;
}

const std::shared_ptr<MainQueue>& MainQueue::instance() {
    // Never destroyed: queued work and timers may refer to it while the process exits.
    static NoDestructor<std::shared_ptr<MainQueue>> queue(std::make_shared<MainQueue>());
    return *queue;
}

MainQueue::MainQueue() : QueueCore("com.apple.main-thread") {}

// One turn of the loop by the calling thread, held for the object's life.
class MainQueue::Turn {
public:
    Turn(MainQueue& queue, std::unique_lock<std::mutex>& lock, const Deadline& deadline)
        : queue_(queue), lock_(lock), held_(queue.acquireLocked(lock, deadline)) {}
    ~Turn() {
        if (!held_) return;
        if (!lock_.owns_lock()) lock_.lock();
        queue_.releaseLocked();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    bool held() const { return held_; }

private:
    MainQueue& queue_;
    std::unique_lock<std::mutex>& lock_;
    const bool held_;
};

bool MainQueue::acquireLocked(std::unique_lock<std::mutex>& lock, const Deadline& deadline) {
    const pid_t me = currentThreadId();
    const auto free = [&] { return turner_ == 0 || turner_ == me; };
    if (deadline) {
        if (!changed_.wait_until(lock, *deadline, free)) return false;
    } else {
        changed_.wait(lock, free);
    }
    turner_ = me;
    ++depth_;
    gMainThread.store(me);
    return true;
}

void MainQueue::releaseLocked() {
    if (--depth_ == 0) {
        turner_ = 0;
        changed_.notify_all();
    }
}

bool MainQueue::runQueuedLocked(std::unique_lock<std::mutex>& lock, std::size_t count) {
    bool ran = false;
    for (std::size_t i = 0; i < count && !pending_.empty(); ++i) {
        Task task = std::move(pending_.front());
        pending_.pop_front();
        lock.unlock();
        runWorkItem(*this, task);
        task = nullptr;  // captures released outside the lock
        lock.lock();
        ran = true;
    }
    return ran;
}

void MainQueue::submit(Task task, bool /*barrier: the main queue is serial*/) {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(task));
    changed_.notify_all();
    if (waker_) waker_();
}

void MainQueue::runSync(Task task, bool /*barrier*/) {
    if (isCurrent()) {
        CurrentQueueScope scope(*this);
        task();
        return;
    }
    if (isMainThread()) {
        // The main thread is not inside main-queue work: nobody else would run the
        // item, so it turns the loop itself for the work queued before, then runs it.
        std::unique_lock lock(mutex_);
        Turn turn(*this, lock, std::nullopt);
        runQueuedLocked(lock, pending_.size());
        lock.unlock();
        CurrentQueueScope scope(*this);
        task();
        return;
    }
    // Held by the item, so that the item never refers to this frame once the waiter
    // has been released.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    submit(
        [task = std::move(task), done] {
            try {
                task();
                done->set_value();
            } catch (...) {
                done->set_exception(std::current_exception());
            }
        },
        false);
    finished.get();
}

void MainQueue::run() {
    std::unique_lock lock(mutex_);
    Turn turn(*this, lock, std::nullopt);
    for (;;) {
        if (stopRequested_) {
            stopRequested_ = false;
            return;
        }
        if (pending_.empty()) {
            changed_.wait(lock);
            continue;
        }
        runQueuedLocked(lock, 1);
    }
}

bool MainQueue::runOnce(std::chrono::milliseconds limit) {
    const auto limitPoint = deadlineAfter(limit);
    const Deadline deadline = isNever(limitPoint) ? Deadline{} : Deadline{limitPoint};
    std::unique_lock lock(mutex_);
    Turn turn(*this, lock, deadline);
    if (!turn.held()) return false;
    const auto queued = [&] { return !pending_.empty(); };
    if (deadline) {
        changed_.wait_until(lock, *deadline, queued);
    } else {
        changed_.wait(lock, queued);
    }
    // Only the work queued by now: work it queues waits for the next turn.
    return runQueuedLocked(lock, pending_.size());
}

void MainQueue::runAhead(Task task) {
    std::unique_lock lock(mutex_);
    Turn turn(*this, lock, std::nullopt);
    lock.unlock();
    runWorkItem(*this, task);
    task = nullptr;  // captures released outside the lock
}

void MainQueue::setWaker(std::function<void()> wake) {
    std::lock_guard lock(mutex_);
    waker_ = std::move(wake);
}

void MainQueue::stop() {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    changed_.notify_all();
}

}  // namespace platform::dispatch

namespace platform {

bool isMainThread() {
    const pid_t main = dispatch::gMainThread.load();
    const pid_t me = dispatch::currentThreadId();
    // Before any loop ran, the process's first thread: the one main() runs on. (Not
    // "the first to post to the main queue", which may well be a worker.)
    return main == 0 ? me == ::getpid() : me == main;
}

void runMainLoop() { dispatch::MainQueue::instance()->run(); }

void stopMainLoop() { dispatch::MainQueue::instance()->stop(); }

void setMainLoopWaker(std::function<void()> wake) {
    dispatch::MainQueue::instance()->setWaker(std::move(wake));
}

bool runMainLoopOnce(std::chrono::milliseconds limit) {
    return dispatch::MainQueue::instance()->runOnce(limit);
}

}  // namespace platform
