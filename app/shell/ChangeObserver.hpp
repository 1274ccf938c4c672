#pragma once
// The application's central reaction to change: every change event and every poll tick re-reads
// the stored device configuration and pushes it to the status-bar menu, the settings, the
// app-group defaults, the DNS-proxy extension and the helper tool. Some events also restart the
// poll's back-off, ask the device server for a fresh configuration or show a notification.
//
// Threads: events, poll ticks and every field on the main queue. The external-address query and
// the configuration apply's barrier run on the observer's own concurrent queue.
//
// Lifetime: a registry service living as long as the process; the poll and the queued work hold
// it weakly.
#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/ChangeType.hpp"
#include "app/core/Injected.hpp"
#include "app/core/Service.hpp"
#include "app/core/Settings.hpp"
#include "app/netext/NetworkExtensionManager.hpp"
#include "app/netext/ipc/NetworkExtConfig.hpp"
#include "app/shell/MenuInteraction.hpp"
#include "model/DeviceConfiguration.hpp"
#include "platform/Dispatch.hpp"
#include "platform/NotificationCenter.hpp"

namespace kiv {

// The poll's back-off: 10, 15, 30, 40, then 60 seconds.
struct TimerVariance {
    std::array<double, 5> timeInterval{10, 15, 30, 40, 60};
    std::size_t index = 0;
    int configureThrottle = 20;
};

// The configuration's parts the extension is built from.
std::optional<std::string> configurationUUID(const model::DeviceConfiguration& config);
std::optional<std::string> configurationLocationTag(const model::DeviceConfiguration& config);
std::vector<std::string> configurationResolvers(const model::DeviceConfiguration& config);
// True when both are absent, or both encode (sorted keys) to the same text.
bool sameConfigurationText(const std::optional<model::DeviceConfiguration>& a,
                           const std::optional<model::DeviceConfiguration>& b);

class ChangeObserver : public std::enable_shared_from_this<ChangeObserver> {
public:
    // What the observer reaches outside itself; each absent member takes the process's own.
    struct Environment {
        platform::NotificationCenter* center = nullptr;
        std::function<bool()> pathSatisfied;
        // Asks the device server for the configuration and re-reads config.json; blocks.
        std::function<void()> fetch;
        // Hands the configuration to the VPN monitor and tells whether a VPN runs.
        std::function<bool(const model::DeviceConfiguration&)> vpnRunning;
        // The external address as the filtering resolvers see it; "" when unknown. Blocks.
        std::function<std::string(const std::vector<std::string>&)> externalAddress;
        std::function<ExtensionStatusSet()> extensionState;
        std::function<void(ChangeType, const NetworkExtConfig&)> handleChange;
        std::function<void(const NetworkExtConfig&)> resetExtension;
        std::function<void()> flushDNS;
        std::function<std::string()> lastNotification;
        std::function<void(const std::string&)> setLastNotification;
        // Posts a notification; the completion receives whether it was added.
        std::function<void(const std::string& body, std::function<void(bool)> completion)> postNotification;
        // Makes the menu; nothing where there is no status area.
        std::function<std::shared_ptr<MenuInteraction>(TrayType, bool)> makeMenu;
        std::function<void(const model::DeviceConfiguration&)> saveShared;
    };

    static std::shared_ptr<ChangeObserver> make();
    static std::shared_ptr<ChangeObserver> make(Environment environment);
    explicit ChangeObserver(Environment environment);
    ChangeObserver(const ChangeObserver&) = delete;
    ChangeObserver& operator=(const ChangeObserver&) = delete;

    // Arms the first poll and subscribes to the change events; every subscription is in place
    // when it returns. A second call does nothing.
    void start();
    // Ends every event subscription; the poll goes on.
    void cancelSubscriptions();
    bool isStarted() const { return started_; }

    // One event (main queue); `object` is what the notification carried, if anything.
    void receivedChange(ChangeType type, const std::any* object);

    const TimerVariance& timerVariance() const { return timerVariance_; }
    const std::optional<model::DeviceConfiguration>& config() const { return config_; }
    const std::string& lastKnownIP() const { return lastKnownIP_; }

private:
    // Shared by the applications of one event. The type is replaced on the main queue (by
    // ipAddressChanged) while the address query's application reads it on the observer's queue
    // for its log line: an atomic cell. The VPN state is written before either starts.
    struct EventCells {
        explicit EventCells(ChangeType initial) : type(initial) {}
        std::atomic<ChangeType> type;
        bool vpnRunning = false;
    };

    void schedulePoll();
    void requestFetch();
    void showNotification(ChangeType type);
    void handleOnChange(const std::any* object, ChangeType type, bool userAcceptedExtension);
    std::optional<model::DeviceConfiguration> readConfiguration(const std::any* object, ChangeType type);
    void apply(const model::DeviceConfiguration& config, const std::string& address,
               const std::shared_ptr<EventCells>& cells, bool userAcceptedExtension);
    void setMenubarStatus(ChangeType type, bool hasIpAddress, bool userAcceptedExtension, bool vpnRunning);
    void updateDeviceKey();
    void updateUserName();
    void updateMenuAndExtension(const model::DeviceConfiguration& config, ChangeType type,
                                const std::string& address);
    void applyConfiguration(const model::DeviceConfiguration& config, const std::string& address);
    void updateDebugMenu(const model::DeviceConfiguration& config);
    void resetNetworkExtension(const model::DeviceConfiguration& config);
    void updateNetworkExtension(ChangeType type, const model::DeviceConfiguration& config);
    bool userAcceptedExtension() const;
    void log(const std::string& message, model::LogLevel level = model::LogLevel::production) const;

    Environment env_;
    Injected<Settings> _settings;
    Injected<KIVLogger> _logger;
    platform::DispatchQueuePtr concurrentQueue_;
    std::string lastKnownIP_;
    bool haveUpdatedMenuWithConfig_ = false;
    TimerVariance timerVariance_;
    std::shared_ptr<MenuInteraction> menuInteraction_;
    std::optional<model::DeviceConfiguration> config_;
    std::map<ChangeType, platform::Observation> cancellables_;
    // Set by cancelSubscriptions (a quit): what an event already received still has to do leaves the
    // extension alone, so it cannot configure the proxy again once the quit removed it.
    std::atomic<bool> subscriptionsCancelled_{false};
    bool started_ = false;
    // A fetch blocks the main thread while turning its loop; events arriving meanwhile must not
    // start another one inside it.
    bool fetching_ = false;
};

Service changeObserverService();

}  // namespace kiv
