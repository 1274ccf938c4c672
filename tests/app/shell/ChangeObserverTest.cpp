// The change observer driven through its own notification centre and a ManualClock: the poll's
// back-off, the fetches each event asks for, where the configuration comes from, and when the
// proxy is reset.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

#include "app/core/Dependencies.hpp"
#include "app/core/Utils.hpp"
#include "app/shell/ActionManager.hpp"
#include "app/shell/ChangeObserver.hpp"
#include "fakes/TestFolders.hpp"
#include "model/JSONCoder.hpp"
#include "platform/Clock.hpp"

namespace kiv {
namespace {

using namespace std::chrono_literals;

class CapturingLogger final : public KIVLogger {
public:
    void log(const std::string& message, model::LogLevel) override {
        std::lock_guard lock(mutex);
        lines.push_back(message);
    }
    std::size_t count(const std::string& prefix) {
        std::lock_guard lock(mutex);
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

std::string configurationText(const std::string& resolver) {
    return R"({"jsonrpc":"2.0","id":1,"result":{"cfg":{"runtime":{"locations":[{"name":"Office","tag":"office"}],)"
           R"("user":"u-1"}},"filters":[{"domain":"intranet.example","resolvers":[")" +
           resolver + R"("]}]}})";
}

model::DeviceConfiguration configuration(const std::string& resolver) {
    auto decoded = model::JSONDecoder{}.decode<model::DeviceConfiguration>(configurationText(resolver));
    EXPECT_TRUE(decoded.has_value());
    return decoded ? *decoded : model::DeviceConfiguration{};
}

class ChangeObserverTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setProcessClock(clock_);
        Dependencies::setRoot(std::make_shared<Dependencies>(std::vector<Service>{
            Service::make<KIVLogger>(Service::LifeCycle::global, [this] { return logger_; }),
            settingsService()}));
        ChangeObserver::Environment env;
        env.center = &center_;
        env.pathSatisfied = [this] { return pathSatisfied_; };
        env.fetch = [this] {
            ++fetches_;
            if (nestedEvent_) {
                // An event delivered while the fetch turns the main loop.
                nestedEvent_ = false;
                observer_->receivedChange(ChangeType::connected, nullptr);
            }
        };
        env.vpnRunning = [](const model::DeviceConfiguration&) { return false; };
        env.externalAddress = [this](const std::vector<std::string>&) {
            std::function<void()> hook;
            std::string address;
            {
                std::lock_guard lock(mutex_);
                ++queries_;
                hook = std::exchange(duringQuery_, nullptr);
                address = queriedAddress_;
            }
            if (hook) hook();
            return address;
        };
        env.extensionState = [] {
            return ExtensionStatusSet{ExtensionStatus::configured, ExtensionStatus::userAccepted};
        };
        env.handleChange = [this](ChangeType type, const NetworkExtConfig& record) {
            changes_.push_back(std::string(rawValue(type)) + " " + record.resolvers.front());
            handedOn_.fetch_add(1, std::memory_order_relaxed);
        };
        env.resetExtension = [this](const NetworkExtConfig& record) {
            resets_.push_back(record.resolvers.front());
        };
        env.flushDNS = [this] { ++flushes_; };
        env.lastNotification = [this] { return lastNotification_; };
        env.setLastNotification = [this](const std::string& text) { lastNotification_ = text; };
        env.postNotification = [this](const std::string& body, std::function<void(bool)> done) {
            shown_.push_back(body);
            done(true);
        };
        env.makeMenu = [](TrayType, bool) { return std::shared_ptr<MenuInteraction>(); };
        env.saveShared = [](const model::DeviceConfiguration&) {};
        observer_ = ChangeObserver::make(std::move(env));
    }
    void TearDown() override {
        observer_->cancelSubscriptions();
        observer_.reset();
        settle();
        Dependencies::setRoot(std::make_shared<Dependencies>());
        platform::setProcessClock(nullptr);
    }

    void writeDeviceJSON(const std::string& resolver) {
        const auto path = Utils::deviceJSONPath();
        ASSERT_TRUE(path);
        std::filesystem::create_directories(path->parent_path());
        std::ofstream(*path) << configurationText(resolver);
    }
    // Runs what the main queue holds now.
    static void drain() {
        while (platform::runMainLoopOnce(0ms)) {
        }
    }
    // Runs the main queue until it stays empty for a while: the observer's own queue hands its
    // work back there.
    static void settle() {
        while (platform::runMainLoopOnce(50ms)) {
        }
    }
    void post(ChangeType type, std::any object = {}) {
        center_.post(std::string(rawValue(type)), std::move(object));
        settle();
    }
    // Seconds since start at which the poll fired, up to `until`.
    std::vector<int> pollTimes(int until, int postConnectedAt = -1) {
        std::vector<int> times;
        for (int second = 1; second <= until; ++second) {
            const auto before = logger_->count("Firing polling interval after");
            clock_->advance(1s);
            drain();
            if (logger_->count("Firing polling interval after") > before) times.push_back(second);
            if (second == postConnectedAt) post(ChangeType::connected);
        }
        return times;
    }

    fakes::TemporaryFolder folder_{"kiv-change-observer"};
    fakes::ScopedEnvironment home_{"KIV_HOME", (folder_.path() / "home").string()};
    std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
    std::shared_ptr<CapturingLogger> logger_ = std::make_shared<CapturingLogger>();
    platform::NotificationCenter center_;
    std::shared_ptr<ChangeObserver> observer_;
    bool pathSatisfied_ = true;
    bool nestedEvent_ = false;
    int fetches_ = 0;
    int flushes_ = 0;
    std::mutex mutex_;
    int queries_ = 0;
    std::string queriedAddress_;
    std::function<void()> duringQuery_;  // run once by the next query, on the observer's queue
    // Changes handed on so far, counted without ordering anything between threads (relaxed): a
    // query may wait for it without ThreadSanitizer taking the wait for synchronisation.
    std::atomic<int> handedOn_{0};
    std::string lastNotification_;
    std::vector<std::string> shown_;
    std::vector<std::string> changes_;
    std::vector<std::string> resets_;
};

