#include "helper/FlushCoalescer.hpp"

#include <algorithm>

namespace helper {

FlushCoalescer::FlushCoalescer(platform::DispatchQueuePtr queue, std::function<void(uid_t)> flush)
    : queue_(std::move(queue)), flush_(std::move(flush)) {}

void FlushCoalescer::request(Request request) {
    {
        const std::lock_guard guard(state_->mutex);
        state_->waiting.push_back(std::move(request));
        if (state_->scheduled) return;
        state_->scheduled = true;
    }
    queue_->async([state = state_, flush = flush_] { run(state, flush); });
}

void FlushCoalescer::run(const std::shared_ptr<State>& state, const std::function<void(uid_t)>& flush) {
    std::vector<Request> served;
    {
        // From here on, new requests wait for the next flush.
        const std::lock_guard guard(state->mutex);
        served.swap(state->waiting);
        state->scheduled = false;
    }
    std::erase_if(served, [](const Request& r) { return r.alive && !r.alive(); });
    if (served.empty()) return;
    const bool forRoot =
        std::any_of(served.begin(), served.end(), [](const Request& r) { return r.uid == 0; });
    flush(forRoot ? 0 : served.front().uid);
    for (const auto& r : served) {
        if (r.answer) r.answer();
    }
}

}  // namespace helper
