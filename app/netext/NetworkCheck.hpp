#pragma once
// Turns network-path updates into the change events `connected` (on every satisfied update) and
// `disconnected` (once, when the path stops being satisfied), published through
// NotificationPublisher with the path (platform::NWPath) as the notification's object.
//
// Creating a NetworkCheck starts its own path monitor; each instance publishes on its own.
// Destroying it stops its monitor; an update already on its way is dropped. State changes and
// publications happen on the main queue. monitor() and primaryIPv4Address(): any thread.
#include <memory>
#include <optional>
#include <string>

#include "app/core/ChangeType.hpp"
#include "app/core/Injected.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/core/Service.hpp"
#include "platform/net/NWPathMonitor.hpp"

namespace kiv {

class NetworkCheck {
public:
    // Starts the rtnetlink path monitor at once.
    NetworkCheck();
    // Starts `monitor` (tests hand in a scripted one) and publishes through `publisher`.
    NetworkCheck(platform::NWPathMonitorPtr monitor, Injected<NotificationPublisher> publisher);
    ~NetworkCheck();
    NetworkCheck(const NetworkCheck&) = delete;
    NetworkCheck& operator=(const NetworkCheck&) = delete;

    // The path monitor; monitor().currentPath().status tells whether the network is usable.
    const platform::NWPathMonitor& monitor() const { return *monitor_; }
    // Shorthand for monitor().currentPath().status == satisfied.
    bool isSatisfied() const;

    // The last event published (main queue only).
    ChangeType lastStatus() const;

    // The computer's own IPv4 address: the first IPv4 address of the interface that holds the
    // IPv4 default route of lowest metric; nothing when there is none.
    std::optional<std::string> primaryIPv4Address() const;

private:
    struct State;

    platform::NWPathMonitorPtr monitor_;
    std::shared_ptr<State> state_;
};

// The registry's record: lifetime `global`, a new instance that starts its monitor when made.
Service networkCheckService();

}  // namespace kiv