TEST_F(ChangeObserverTest, PollBacksOffTo60Seconds) {
    observer_->start();
    EXPECT_EQ(pollTimes(280), (std::vector<int>{10, 25, 55, 95, 155, 215, 275}));
}

TEST_F(ChangeObserverTest, ConnectedRestartsTheBackOffAfterThePollAlreadyScheduled) {
    observer_->start();
    EXPECT_EQ(pollTimes(320, 100), (std::vector<int>{10, 25, 55, 95, 155, 170, 200, 240, 300}));
}

// After the cancel no event is handled, and one received just before it (a quit's) does not
// configure the extension again on its way there: the quit is removing the proxy.
TEST_F(ChangeObserverTest, EventsBeforeStartReturnsAreNotLostAndCancelEndsThem) {
    observer_->start();
    center_.post("disconnected");
    settle();
    EXPECT_EQ(shown_, std::vector<std::string>{"network has disconnected"});
    writeDeviceJSON("192.0.2.53");
    center_.post(std::string(rawValue(ChangeType::deviceConfigRefreshed)));
    ASSERT_TRUE(platform::runMainLoopOnce(0ms));  // the delivery; its apply is queued behind it
    observer_->cancelSubscriptions();
    post(ChangeType::intranet);
    EXPECT_EQ(shown_.size(), 1u);
    EXPECT_TRUE(changes_.empty());
    EXPECT_TRUE(resets_.empty());
}

struct FetchCase {
    const char* name;
    ChangeType type;
    bool deviceJSON;
    bool path;
    int fetches;
};

class FetchCountTest : public ChangeObserverTest, public ::testing::WithParamInterface<FetchCase> {};

TEST_P(FetchCountTest, AsksTheServerAsTheEventAndTheStoredConfigurationRequire) {
    const auto& c = GetParam();
    if (c.deviceJSON) writeDeviceJSON("192.0.2.53");
    pathSatisfied_ = c.path;
    observer_->start();
    post(c.type);
    EXPECT_EQ(fetches_, c.fetches);
}

