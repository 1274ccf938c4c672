#pragma once
// Log lines that other local users can cause (refused connections, broken frames): a
// few per minute of the process clock go out, the rest are counted, and the count is
// said with the first line of a later minute. A flood of hostile peers costs the log a
// few lines a minute. Any thread.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "platform/SystemLog.hpp"
#include "platform/xpc/MutexGuarded.hpp"

namespace platform {

class XPCLogBudget {
public:
    // `summary` names what was left out: "<count> <summary> were not logged".
    XPCLogBudget(std::size_t linesPerMinute, std::string summary)
        : linesPerMinute_(linesPerMinute), summary_(std::move(summary)) {}

    void log(const SystemLog& log, LogType type, const std::string& line);

private:
    struct Window {
        std::optional<std::chrono::nanoseconds> start;
        std::size_t logged = 0;
        std::size_t left = 0;
    };
    const std::size_t linesPerMinute_;
    const std::string summary_;
    MutexGuarded<Window> window_;
};

}  // namespace platform
