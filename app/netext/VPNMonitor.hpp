#pragma once
// Whether a VPN is up. Two faces:
// - isVPNRunning(): a tunnel interface (tun, WireGuard or PPP) holds an IPv4 address AND a running
//   application's name contains a known VPN client's name (case-insensitive). Needs deviceConfig;
//   without one the answer is false.
// - startMonitoring(): follows IPv4 address, route and link changes (rtnetlink on the process's
//   reactor) and on every change publishes `VPNDidStart` while a tunnel is up, or `VPNDidStop`
//   once when the tunnel is gone, judging by tunnel interfaces alone.
//
// Threads: any. deviceConfig is guarded by a lock. Watcher changes are judged on a serial queue
// of the monitor ("VPNMonitor.queue"); publications reach the main queue (NotificationPublisher).
// Destroying the monitor stops the watcher.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/core/Service.hpp"
#include "app/core/Settings.hpp"
#include "model/DeviceConfiguration.hpp"
#include "platform/Dispatch.hpp"

namespace kiv {

// One network interface as the watcher lists it.
struct NetworkInterface {
    std::string BSDName;
    std::string displayName;
    bool isActive = false;
};

class VPNMonitor {
public:
    // Where the monitor looks. Tests replace either.
    struct Sources {
        // True when a tunnel interface holds an IPv4 address.
        std::function<bool()> tunnelTest;
        // Names of the running applications, read afresh on every call.
        std::function<std::vector<std::string>()> runningApplicationNames;
    };

    // The built-in VPN client names.
    static const std::vector<std::string>& builtInVPNNames();

    // Real sources: rtnetlink and /proc.
    VPNMonitor();
    VPNMonitor(Sources sources, Injected<NotificationPublisher> publisher, Injected<KIVLogger> logger);
    ~VPNMonitor();
    VPNMonitor(const VPNMonitor&) = delete;
    VPNMonitor& operator=(const VPNMonitor&) = delete;

    bool isVPNRunning();
    // The built-in names plus the configuration's "interfaces_to_ignore" (empty entries skipped),
    // without duplicates; order not significant.
    std::vector<std::string> vpnNames(const model::DeviceConfiguration& from);

    // Starts the watcher and returns; a second call does nothing.
    void startMonitoring();
    // One watcher change, as the netlink watcher delivers it (tests call it directly).
    void handleChange();

    void setDeviceConfig(std::optional<model::DeviceConfiguration> config);
    std::optional<model::DeviceConfiguration> deviceConfig() const;
    bool vpnWasRunning() const;

private:
    struct Watch;

    Injected<NotificationPublisher> notificationPublisher_;
    Injected<Settings> settings_;
    Injected<KIVLogger> logger_;
    Sources sources_;

    mutable std::mutex mutex_;
    std::optional<model::DeviceConfiguration> deviceConfig_;  // guarded by mutex_
    bool vpnWasRunning_ = false;                              // guarded by mutex_
    std::unique_ptr<Watch> watch_;                            // guarded by mutex_
};

// The registry's record: lifetime `global`, a new instance.
Service vpnMonitorService();

}  // namespace kiv
