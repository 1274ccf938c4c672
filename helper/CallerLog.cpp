#include "helper/CallerLog.hpp"

#include "platform/Clock.hpp"

namespace helper {

void CallerLog::log(uid_t uid, const std::string& message) {
    if (uid == 0) {
        log_->log(message);
        return;
    }
    const auto now = platform::processClock()->monotonic();
    const std::lock_guard guard(mutex_);
    settleLocked(now, shares_.size() >= kMaxCallers);
    auto [it, added] = shares_.try_emplace(uid);
    Share& share = it->second;
    if (added) share.start = now;
    if (share.written < kBurst) {
        ++share.written;
        log_->log(message);
    } else {
        ++share.suppressed;
    }
}

void CallerLog::settleLocked(std::chrono::nanoseconds now, bool prune) {
    for (auto it = shares_.begin(); it != shares_.end();) {
        Share& share = it->second;
        if (now - share.start < kInterval) {
            ++it;
            continue;
        }
        if (share.suppressed > 0) {
            log_->log("\u2026 " + std::to_string(share.suppressed) + " lines suppressed (uid " +
                      std::to_string(it->first) + ")");
        }
        if (prune) {
            it = shares_.erase(it);
        } else {
            share = Share{now, 0, 0};
            ++it;
        }
    }
}

}  // namespace helper
