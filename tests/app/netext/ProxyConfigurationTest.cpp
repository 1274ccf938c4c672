// The DNS-proxy configuration the manager writes: the preferences file kivdnsproxy reads, the
// provider configuration's keys, dropped and refused attempts, failures of load, save and
// removal, and the retries after failed saves on the manual clock.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "ManagerTestSupport.hpp"
#include "app/core/TestData.hpp"
#include "app/core/XNCServerInfoSection.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"

namespace kiv {
namespace {

using namespace netexttest;
using platform::NEDNSProxyManager;
using platform::NEDNSProxyManagerError;
using Status = ExtensionStatus;

platform::ErrorObject proxyError(NEDNSProxyManagerError code) { return platform::makeNEDNSProxyError(code); }

class ProxyConfigurationTest : public ManagerEnvironment {
protected:
    std::shared_ptr<RecordingManager> manager_ = makeManager(std::make_shared<ScriptedHost>());
};

TEST_F(ProxyConfigurationTest, EnablingWritesWhatTheDaemonReads) {
    primaryAddress_ = "10.1.2.3";
    Injected<Settings> settings;
    settings->userDefaults()->setString(std::string(rawValue(XNCServerInfoSection::externalIP)),
                                        "198.51.100.99");
    EXPECT_EQ(configure(*manager_, sampleRecord(), true), std::nullopt);
    EXPECT_EQ(manager_->status(), "Configuration saved.");
    EXPECT_EQ(manager_->extensionState(), (ExtensionStatusSet{Status::configured, Status::notStarted}));
    EXPECT_TRUE(
        turnUntil([&] { return logLines().contains("KIVNetExtMgr: Register worked Failed to register"); }));

    struct stat info {};
    ASSERT_EQ(::stat(preferencesPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    const auto load = platform::ne::loadDNSProxyPreferences(preferencesPath());
    ASSERT_EQ(load.status, platform::ne::PreferencesLoad::Status::loaded);
    const auto& file = load.preferences;
    EXPECT_TRUE(file.enabled);
    EXPECT_EQ(file.localizedDescription, "KIV DNS Proxy ");
    EXPECT_EQ(file.providerBundleIdentifier, "com.kiv.veltrax.KIVDNSProxy");
    EXPECT_EQ(file.serverAddress, "192.0.2.53");
    EXPECT_FALSE(file.disconnectOnSleep);
    EXPECT_TRUE(file.enforceRoutes);
    ASSERT_TRUE(file.providerConfiguration);
    const nlohmann::json expected = {
        {"internalIp", "10.1.2.3"},
        {"externalIp", "198.51.100.99"},
        {"locationTag", "office"},
        {"uuid", "8c1f7e1a-0000-4000-8000-000000000001"},
        {"resolvers", {"203.0.113.1", "203.0.113.2"}},
        {"localDNS", {"192.0.2.1"}},
        {"filters",
         {{{"filter", {{{"resolvers", {"192.0.2.53", "192.0.2.54"}}}, {{"domain", "intranet.example"}}}}},
          {{"filter", {{{"resolvers", {"198.51.100.7"}}}, {{"rule", "block"}}}}}}}};
    EXPECT_EQ(*file.providerConfiguration, expected) << file.providerConfiguration->dump(2);

    // Disabling keeps the rest.
    EXPECT_EQ(configure(*manager_, sampleRecord(), false), std::nullopt);
    const auto disabled = platform::ne::loadDNSProxyPreferences(preferencesPath());
    EXPECT_FALSE(disabled.preferences.enabled);
    EXPECT_EQ(disabled.preferences.providerConfiguration, file.providerConfiguration);
}

TEST_F(ProxyConfigurationTest, NoRulesNoAddressesGiveFiveKeysAndNoServerAddress) {
    EXPECT_EQ(configure(*manager_, sampleRecord(false), true), std::nullopt);
    const auto load = platform::ne::loadDNSProxyPreferences(preferencesPath());
    EXPECT_FALSE(load.preferences.serverAddress);
    ASSERT_TRUE(load.preferences.providerConfiguration);
    std::vector<std::string> keys;
    for (const auto& [key, value] : load.preferences.providerConfiguration->items()) keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"filters", "localDNS", "locationTag", "resolvers", "uuid"}));
    EXPECT_EQ(manager_->providerConfiguration(std::nullopt), nlohmann::json::object());
}

TEST_F(ProxyConfigurationTest, TestRulesFollowTheServersRules) {
    model::ForwardingRule local;
    local.domain = "lab.example";
    TestData::shared().setTestForwardingRules(std::vector<model::ForwardingRule>{local});
    const auto vendorData = manager_->providerConfiguration(sampleRecord());
    TestData::shared().setTestForwardingRules(std::nullopt);
    ASSERT_EQ(vendorData["filters"].size(), 3u);
    EXPECT_EQ(vendorData["filters"][2], (nlohmann::json{{"filter", {{{"domain", "lab.example"}}}}}));
}

TEST_F(ProxyConfigurationTest, SecondAttemptIsDroppedWhateverItAsks) {
    int firstCalls = 0, secondCalls = 0;
    manager_->configureProxy(sampleRecord(), true, [&](const auto&) { ++firstCalls; });
    manager_->configureProxy(sampleRecord(false), false, [&](const auto&) { ++secondCalls; });
    ASSERT_TRUE(turnUntil([&] { return firstCalls == 1; }));
    drainMainQueue();
    EXPECT_EQ(secondCalls, 0);
    EXPECT_TRUE(platform::ne::loadDNSProxyPreferences(preferencesPath()).preferences.enabled);
    ASSERT_TRUE(manager_->savedNetworkConfig());
    EXPECT_EQ(wholeText(manager_->savedNetworkConfig()->deviceConfig),
              wholeText(sampleRecord().deviceConfig));
}

TEST_F(ProxyConfigurationTest, QuitKeepsEveryLaterAttemptAway) {
    ASSERT_EQ(configure(*manager_, sampleRecord(), true), std::nullopt);
    std::optional<std::optional<std::string>> removed;
    manager_->unloadConfigurations(true, [&](const auto& error) { removed = error; });
    ASSERT_TRUE(turnUntil([&] { return removed.has_value(); }));
    EXPECT_EQ(*removed, std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(preferencesPath()));
    EXPECT_TRUE(manager_->isTerminating());
    EXPECT_EQ(configure(*manager_, sampleRecord(), true), "dropped");
    EXPECT_FALSE(std::filesystem::exists(preferencesPath()));
}

// A quit removes the preferences while a configuration event is still loading them: the event's
// save comes first, and neither the attempt its completion starts (as a reset does) nor the retry
// its failure schedules writes them back after the removal.
TEST_F(ProxyConfigurationTest, AnUnloadWaitsForTheSaveInProgressAndDisownsItsRetry) {
    dnsProxy_->failNext(NEDNSProxyManager::Operation::save,
                        proxyError(NEDNSProxyManagerError::configurationStale));
    std::optional<std::optional<std::string>> configured, removed;
    manager_->configureProxy(sampleRecord(), true, [&](const auto& error) {
        configured = error;
        manager_->configureProxy(sampleRecord(), true, nullptr);
    });
    manager_->unloadConfigurations(false, [&](const auto& error) { removed = error; });
    ASSERT_TRUE(turnUntil([&] { return configured.has_value() && removed.has_value(); }));
    EXPECT_EQ(*removed, std::nullopt);
    for (int tenth = 0; tenth < 30; ++tenth) advance(std::chrono::milliseconds(100));
    EXPECT_TRUE(posts().empty());
    EXPECT_FALSE(std::filesystem::exists(preferencesPath()));
}

TEST_F(ProxyConfigurationTest, RemovalThatCannotRemoveLeavesItDisabled) {
    ASSERT_EQ(configure(*manager_, sampleRecord(), true), std::nullopt);
    dnsProxy_->failNext(NEDNSProxyManager::Operation::remove,
                        proxyError(NEDNSProxyManagerError::configurationCannotBeRemoved));
    std::optional<std::optional<std::string>> removed;
    manager_->unloadConfigurations(false, [&](const auto& error) { removed = error; });
    ASSERT_TRUE(turnUntil([&] { return removed.has_value(); }));
    ASSERT_TRUE(removed->has_value());
    EXPECT_EQ(manager_->extensionState(), ExtensionStatusSet{Status::userDenied});
    EXPECT_EQ(manager_->status(), "Error unloading configurations.");
    ASSERT_TRUE(turnUntil(
        [&] { return !platform::ne::loadDNSProxyPreferences(preferencesPath()).preferences.enabled; }));
    EXPECT_TRUE(
        logLines().contains("KIVNetExtMgr: Did not unload configurations, error: NEDNSProxyErrorDomain / 4"));
}

struct FailureCase {
    const char* name;
    NEDNSProxyManager::Operation operation;
    NEDNSProxyManagerError code;
    ExtensionStatusSet state;
    std::string status;
    std::vector<std::string> posts;  // within 30 s
};

class AttemptFailureTest : public ProxyConfigurationTest,
                           public ::testing::WithParamInterface<FailureCase> {};

TEST_P(AttemptFailureTest, FailureIsReportedAndRetriedAsItShould) {
    const auto& c = GetParam();
    dnsProxy_->failNext(c.operation, proxyError(c.code));
    const auto error = configure(*manager_, sampleRecord(), true);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(*error, "dropped");
    EXPECT_FALSE(manager_->isConfiguring());
    EXPECT_EQ(manager_->extensionState(), c.state);
    EXPECT_EQ(manager_->status(), c.status);
    for (int second = 0; second < 30; ++second) advance(std::chrono::seconds(1));
    EXPECT_EQ(posts(), c.posts);
}

INSTANTIATE_TEST_SUITE_P(Failures, AttemptFailureTest,
                         ::testing::Values(FailureCase{"LoadFails",
                                                       NEDNSProxyManager::Operation::load,
                                                       NEDNSProxyManagerError::configurationInvalid,
                                                       ExtensionStatusSet{Status::notStarted},
                                                       "Error loading configurations.",
                                                       {}},
                                           FailureCase{"SaveFails",
                                                       NEDNSProxyManager::Operation::save,
                                                       NEDNSProxyManagerError::configurationStale,
                                                       ExtensionStatusSet{Status::notStarted},
                                                       "Error saving configuration.",
                                                       {"deviceConfigRefreshed@1000"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProxyConfigurationTest, RetriesAfterFailedSavesEscalateAndASuccessResetsThem) {
    // Each failure at a fresh moment; the retry's time is measured from it.
    struct Step {
        bool fails;
        std::int64_t retryAfterMs;  // -1: no retry
    };
    const std::vector<Step> steps{{true, 1000}, {true, 1000}, {true, 2000},
                                  {false, -1},  {true, 1000}, {true, 1000}};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        clearPosts();
        if (steps[i].fails)
            dnsProxy_->failNext(NEDNSProxyManager::Operation::save,
                                proxyError(NEDNSProxyManagerError::configurationStale));
        const auto start = std::chrono::duration_cast<std::chrono::milliseconds>(clock_->monotonic()).count();
        const auto error = configure(*manager_, sampleRecord(), true);
        EXPECT_EQ(error.has_value(), steps[i].fails) << "step " << i;
        for (int tenth = 0; tenth < 50; ++tenth) advance(std::chrono::milliseconds(100));
        if (steps[i].retryAfterMs < 0) {
            EXPECT_TRUE(posts().empty()) << "step " << i;
        } else {
            EXPECT_EQ(posts(), std::vector<std::string>{"deviceConfigRefreshed@" +
                                                        std::to_string(start + steps[i].retryAfterMs)})
                << "step " << i;
        }
    }
}

// Every save fails (as with a preferences folder that cannot be written). The retries come on growing delays
// up to five minutes; the change handling's attempt after each retry and another event's attempt every minute
// add no retry, and only the failures that schedule a retry are logged. A save that works again resets the
// delays.
TEST_F(ProxyConfigurationTest, SaveThatKeepsFailingIsRetriedEverMoreRarely) {
    const auto failingAttempt = [&] {
        dnsProxy_->failNext(NEDNSProxyManager::Operation::save,
                            proxyError(NEDNSProxyManagerError::configurationStale));
        return configure(*manager_, sampleRecord(), true);
    };
    const auto now = [&] {
        return std::chrono::duration_cast<std::chrono::seconds>(clock_->monotonic()).count();
    };
    const auto failureLines = [&] {
        const auto lines = logLines().all();
        return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.rfind("KIVNetExtMgr: Did not save configuration", 0) == 0;
        });
    };
    const auto start = now();
    ASSERT_NE(failingAttempt(), std::nullopt);
    std::vector<std::int64_t> retries;  // seconds after the first failure
    std::size_t seen = 0;
    for (int second = 1; second <= 1900; ++second) {
        advance(std::chrono::seconds(1));
        const auto posted = posts();
        for (; seen < posted.size(); ++seen) {
            retries.push_back(now() - start);
            EXPECT_NE(failingAttempt(), std::nullopt);  // the retry's attempt
        }
        if (second % 60 == 0) {
            EXPECT_NE(failingAttempt(), std::nullopt);  // another event's attempt
        }
    }
    // 1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, then every 300 s.
    EXPECT_EQ(retries, (std::vector<std::int64_t>{1, 2, 4, 7, 12, 20, 33, 54, 88, 143, 232, 376, 609, 909,
                                                  1209, 1509, 1809}));
    EXPECT_EQ(failureLines(), static_cast<std::ptrdiff_t>(retries.size() + 1));
    EXPECT_EQ(manager_->status(), "Error saving configuration.");

    // Saving works again: the retry's attempt saves, and the next failure starts over at 1 s.
    clearPosts();
    for (int second = 0; second < 300 && posts().empty(); ++second) advance(std::chrono::seconds(1));
    ASSERT_EQ(posts().size(), 1u);
    ASSERT_EQ(configure(*manager_, sampleRecord(), true), std::nullopt);
    EXPECT_EQ(manager_->throttle().throttleIndex, 0);
    clearPosts();
    dnsProxy_->failNext(NEDNSProxyManager::Operation::save,
                        proxyError(NEDNSProxyManagerError::configurationStale));
    const auto failedAt = std::chrono::duration_cast<std::chrono::milliseconds>(clock_->monotonic()).count();
    ASSERT_NE(configure(*manager_, sampleRecord(), true), std::nullopt);
    for (int tenth = 0; tenth < 20; ++tenth) advance(std::chrono::milliseconds(100));
    EXPECT_EQ(posts(), std::vector<std::string>{"deviceConfigRefreshed@" + std::to_string(failedAt + 1000)});
}

// A retry still waiting when a save succeeds is disowned: no event comes from it.
TEST_F(ProxyConfigurationTest, SuccessfulSaveDisownsTheWaitingRetry) {
    dnsProxy_->failNext(NEDNSProxyManager::Operation::save,
                        proxyError(NEDNSProxyManagerError::configurationStale));
    ASSERT_NE(configure(*manager_, sampleRecord(), true), std::nullopt);
    ASSERT_EQ(configure(*manager_, sampleRecord(), true), std::nullopt);
    for (int tenth = 0; tenth < 30; ++tenth) advance(std::chrono::milliseconds(100));
    EXPECT_TRUE(posts().empty());
}

TEST_F(ProxyConfigurationTest, StopProxyDisablesAndKeepsTheRest) {
    ASSERT_EQ(configure(*manager_, sampleRecord(), true), std::nullopt);
    const auto before = platform::ne::loadDNSProxyPreferences(preferencesPath()).preferences;
    manager_->stopProxy();
    ASSERT_TRUE(turnUntil(
        [&] { return !platform::ne::loadDNSProxyPreferences(preferencesPath()).preferences.enabled; }));
    auto after = platform::ne::loadDNSProxyPreferences(preferencesPath()).preferences;
    after.enabled = true;
    EXPECT_EQ(after.toJSON(), before.toJSON());
}

}  // namespace
}  // namespace kiv
