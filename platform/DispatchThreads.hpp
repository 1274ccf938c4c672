#pragma once
// The threads the dispatch layer starts: queue workers (started on demand, up to a
// queue's width) and the one timer thread of asyncAfter. All are detached; each exits
// once it has been idle for the idle timeout, or at once when its queue is gone and
// has no work left. Nothing here is needed to use the queues; tests and diagnostics
// use it to see that threads do not pile up.
#include <chrono>
#include <cstddef>
#include <string_view>

namespace platform {

// How long an idle dispatch thread waits for work before it exits (5 s by default).
// Threads already waiting keep the value they started waiting with.
void setDispatchIdleTimeout(std::chrono::nanoseconds timeout);
std::chrono::nanoseconds dispatchIdleTimeout();

// Queue worker threads alive now (the timer thread, which lives as long as delayed
// work is pending, is not counted).
std::size_t dispatchThreadCount();
// Waits until at most `count` worker threads are alive or `limit` has passed; true
// when the count was reached.
bool waitForDispatchThreadCount(std::size_t count, std::chrono::nanoseconds limit);

namespace dispatch {
// Book-keeping for queue workers: call threadStarting before the thread is created
// (and threadEnded if creating it failed), threadEnded as the last thing it does.
void threadStarting();
void threadEnded();
// Names the calling thread after a queue label (cut to the 15 bytes Linux keeps).
void nameThisThread(std::string_view label);
}  // namespace dispatch

}  // namespace platform
