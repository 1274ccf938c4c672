#include "platform/WorkerQueue.hpp"

#include <algorithm>
#include <thread>

#include "platform/DispatchThreads.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/SystemLog.hpp"

namespace platform::dispatch {

WorkerQueue::WorkerQueue(std::string label, unsigned width, bool serial, bool honorsBarriers)
    : QueueCore(std::move(label)),
      width_(serial ? 1 : std::max(width, 1u)),
      serial_(serial),
      honorsBarriers_(honorsBarriers && !serial) {}

void WorkerQueue::submit(Task task, bool barrier) {
    std::lock_guard lock(mutex_);
    pending_.push_back(Item{std::move(task), barrier && honorsBarriers_, nullptr});
    kickLocked();
}

void WorkerQueue::runSync(Task task, bool barrier) {
    if (isCurrent()) {
        // Work of this queue asking for more of its own: waiting for a turn would wait
        // for itself, so it runs here and now (a barrier included).
        CurrentQueueScope scope(*this);
        task();
        return;
    }
    barrier = barrier && honorsBarriers_;
    SyncTicket ticket;
    {
        std::unique_lock lock(mutex_);
        pending_.push_back(Item{nullptr, barrier, &ticket});
        kickLocked();
        ticket.cv.wait(lock, [&] { return ticket.granted; });
    }
    // The place is ours until the task has run, whether it returns or throws.
    struct Release {
        WorkerQueue& queue;
        bool barrier;
        ~Release() {
            std::lock_guard lock(queue.mutex_);
            queue.finishLocked(barrier);
            queue.kickLocked();
        }
    } release{*this, barrier};
    CurrentQueueScope scope(*this);
    task();
}

void WorkerQueue::orphan() {
    std::lock_guard lock(mutex_);
    orphaned_ = true;
    workAvailable_.notify_all();
}

bool WorkerQueue::canStartHeadLocked() const {
    if (pending_.empty() || barrierRunning_) return false;
    return pending_.front().barrier ? running_ == 0 : running_ < width_;
}

void WorkerQueue::startLocked(const Item& item) {
    ++running_;
    if (item.barrier) barrierRunning_ = true;
}

void WorkerQueue::finishLocked(bool barrier) {
    --running_;
    if (barrier) barrierRunning_ = false;
}

void WorkerQueue::grantSyncHeadsLocked() {
    while (canStartHeadLocked() && pending_.front().ticket != nullptr) {
        const Item item = std::move(pending_.front());
        pending_.pop_front();
        startLocked(item);
        item.ticket->granted = true;
        item.ticket->cv.notify_one();  // still under the lock: the ticket is alive
    }
}

// Makes sure the work that may start now gets started: sync callers are told, and
// for asynchronous work an idle worker is woken or a new one started. A worker that
// takes an item kicks again, so a burst of items reaches as many workers as it may.
void WorkerQueue::kickLocked() {
    grantSyncHeadsLocked();
    if (!canStartHeadLocked()) return;
    if (idle_ > 0) {
        workAvailable_.notify_one();
    } else if (threads_ < width_) {
        spawnWorkerLocked();
    }
}

void WorkerQueue::spawnWorkerLocked() noexcept {
    ++threads_;
    threadStarting();
    try {
        auto self = std::static_pointer_cast<WorkerQueue>(shared_from_this());
        std::thread([self = std::move(self)]() mutable {
            nameThisThread(self->label());
            self->workerLoop();
            self.reset();  // the queue may end here, before the thread is counted out
            threadEnded();
        }).detach();
    } catch (const std::exception& e) {
        --threads_;
        threadEnded();
        // The work stays queued; the next submission or completion tries again.
        static NoDestructor<SystemLog> log("kiv.platform", "dispatch");
        log->log(LogType::fault, "cannot start a worker for queue " + label() + ": " + e.what());
    }
}

void WorkerQueue::workerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        grantSyncHeadsLocked();
        if (canStartHeadLocked()) {
            Item item = std::move(pending_.front());
            pending_.pop_front();
            startLocked(item);
            kickLocked();
            lock.unlock();
            runWorkItem(*this, item.task);
            item.task = nullptr;  // the closure's captures go outside the lock
            lock.lock();
            finishLocked(item.barrier);
            continue;
        }
        // Whatever makes work startable later (a submission, a finished sync item)
        // kicks and starts a worker if none is left, so leaving here loses nothing.
        if (orphaned_) break;
        ++idle_;
        const auto status = workAvailable_.wait_for(lock, dispatchIdleTimeout());
        --idle_;
        if (status == std::cv_status::timeout && !canStartHeadLocked()) break;
    }
    --threads_;
}

}  // namespace platform::dispatch
