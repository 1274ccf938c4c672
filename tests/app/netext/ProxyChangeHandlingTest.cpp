// The proxy's reaction to change events and to the extension's reports, through a real
// preferences file: what the file holds afterwards and which configuration attempts started.
#include <gtest/gtest.h>

#include <fstream>

#include "ManagerTestSupport.hpp"
#include "app/core/Utils.hpp"
#include "app/netext/NetworkCheck.hpp"
#include "app/netext/VPNMonitor.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"

namespace kiv {
namespace {

using namespace netexttest;
using platform::NWPath;
using Status = ExtensionStatus;

class SteadyPathMonitor final : public platform::NWPathMonitor {
public:
    void setPathUpdateHandler(UpdateHandler) override {}
    void start(platform::DispatchQueuePtr) override {}
    void cancel() override {}
    NWPath currentPath() const override { return path; }
    NWPath path;
};

class ChangeManager final : public NetworkExtensionManager {
public:
    using NetworkExtensionManager::NetworkExtensionManager;
    using NetworkExtensionManager::setEnabledOnFirstLaunch;
    using NetworkExtensionManager::setExtensionState;
};

class ProxyChangeHandlingTest : public ManagerEnvironment {
protected:
    void SetUp() override {
        ManagerEnvironment::SetUp();
        std::vector<Service> services{
            loggerService(), settingsService(),
            Service::make<NotificationPublisher>(Service::LifeCycle::global,
                                                 [this] { return NotificationPublisher(&center_); }),
            Service::make<NetworkCheck>(Service::LifeCycle::global,
                                        [this] {
                                            return std::make_shared<NetworkCheck>(
                                                pathMonitor_, Injected<NotificationPublisher>());
                                        }),
            Service::make<VPNMonitor>(Service::LifeCycle::global, [this] {
                return std::make_shared<VPNMonitor>(
                    VPNMonitor::Sources{
                        [this] { return vpn_; },
                        [this] {
                            return vpn_ ? std::vector<std::string>{VPNMonitor::builtInVPNNames().front()}
                                        : std::vector<std::string>{};
                        }},
                    Injected<NotificationPublisher>(), Injected<KIVLogger>());
            })};
        Dependencies::setRoot(std::make_shared<Dependencies>(std::move(services)));
        setPath(true);
        // The monitor names VPN clients only once it knows a configuration.
        Injected<VPNMonitor>()->setDeviceConfig(sampleRecord().deviceConfig);
        manager_ = std::make_shared<ChangeManager>(options(std::make_shared<ScriptedHost>()));
    }

    void setPath(bool satisfied) {
        pathMonitor_->path.status = satisfied ? NWPath::Status::satisfied : NWPath::Status::unsatisfied;
    }
    void writeDeviceJSON() {
        const auto path = Utils::deviceJSONPath();
        ASSERT_TRUE(path.has_value());
        std::filesystem::create_directories(path->parent_path());
        std::ofstream(*path) << R"({"jsonrpc":"2.0","id":7,"result":{}})";
    }
    bool fileEnabled() const {
        return platform::ne::loadDNSProxyPreferences(preferencesPath()).preferences.enabled;
    }
    // The configuration attempts started, as "1" (enable) and "0" (disable).
    std::vector<std::string> attempts() {
        std::vector<std::string> result;
        const std::string prefix = "KIVNetExtMgr: Will configureProxy enable: ";
        for (const auto& line : logLines().all())
            if (line.rfind(prefix, 0) == 0) result.push_back(line.substr(prefix.size()));
        return result;
    }
    // Lets every attempt, and a reset's second half, finish.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            turnUntil([&] { return !manager_->isConfiguring(); });
            drainMainQueue();
        }
    }

    std::shared_ptr<SteadyPathMonitor> pathMonitor_ = std::make_shared<SteadyPathMonitor>();
    bool vpn_ = false;
    std::shared_ptr<ChangeManager> manager_;
};

struct ChangeCase {
    const char* name;
    ChangeType event;
    bool proxyOn;
    ExtensionStatusSet state;
    bool firstLaunchDone;
    bool deviceJSON;
    bool pathSatisfied;
    bool vpn;
    std::vector<std::string> attempts;
    bool enabledAfter;
};

class HandleChangeTest : public ProxyChangeHandlingTest, public ::testing::WithParamInterface<ChangeCase> {};

const ExtensionStatusSet kActive{Status::configured, Status::userAccepted};

TEST_P(HandleChangeTest, SwitchesTheProxyAsTheNetworkAllows) {
    const auto& c = GetParam();
    if (c.proxyOn) {
        ASSERT_EQ(configure(*manager_, sampleRecord(), true), std::nullopt);
    }
    manager_->setExtensionState(c.state);
    manager_->setEnabledOnFirstLaunch(c.firstLaunchDone);
    if (c.deviceJSON) writeDeviceJSON();
    setPath(c.pathSatisfied);
    vpn_ = c.vpn;
    logLines().clear();

    manager_->handleChange(c.event, sampleRecord());
    settle();

    EXPECT_EQ(attempts(), c.attempts);
    EXPECT_EQ(fileEnabled(), c.enabledAfter);
    EXPECT_FALSE(manager_->extensionState().contains(Status::userStopped));
}

constexpr auto kPoll = ChangeType::pollingInterval;
constexpr auto kAddress = ChangeType::ipAddressChanged;

