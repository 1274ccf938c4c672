#pragma once
// Inside the dispatch layer: the main queue. It has no threads of its own; its work
// runs on whichever thread turns the main loop (runMainLoop, runMainLoopOnce), one
// thread at a time. That thread may turn the loop again from inside main-queue work
// (nested turning); another thread that wants to turn it waits until it is free.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/QueueCore.hpp"

namespace platform::dispatch {

class MainQueue final : public QueueCore {
public:
    static const std::shared_ptr<MainQueue>& instance();
    MainQueue();

    bool isSerial() const override { return true; }
    void submit(Task task, bool barrier) override;
    void runSync(Task task, bool barrier) override;

    void run();
    bool runOnce(std::chrono::milliseconds limit);
    void stop();
    void setWaker(std::function<void()> wake);
    // Runs `task` now on the calling thread as main-queue work, ahead of the work already queued
    // (which stays queued); waits while another thread turns the loop.
    void runAhead(Task task);

private:
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;
    class Turn;

    bool acquireLocked(std::unique_lock<std::mutex>& lock, const Deadline& deadline);
    void releaseLocked();
    // Runs up to `count` queued items in order; true when it ran any.
    bool runQueuedLocked(std::unique_lock<std::mutex>& lock, std::size_t count);

    std::mutex mutex_;
    std::condition_variable changed_;  // work queued, the loop freed, a stop asked
    // Guarded by mutex_:
    std::deque<Task> pending_;
    pid_t turner_ = 0;    // thread turning the loop, 0 when none
    unsigned depth_ = 0;  // nesting of that thread's turns
    bool stopRequested_ = false;
    std::function<void()> waker_;  // another loop's, told of queued work
};

// The calling thread's kernel id (cached).
pid_t currentThreadId();

}  // namespace platform::dispatch
