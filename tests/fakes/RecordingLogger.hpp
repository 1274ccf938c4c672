#pragma once
// A logger that keeps what it is given, so that tests read the lines back instead of waiting for
// the main queue to write them.
#include <mutex>
#include <string>
#include <vector>

#include "app/Logger/KIVLogger.hpp"

namespace kiv::testing {

class RecordingLogger : public KIVLogger {
public:
    void log(const std::string& message, model::LogLevel) override {
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
    }
    std::vector<std::string> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
};

}  // namespace kiv::testing
