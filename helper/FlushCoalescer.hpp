#pragma once
// DNS-cache flushes for many callers, coalesced: every request that arrives while a flush is
// waiting to start joins it; one that arrives while a flush runs is answered by the next one,
// which starts after it. So a flood of requests costs at most two flushes in line, never a queue
// of them, and only the callers' answers are kept (one small entry each, bounded by what each
// connection may have outstanding).
//
// A request whose caller has gone (its `alive` says false when the flush starts) is dropped
// unanswered; when every waiting caller has gone, no flush runs at all.
//
// Threads: request() from any thread; flushes and answers run on the given serial queue.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Dispatch.hpp"

namespace helper {

class FlushCoalescer {
public:
    struct Request {
        uid_t uid = 0;                 // the caller, for the flush's log line
        std::function<bool()> alive;   // false once the caller's connection has gone
        std::function<void()> answer;  // runs once the flush that covers the request ended
    };
    // `flush` runs once per flush, on `queue`, with the uid its log line is charged to: root's
    // when root is among the callers it serves, else the first caller's.
    FlushCoalescer(platform::DispatchQueuePtr queue, std::function<void(uid_t)> flush);

    void request(Request request);

private:
    struct State {
        std::mutex mutex;
        std::vector<Request> waiting;  // guarded by mutex
        bool scheduled = false;        // a flush is queued and has not started; guarded by mutex
    };
    static void run(const std::shared_ptr<State>& state, const std::function<void(uid_t)>& flush);

    platform::DispatchQueuePtr queue_;
    std::function<void(uid_t)> flush_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace helper
