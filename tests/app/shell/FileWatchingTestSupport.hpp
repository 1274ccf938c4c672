#pragma once
// Shared by the tests of the installer file pickup and the parameter-file watcher: the core tests'
// temporary home and cookie folder, a DirectoryObserver on a serial queue of its own (its "main
// thread") with a manual process clock, a counting stand-in for the new registration, and the
// deviceConfigEditedLocally posts caught on a private notification centre.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <any>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/core/CoreTestSupport.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/shell/DirectoryObserver.hpp"
#include "platform/Clock.hpp"
#include "platform/Dispatch.hpp"
#include "platform/NotificationCenter.hpp"

namespace kiv::testing {

// A device configuration the model decodes, with its location tag as a mark.
inline std::string deviceJSON(const std::string& tag) {
    return R"({"jsonrpc":"2.0","result":{"cfg":{"runtime":{"locations":[{"name":"Office","tag":")" + tag +
           R"("}]}},"filters":[{"resolvers":["127.0.0.1"]}]}})";
}

class FileWatchingTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        platform::setProcessClock(clock_);
        observation_ =
            center_.addObserver(std::string(rawValue(ChangeType::deviceConfigEditedLocally)), nullptr,
                                [this](const platform::Notification& notification) {
                                    std::lock_guard lock(mutex_);
                                    std::optional<std::string> tag;
                                    if (const auto* configuration =
                                            std::any_cast<model::DeviceConfiguration>(&notification.object)) {
                                        tag = configuration->result->cfg->runtime->locations.at(0).tag;
                                    } else {
                                        tag = "<no object>";
                                    }
                                    posts_.push_back(*tag);
                                });
        settings_ = makeSettings();
        observer_ = makeObserver();
    }
    void TearDown() override {
        // Cancel handlers and stale ticks still queued run before the clock goes.
        observer_.reset();
        queue_->sync([] {});
        platform::setProcessClock(nullptr);
    }

    std::shared_ptr<DirectoryObserver> makeObserver() {
        DirectoryObserver::Locations locations;
        locations.parameterFile = cookieFolder() / ".kivcookie";
        locations.rootFolder = rootFolder();
        auto settings = settings_;
        return std::make_shared<DirectoryObserver>(
            Injected<NotificationPublisher>(
                [this] { return std::make_shared<NotificationPublisher>(&center_); }),
            Injected<KIVLogger>([logger = logger_] { return logger; }),
            Injected<Settings>([settings] { return settings; }),
            [this](std::function<void()> completion) {
                ++reregistrations_;
                completion();
            },
            locations, queue_);
    }

    std::filesystem::path rootFolder() const {
        return folder_.path() / "root-home/.local/share/BrannockCloud";
    }
    std::filesystem::path cookie() const { return cookieFolder() / ".kivcookie"; }

    // Runs `work` on the observer's queue and waits for it.
    template <class Work>
    void onQueue(Work work) {
        queue_->sync([&] { work(); });
    }
    // Moves the clock; the ticks that became due have run when this returns.
    void advance(std::chrono::seconds by) {
        clock_->advance(by);
        queue_->sync([] {});
    }
    // Waits until `count` posts arrived (turning the main loop, where they are posted), then
    // lets through whatever was queued before them.
    std::vector<std::string> waitForPosts(std::size_t count) {
        for (int turns = 0; turns < 100 && posts().size() < count; ++turns)
            platform::runMainLoopOnce(std::chrono::milliseconds(100));
        queue_->sync([] {});
        while (platform::runMainLoopOnce(std::chrono::milliseconds(0))) {
        }
        return posts();
    }
    std::vector<std::string> posts() {
        std::lock_guard lock(mutex_);
        return posts_;
    }
    bool logged(const std::string& prefix) const {
        for (const auto& message : logger_->messages()) {
            if (message.rfind(prefix, 0) == 0) return true;
        }
        return false;
    }
    // Sets the file's modification time `seconds` after the epoch.
    static void setModificationTime(const std::filesystem::path& path, long seconds) {
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    }

    std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>(
        platform::Clock::TimePoint(std::chrono::hours(24 * 365 * 50)));
    platform::DispatchQueuePtr queue_ = platform::makeSerialQueue("DirectoryObserverTest.queue");
    platform::NotificationCenter center_;
    platform::Observation observation_;
    std::shared_ptr<Settings> settings_;
    std::shared_ptr<DirectoryObserver> observer_;
    std::atomic<int> reregistrations_{0};
    std::mutex mutex_;
    std::vector<std::string> posts_;  // guarded by mutex_
};

}  // namespace kiv::testing
