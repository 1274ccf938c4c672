#pragma once
// What the extension-control tests share: a temporary home, run folder and preferences folder;
// a manual process clock; a registry with the logger, settings and a publisher on a centre of
// the test's own, whose posts are recorded with the clock's time; a capture of the system log;
// and a loop that turns the main queue until something has happened (or 10 s have passed).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/core/Dependencies.hpp"
#include "app/core/LoggerService.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/core/Settings.hpp"
#include "app/netext/NetworkExtensionManager.hpp"
#include "fakes/TestFolders.hpp"
#include "model/JSONCoder.hpp"
#include "platform/Clock.hpp"
#include "platform/Dispatch.hpp"
#include "platform/NotificationCenter.hpp"
#include "platform/SystemLog.hpp"

namespace kiv::netexttest {

// Lines collected from any thread.
class Lines {
public:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool contains(const std::string& part) const {
        std::lock_guard lock(mutex_);
        for (const auto& line : lines_)
            if (line.find(part) != std::string::npos) return true;
        return false;
    }
    std::size_t count(const std::string& line) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), line));
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Turns the main loop until `done` holds; false when 10 s of real time passed first.
inline bool turnUntil(const std::function<bool()>& done,
                      std::chrono::seconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        platform::runMainLoopOnce(std::chrono::milliseconds(20));
    }
    return true;
}

// Runs what is already on the main queue.
inline void drainMainQueue() {
    while (platform::runMainLoopOnce(std::chrono::milliseconds(0))) {
    }
}

class ExtensionEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(home());
        std::filesystem::create_directories(runFolder());
        std::filesystem::create_directories(preferencesFolder());
        platform::setProcessClock(clock_);
        std::vector<Service> services{
            loggerService(), settingsService(),
            Service::make<NotificationPublisher>(Service::LifeCycle::global,
                                                 [this] { return NotificationPublisher(&center_); })};
        Dependencies::setRoot(std::make_shared<Dependencies>(std::move(services)));
        for (ChangeType type : {ChangeType::deviceConfigRefreshed, ChangeType::waitingOnUserSecurity}) {
            observations_.push_back(center_.addObserver(
                std::string(rawValue(type)), nullptr, [this](const platform::Notification& notification) {
                    const auto seconds =
                        std::chrono::duration_cast<std::chrono::milliseconds>(clock_->monotonic()).count();
                    posts_.add(notification.name + "@" + std::to_string(seconds));
                }));
        }
    }
    void TearDown() override {
        drainMainQueue();
        observations_.clear();
        Dependencies::setRoot(std::make_shared<Dependencies>());
        platform::setProcessClock(nullptr);
    }

    std::filesystem::path home() const { return folder_.path() / "home"; }
    std::filesystem::path runFolder() const { return folder_.path() / "run"; }
    std::filesystem::path preferencesFolder() const { return folder_.path() / "dnsproxy"; }
    std::filesystem::path preferencesPath() const { return preferencesFolder() / "preferences.json"; }

    // Posted change events as "<name>@<clock milliseconds>".
    std::vector<std::string> posts() const { return posts_.all(); }
    void clearPosts() { posts_.clear(); }
    // The system log's messages.
    Lines& logLines() { return *logLines_; }

    void advance(std::chrono::milliseconds by) {
        clock_->advance(by);
        drainMainQueue();
    }

    fakes::TemporaryFolder folder_{"kiv-netext"};
    fakes::ScopedEnvironment homeVariable_{"KIV_HOME", (folder_.path() / "home").string()};
    fakes::ScopedEnvironment runVariable_{"KIV_RUN_DIR", (folder_.path() / "run").string()};
    std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
    platform::NotificationCenter center_;
    std::vector<platform::Observation> observations_;
    Lines posts_;
    std::shared_ptr<Lines> logLines_ = std::make_shared<Lines>();
    platform::LogCapture capture_{
        [lines = logLines_](const platform::LogRecord& record) { lines->add(record.message); }};
};

// The whole configuration as sorted JSON text (the model's == compares the locations only).
inline std::string wholeText(const std::optional<model::DeviceConfiguration>& configuration) {
    if (!configuration) return "none";
    auto text = model::JSONEncoder{.sortedKeys = true}.encode(*configuration);
    return text ? *text : "unencodable";
}

// A record as the change handling builds one: two forwarding rules unless `withRules` is false.
inline NetworkExtConfig sampleRecord(bool withRules = true) {
    const std::string text = withRules ? R"({"jsonrpc":"2.0","id":7,"result":{"filters":[
            {"domain":"intranet.example","resolvers":["192.0.2.53","192.0.2.54"]},
            {"rule":"block","resolvers":["198.51.100.7"]}]}})"
                                       : R"({"jsonrpc":"2.0","id":7,"result":{}})";
    auto configuration = model::JSONDecoder{}.decode<model::DeviceConfiguration>(text);
    EXPECT_TRUE(configuration.has_value());
    return NetworkExtConfig{"8c1f7e1a-0000-4000-8000-000000000001",
                            "office",
                            {"203.0.113.1", "203.0.113.2"},
                            configuration ? *configuration : model::DeviceConfiguration{}};
}

}  // namespace kiv::netexttest