INSTANTIATE_TEST_SUITE_P(
    Decisions, HandleChangeTest,
    ::testing::Values(
        // First launch and step 5 in one pass: the second attempt is dropped.
        ChangeCase{"FirstLaunchEnablesOnce", kPoll, false, kActive, false, true, true, false, {"1"}, true},
        ChangeCase{
            "OffWithoutDeviceFileEnables", kPoll, false, kActive, false, false, true, false, {"1"}, true},
        ChangeCase{"OnAndUsableStaysOn", kPoll, true, kActive, true, true, true, false, {}, true},
        ChangeCase{"OnWithVPNDisables", kPoll, true, kActive, true, true, true, true, {"0"}, false},
        ChangeCase{"OnPathLostDisables", kPoll, true, kActive, true, true, false, false, {"0"}, false},
        ChangeCase{"OnPathLostDisablesEvenNotStarted",
                   kPoll,
                   true,
                   {Status::notStarted},
                   true,
                   true,
                   false,
                   false,
                   {"0"},
                   false},
        ChangeCase{"UserStoppedIsEnabledAgain",
                   kPoll,
                   true,
                   {Status::userStopped},
                   true,
                   true,
                   true,
                   false,
                   {"1"},
                   true},
        ChangeCase{"UserStoppedWithVPNStaysAsIs",
                   kPoll,
                   true,
                   {Status::userStopped},
                   true,
                   true,
                   true,
                   true,
                   {},
                   true},
        ChangeCase{"NotStartedNeverEnables",
                   kPoll,
                   false,
                   {Status::notStarted},
                   false,
                   true,
                   true,
                   false,
                   {},
                   false},
        ChangeCase{"FailedToInstallNeverEnables",
                   kPoll,
                   false,
                   {Status::failedToInstall},
                   false,
                   true,
                   true,
                   false,
                   {},
                   false},
        ChangeCase{"OffWithVPNStaysOff", kPoll, false, kActive, true, true, true, true, {}, false},
        ChangeCase{"AddressChangeResets", kAddress, true, kActive, true, true, true, false, {"0", "1"}, true},
        ChangeCase{"AddressChangeBlockedDoesNotReset",
                   kAddress,
                   true,
                   {Status::notStarted},
                   true,
                   true,
                   true,
                   false,
                   {},
                   true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProxyChangeHandlingTest, StopReportsSetTheStateAndAskForARefresh) {
    struct Case {
        std::int64_t reason;
        bool terminating;
        ExtensionStatusSet state;
        std::size_t refreshes;
    };
    const Case cases[] = {{0, false, {Status::configured, Status::userAccepted}, 1},
                          {3, false, {Status::userStopped}, 1},
                          {3, true, {Status::configured}, 0}};
    for (const auto& c : cases) {
        auto manager = std::make_shared<ChangeManager>(options(std::make_shared<ScriptedHost>()));
        manager->setExtensionState({Status::configured, Status::userAccepted});
        if (c.terminating) manager->unloadConfigurations(true, nullptr);
        drainMainQueue();
        clearPosts();
        manager->proxyStoppedWithReason(c.reason);
        drainMainQueue();
        EXPECT_EQ(manager->extensionState(), c.state) << c.reason;
        EXPECT_EQ(posts().size(), c.refreshes) << c.reason;
    }
}

TEST_F(ProxyChangeHandlingTest, ConnectionErrorResetsOnlyWithASavedRecord) {
    manager_->setExtensionState(kActive);
    manager_->connectionErrorWithReason(platform::ErrorObject{"NSPOSIXErrorDomain", 54, "Connection reset"});
    settle();
    EXPECT_TRUE(attempts().empty());

    ASSERT_EQ(configure(*manager_, sampleRecord(), true), std::nullopt);
    logLines().clear();
    manager_->connectionErrorWithReason(platform::ErrorObject{"NSPOSIXErrorDomain", 54, "Connection reset"});
    settle();
    EXPECT_EQ(attempts(), (std::vector<std::string>{"0", "1"}));
    EXPECT_TRUE(fileEnabled());
}

// A failed save leaves memory as the file is and does not count as a failed activation, so
// the retry's refresh really enables the proxy.
TEST_F(ProxyChangeHandlingTest, RetryAfterAFailedSaveEnablesTheProxy) {
    manager_->setExtensionState(kActive);
    manager_->setEnabledOnFirstLaunch(true);
    dnsProxy_->failNext(
        platform::NEDNSProxyManager::Operation::save,
        platform::ErrorObject{"NEDNSProxyErrorDomain",
                              static_cast<std::int64_t>(platform::NEDNSProxyManagerError::configurationStale),
                              "stale"});
    manager_->handleChange(kPoll, sampleRecord());
    settle();
    EXPECT_TRUE(manager_->lastSaveFailed());
    EXPECT_FALSE(dnsProxy_->isEnabled());
    EXPECT_FALSE(manager_->extensionState().contains(Status::failedToInstall));

    bool refreshed = false;
    auto observation =
        center_.addObserver(std::string(rawValue(ChangeType::deviceConfigRefreshed)), nullptr,
                            [&](const platform::Notification&) {
                                refreshed = true;
                                manager_->handleChange(ChangeType::deviceConfigRefreshed, sampleRecord());
                            });
    for (int second = 0; second < 5 && !refreshed; ++second) advance(std::chrono::seconds(1));
    ASSERT_TRUE(refreshed);
    settle();
    EXPECT_TRUE(fileEnabled());
    EXPECT_FALSE(manager_->lastSaveFailed());
}

}  // namespace
}  // namespace kiv
