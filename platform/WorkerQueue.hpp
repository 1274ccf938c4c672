#pragma once
// Inside the dispatch layer: a serial or concurrent queue run by worker threads that
// are started on demand, up to the queue's width, and end when idle.
//
// Work starts strictly in queue order. The item at the head starts when no barrier
// runs and, for a barrier, nothing runs, or else fewer than `width` items run. A
// synchronous item is run by its caller on the caller's own thread once it reaches
// the head and may start; it occupies a place like any other item meanwhile.
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/QueueCore.hpp"

namespace platform::dispatch {

class WorkerQueue final : public QueueCore {
public:
    // `honorsBarriers` false makes barriers plain work (the shared global queues).
    WorkerQueue(std::string label, unsigned width, bool serial, bool honorsBarriers);

    bool isSerial() const override { return serial_; }
    void submit(Task task, bool barrier) override;
    void runSync(Task task, bool barrier) override;
    void orphan() override;

private:
    // A caller of sync waiting for its turn; lives on the caller's stack.
    struct SyncTicket {
        bool granted = false;  // guarded by mutex_
        std::condition_variable cv;
    };
    struct Item {
        Task task;  // empty for a synchronous item
        bool barrier = false;
        SyncTicket* ticket = nullptr;  // set for a synchronous item
    };

    bool canStartHeadLocked() const;
    void startLocked(const Item& item);
    void finishLocked(bool barrier);
    void grantSyncHeadsLocked();
    void kickLocked();
    void spawnWorkerLocked() noexcept;
    void workerLoop();

    const unsigned width_;
    const bool serial_;
    const bool honorsBarriers_;

    std::mutex mutex_;
    std::condition_variable workAvailable_;  // idle workers wait here
    // Guarded by mutex_:
    std::deque<Item> pending_;
    unsigned running_ = 0;  // items started and not yet finished, sync ones included
    bool barrierRunning_ = false;
    unsigned threads_ = 0;  // live workers
    unsigned idle_ = 0;     // workers waiting for work
    bool orphaned_ = false;
};

}  // namespace platform::dispatch