INSTANTIATE_TEST_SUITE_P(
    Events, FetchCountTest,
    ::testing::Values(FetchCase{"ConnectedWithoutConfiguration", ChangeType::connected, false, true, 2},
                      FetchCase{"ConnectedWithConfiguration", ChangeType::connected, true, true, 1},
                      FetchCase{"ConnectedWithoutPath", ChangeType::connected, false, false, 0},
                      FetchCase{"VPNDidStopWithConfiguration", ChangeType::VPNDidStop, true, true, 1},
                      FetchCase{"EditedLocallyWithoutConfiguration", ChangeType::deviceConfigEditedLocally,
                                false, true, 2},
                      FetchCase{"DisconnectedWithoutConfiguration", ChangeType::disconnected, false, true, 1},
                      FetchCase{"DisconnectedWithConfiguration", ChangeType::disconnected, true, true, 0},
                      FetchCase{"IntranetWithoutPath", ChangeType::intranet, false, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChangeObserverTest, AFetchWaitingOnTheMainThreadIsNotNested) {
    observer_->start();
    nestedEvent_ = true;
    post(ChangeType::connected);
    // The outer event fetches twice, the event inside its first fetch is handled but fetches nothing.
    EXPECT_EQ(fetches_, 2);
    EXPECT_EQ(logger_->count("a configuration fetch is already waiting"), 2u);
}

struct SourceCase {
    const char* name;
    ChangeType type;
    bool deviceJSON;
    bool object;
    std::string appliedResolver;  // "" : nothing applied
};

class ConfigurationSourceTest : public ChangeObserverTest,
                                public ::testing::WithParamInterface<SourceCase> {};

TEST_P(ConfigurationSourceTest, ReadsDeviceFileBeforeTheEventsObject) {
    const auto& c = GetParam();
    if (c.deviceJSON) writeDeviceJSON("192.0.2.1");
    observer_->start();
    post(c.type, c.object ? std::any(configuration("192.0.2.2")) : std::any());
    if (c.appliedResolver.empty()) {
        EXPECT_TRUE(changes_.empty());
        EXPECT_EQ(logger_->count("handleOnChange::  !!MISSING OR INVALID CONFIGURATION!!"), 1u);
    } else {
        ASSERT_FALSE(changes_.empty());
        EXPECT_EQ(changes_.front().substr(changes_.front().find(' ') + 1), c.appliedResolver);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ConfigurationSourceTest,
    ::testing::Values(
        SourceCase{"DeviceFileWins", ChangeType::deviceConfigRefreshed, true, true, "192.0.2.1"},
        SourceCase{"ObjectWhenNoFile", ChangeType::deviceConfigRefreshed, false, true, "192.0.2.2"},
        SourceCase{"ObjectIgnoredWhenEditedLocally", ChangeType::deviceConfigEditedLocally, false, true, ""},
        SourceCase{"NothingReadable", ChangeType::connected, false, false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChangeObserverTest, TheSameConfigurationTwiceResetsOnceAndHandsOverTwice) {
    writeDeviceJSON("192.0.2.53");
    observer_->start();
    post(ChangeType::intranet);
    post(ChangeType::didAwake);
    EXPECT_EQ(resets_, std::vector<std::string>{"192.0.2.53"});
    EXPECT_EQ(changes_, (std::vector<std::string>{"intranet 192.0.2.53", "didAwake 192.0.2.53"}));
    EXPECT_EQ(flushes_, 2);
    writeDeviceJSON("192.0.2.54");
    post(ChangeType::didAwake);
    EXPECT_EQ(resets_, (std::vector<std::string>{"192.0.2.53", "192.0.2.54"}));
}

TEST_F(ChangeObserverTest, ANewExternalAddressIsHandedOnAsAnAddressChange) {
    writeDeviceJSON("192.0.2.53");
    Injected<Settings>()->set("198.51.100.1", XNCServerInfoSection::externalIP);
    queriedAddress_ = "198.51.100.2";
    observer_->start();
    post(ChangeType::connected);
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(queries_, 1);
    }
    EXPECT_EQ(changes_, (std::vector<std::string>{"connected 192.0.2.53", "ipAddressChanged 192.0.2.53"}));
    EXPECT_EQ(Injected<Settings>()->getString(XNCServerInfoSection::externalIP), "198.51.100.2");
    EXPECT_EQ(observer_->lastKnownIP(), "198.51.100.2");
}

// A second `connected` arrives while the first one's query runs, and reads the stored address
// before the first one's query has stored a new one: its first application finds them different
// and turns its event into ipAddressChanged on the main queue, while its own query's application
// reads the event for its log line on the observer's queue. That query is held until the main
// queue has handed on three changes, so the main queue's write comes first; nothing but the cell
// itself orders the two, so ThreadSanitizer judges the cell. Every application hands on one change.
TEST_F(ChangeObserverTest, EventsOverlappingTheirAddressQueries) {
    writeDeviceJSON("192.0.2.53");
    for (int round = 0; round < 5; ++round) {
        Injected<Settings>()->set("198.51.100.1", XNCServerInfoSection::externalIP);
        changes_.clear();
        handedOn_.store(0, std::memory_order_relaxed);
        const auto holdSecondQuery = [this] {
            const auto until = std::chrono::steady_clock::now() + 5s;
            while (handedOn_.load(std::memory_order_relaxed) < 3 &&
                   std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
        };
        {
            std::lock_guard lock(mutex_);
            queries_ = 0;
            queriedAddress_ = "198.51.100." + std::to_string(round + 2);
            duringQuery_ = [this, holdSecondQuery] {
                {
                    std::lock_guard lock(mutex_);
                    duringQuery_ = holdSecondQuery;
                }
                platform::mainQueue()->async(
                    [this] { observer_->receivedChange(ChangeType::connected, nullptr); });
            };
        }
        observer_->receivedChange(ChangeType::connected, nullptr);
        settle();
        {
            std::lock_guard lock(mutex_);
            EXPECT_EQ(queries_, 2);
        }
        ASSERT_EQ(changes_.size(), 4u) << "round " << round;
        for (const auto& change : changes_) {
            EXPECT_TRUE(change == "connected 192.0.2.53" || change == "ipAddressChanged 192.0.2.53")
                << change;
        }
    }
}

TEST_F(ChangeObserverTest, NotificationTextsAreNotRepeated) {
    observer_->start();
    for (auto type : {ChangeType::disconnected, ChangeType::disconnected, ChangeType::connected,
                      ChangeType::onStartup, ChangeType::onShutdown})
        post(type);
    EXPECT_EQ(shown_, (std::vector<std::string>{"network has disconnected", "Network has connected",
                                                "KIV will stop"}));
}

TEST(ConfigurationApplyTest, VersionsAndTexts) {
    // The version decides whether the manager keeps the configuration at all.
    const std::pair<std::optional<std::string>, bool> versions[] = {
        {"1.1", true},   {"1.2.3", true}, {"1.2", false}, {"1.2.0", false},     {"2.5", false},
        {"1.x.3", true}, {"1.1.", true},  {"", false},    {std::nullopt, false}};
    auto withActions = configuration("192.0.2.1");
    withActions.result->actions.emplace().disable = true;
    withActions.result->actions->upgrade.emplace().url = "https://updates.example/kiv.deb";
    for (const auto& [version, handled] : versions) {
        EXPECT_EQ(ActionManager::handledInVersion(version), handled) << version.value_or("-");
        const ActionManager manager(withActions, true, version);
        EXPECT_EQ(manager.deviceConfiguration.has_value(), handled) << version.value_or("-");
        EXPECT_EQ(manager.isShutdown, handled ? std::optional(true) : std::nullopt) << version.value_or("-");
        EXPECT_EQ(manager.notHandledInThisVersion, !handled) << version.value_or("-");
        EXPECT_EQ(manager.actionsDescription().has_value(), handled) << version.value_or("-");
    }
    EXPECT_EQ(ActionManager(withActions, std::nullopt, "1.1").actionsDescription(),
              "disable = true)move url = -shutdown = falseuninstall = falseupgrade url = "
              "https://updates.example/kiv.deb");
    EXPECT_EQ(ActionManager(configuration("192.0.2.1"), std::nullopt, "1.1").actionsDescription(),
              std::nullopt);
    EXPECT_EQ(ActionManager(std::nullopt, std::nullopt, "1.1").actionsDescription(), std::nullopt);
    EXPECT_TRUE(sameConfigurationText(std::nullopt, std::nullopt));
    EXPECT_FALSE(sameConfigurationText(configuration("192.0.2.1"), std::nullopt));
    EXPECT_FALSE(sameConfigurationText(configuration("192.0.2.1"), configuration("192.0.2.2")));
    EXPECT_TRUE(sameConfigurationText(configuration("192.0.2.1"), configuration("192.0.2.1")));
}

}  // namespace
}  // namespace kiv
