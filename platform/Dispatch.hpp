#pragma once
// Work queues in the manner of the system these programs were first written for:
// a main queue turned by the main thread's run loop, serial and concurrent queues
// with labels, barriers and delayed work.
//
// Threads: every function here may be called from any thread. Work posted to one
// serial queue runs in posting order, one item at a time. A queue stays alive while
// work is pending on it or anyone holds it; destroying the last handle lets pending
// work finish (it is not dropped), delayed work included: that runs at its time.
// Worker threads are started on demand up to a queue's width and end when idle
// (platform/DispatchThreads.hpp). An exception escaping asynchronous work is logged
// and the queue goes on; one escaping synchronous work reaches the caller of sync.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace platform {

using Task = std::function<void()>;

enum class QoS { userInteractive, userInitiated, defaultQoS, utility, background };

class DispatchQueue {
public:
    virtual ~DispatchQueue() = default;

    virtual const std::string& label() const = 0;
    virtual bool isSerial() const = 0;

    // Runs `task` later, on a thread of this queue.
    virtual void async(Task task) = 0;
    // Runs `task` on this queue and waits for it. Called from work already running
    // on this queue, it runs inline instead of deadlocking. On serial and concurrent
    // queues the task runs on the calling thread once its turn has come (it reports
    // this queue's label); on the main queue it runs on the thread turning the loop.
    virtual void sync(Task task) = 0;
    // Runs `task` no earlier than `delay` from now on the process clock (processClock()
    // in platform/Clock.hpp; tests turn a ManualClock there).
    virtual void asyncAfter(std::chrono::nanoseconds delay, Task task) = 0;
    // On a concurrent queue: waits for the work submitted before it, then runs alone;
    // work submitted after it waits for it. On a serial queue, the main queue and the
    // shared global queues the same as async/sync (a barrier there would stall the
    // whole process). barrierSync from work of the same queue runs inline, as sync.
    virtual void barrierAsync(Task task) = 0;
    virtual void barrierSync(Task task) = 0;
};

using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

DispatchQueuePtr makeSerialQueue(std::string label);
// `width` is the most items that run at once; 0 picks the number of cores.
DispatchQueuePtr makeConcurrentQueue(std::string label, unsigned width = 0);

// The process-wide main queue. Its work runs only while some thread (the main
// thread, by convention) turns the main loop with runMainLoop or runMainLoopOnce.
DispatchQueuePtr mainQueue();
// Shared concurrent queues, one per quality of service. Labels follow the original
// platform's ("com.apple.root.default-qos", ...); each runs up to 64 items at once.
DispatchQueuePtr globalQueue(QoS qos = QoS::defaultQoS);

// The label of the queue whose work is running on this thread; "" when none.
// Work of the main queue reports "com.apple.main-thread".
std::string currentQueueLabel();
// True on the thread that turns the main loop, or last turned it; before any loop
// ran, on the process's first thread (the one main() runs on).
bool isMainThread();

// Runs main-queue work until stopMainLoop is called. One thread turns the main loop
// at a time; another thread calling this (or runMainLoopOnce) waits for its turn.
void runMainLoop();
// Asks runMainLoop to return once the work item in progress ends. Any thread. Asked
// while no runMainLoop runs, it makes the next one return at once.
void stopMainLoop();
// Runs main-queue work that is due, waiting at most `limit` for some to arrive;
// returns true when it ran anything. Re-entrant: work on the main queue may call it
// to turn the loop while it waits for a reply. Work queued by the items it runs
// waits for the next turn.
bool runMainLoopOnce(std::chrono::milliseconds limit);
// Lets a thread that waits in another loop turn the main loop from there: `wake` is
// called (from any thread, under the main queue's lock: it must only post, never run
// main-queue work or block) each time main-queue work is queued, and the loop's thread
// then calls runMainLoopOnce(0). Null ends it; once this returns, `wake` is no longer
// called.
void setMainLoopWaker(std::function<void()> wake);

// A counting semaphore with a timed wait, as synchronous calls in the application use.
class Semaphore {
public:
    explicit Semaphore(long value = 0);
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;
    void signal();
    void wait();
    // False when `timeout` passed without a signal.
    bool waitFor(std::chrono::nanoseconds timeout);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
