#include "platform/DispatchThreads.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/NoDestructor.hpp"

namespace platform {
namespace {

std::atomic<std::chrono::nanoseconds::rep> gIdleTimeout{
    std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::seconds(5)).count()};

// Never destroyed: detached threads report their end while the process exits.
struct ThreadCount {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t alive = 0;  // guarded by mutex
};

ThreadCount& threadCount() {
    static NoDestructor<ThreadCount> count;
    return *count;
}

}  // namespace

void setDispatchIdleTimeout(std::chrono::nanoseconds timeout) {
    gIdleTimeout.store(std::max(timeout, std::chrono::nanoseconds::zero()).count());
}

std::chrono::nanoseconds dispatchIdleTimeout() { return std::chrono::nanoseconds(gIdleTimeout.load()); }

std::size_t dispatchThreadCount() {
    ThreadCount& count = threadCount();
    std::lock_guard lock(count.mutex);
    return count.alive;
}

bool waitForDispatchThreadCount(std::size_t atMost, std::chrono::nanoseconds limit) {
    ThreadCount& count = threadCount();
    std::unique_lock lock(count.mutex);
    return count.changed.wait_for(lock, limit, [&] { return count.alive <= atMost; });
}

namespace dispatch {

void threadStarting() {
    ThreadCount& count = threadCount();
    std::lock_guard lock(count.mutex);
    ++count.alive;
}

void threadEnded() {
    ThreadCount& count = threadCount();
    std::lock_guard lock(count.mutex);
    --count.alive;
    count.changed.notify_all();
}

void nameThisThread(std::string_view label) {
    const std::string name(label.substr(0, 15));
    ::pthread_setname_np(::pthread_self(), name.c_str());
}

}  // namespace dispatch
}  // namespace platform
