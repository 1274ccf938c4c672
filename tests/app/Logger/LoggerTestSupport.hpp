#pragma once
// Helpers shared by the logging tests: captured standard output, temporary folders, environment
// overrides and a fixed clock.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/Logger/BaseDestination.hpp"
#include "app/Logger/LogFacility.hpp"
#include "app/Logger/StandardOutput.hpp"
#include "fakes/TestFolders.hpp"
#include "platform/Clock.hpp"

namespace kiv::testing {

// 2024-03-05T14:07:09.123Z
inline platform::Clock::TimePoint fixedInstant() {
    return platform::Clock::TimePoint{std::chrono::milliseconds(1709647629123LL)};
}

inline std::shared_ptr<platform::ManualClock> fixedClock() {
    return std::make_shared<platform::ManualClock>(fixedInstant());
}

// New York is UTC-5 on that date, so local and UTC renderings differ by five hours.
inline DestinationEnvironment fixedEnvironment(std::shared_ptr<platform::ManualClock> clock = fixedClock()) {
    return DestinationEnvironment{std::move(clock), "America/New_York"};
}

class CapturedOutput {
public:
    CapturedOutput()
        : capture_([this](const std::string& line) {
              std::lock_guard lock(mutex_);
              lines_.push_back(line);
          }) {}
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    StandardOutputCapture capture_;
};

using kiv::fakes::ScopedEnvironment;
using kiv::fakes::TemporaryFolder;

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits until everything queued on the destination so far has run.
inline void drain(const BaseDestination& destination) {
    if (destination.queue) destination.queue->sync([] {});
}

// Leaves the process-wide facade empty before and after each test.
class FacilityTest : public ::testing::Test {
protected:
    void SetUp() override { LogFacility::detachAll(); }
    void TearDown() override { LogFacility::detachAll(); }
};

}  // namespace kiv::testing
