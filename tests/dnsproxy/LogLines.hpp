#pragma once
// Test helper: captures every log record while it lives.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SystemLog.hpp"

namespace testing_dnsproxy {

class LogLines {
public:
    LogLines()
        : capture_([this](const platform::LogRecord& record) {
              std::lock_guard lock(mutex_);
              records_.push_back(record);
          }) {}

    bool contains(const std::string& message) const {
        std::lock_guard lock(mutex_);
        return std::any_of(records_.begin(), records_.end(),
                           [&](const auto& r) { return r.message == message; });
    }
    std::size_t count(const std::string& message) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count_if(records_.begin(), records_.end(),
                                                      [&](const auto& r) { return r.message == message; }));
    }
    std::vector<platform::LogRecord> records() const {
        std::lock_guard lock(mutex_);
        return records_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<platform::LogRecord> records_;
    platform::LogCapture capture_;
};

}  // namespace testing_dnsproxy
