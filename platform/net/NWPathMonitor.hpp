#pragma once
// The network path as the application sees it, and the monitor that follows it.
//
// Linux stand-in: an rtnetlink socket (links, IPv4/IPv6 addresses and routes) registered with the
// process's one platform::Reactor. Every change the kernel announces makes the monitor read the
// whole state again (NetworkSnapshot.hpp) and hand the new path to the update handler on the
// queue given to start(). A path is reported only when it differs from the last one reported
// (status, the interfaces and their types, gateways, IPv4/IPv6/DNS support), as the original
// platform's monitor does: a container's veth pair or a route elsewhere is no news, and each
// report costs the application a device-server fetch.
//
// The path is satisfied when a default route of the main table leaves through an interface that
// is up, is not loopback and holds an address of the route's family (for IPv6 one that is not
// link-local); without such a route it is unsatisfied. When the kernel's state cannot be read at
// all the path counts as satisfied (with no interfaces): not knowing is no reason to go offline.
//
// Threads: any. Destroying the monitor, or cancel(), stops updates; an update already handed to
// the queue may still run, so handlers hold what they need weakly.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Dispatch.hpp"

namespace platform {

struct NWInterface {
    enum class InterfaceType { other, wifi, cellular, wiredEthernet, loopback };

    std::string name;
    InterfaceType type = InterfaceType::other;

    bool operator==(const NWInterface&) const = default;
};

struct NWPath {
    enum class Status { satisfied, unsatisfied, requiresConnection };

    Status status = Status::unsatisfied;
    // Interfaces that carry a usable default route, by name, lowest metric first.
    std::vector<std::string> interfaceNames;
    // The same interfaces with their types.
    std::vector<NWInterface> availableInterfaces;
    // The next hops of those default routes (numeric; a route without one has none), in order.
    std::vector<std::string> gateways;
    bool supportsIPv4 = false;
    bool supportsIPv6 = false;
    // The resolver configuration names a DNS server.
    bool supportsDNS = false;

    bool operator==(const NWPath&) const = default;
};

class NWPathMonitor {
public:
    using UpdateHandler = std::function<void(const NWPath&)>;

    virtual ~NWPathMonitor() = default;

    // Set before start(); the handler runs on the start() queue, once per path that differs from
    // the one reported before.
    virtual void setPathUpdateHandler(UpdateHandler handler) = 0;
    // Reads the path (currentPath() has it when this returns), then follows changes; the first
    // update reports the initial path, whatever it is. A second start() does nothing.
    virtual void start(DispatchQueuePtr queue) = 0;
    virtual void cancel() = 0;
    // The path as last read (unsatisfied before start()).
    virtual NWPath currentPath() const = 0;
};

using NWPathMonitorPtr = std::shared_ptr<NWPathMonitor>;

// The rtnetlink monitor.
NWPathMonitorPtr makeNWPathMonitor();

}  // namespace platform
