#pragma once
// The helper-log lines that a caller's requests cause, under a share per caller: root's lines
// are all written; every other uid may write a burst of kBurst lines per kInterval, and the
// lines past it are counted and summed up in one line "… N lines suppressed (uid U)" once its
// interval has ended (at its next line, or the next line of anyone). Like journald's rate limit,
// it keeps a caller who is refused in a loop from filling the log folder.
//
// Threads: any. Intervals are measured on the process clock (platform/Clock.hpp).
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/keychain/KIVLogHelper.hpp"

namespace helper {

class CallerLog {
public:
    static constexpr std::size_t kBurst = 40;
    static constexpr std::chrono::seconds kInterval{10};
    // Callers tracked at once; past it, callers whose interval ended are forgotten.
    static constexpr std::size_t kMaxCallers = 256;

    explicit CallerLog(std::shared_ptr<const platform::KIVLogHelper> log) : log_(std::move(log)) {}
    void log(uid_t uid, const std::string& message);

private:
    struct Share {
        std::chrono::nanoseconds start{};
        std::size_t written = 0;
        std::size_t suppressed = 0;
    };
    // Writes the summaries of shares whose interval has ended; forgets them when `prune`.
    void settleLocked(std::chrono::nanoseconds now, bool prune);

    const std::shared_ptr<const platform::KIVLogHelper> log_;
    std::mutex mutex_;
    std::map<uid_t, Share> shares_;  // guarded by mutex_
};

}  // namespace helper
