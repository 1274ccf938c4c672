// The path monitor on rtnetlink: subscribe first, then read, so no change is missed between the
// two; every batch of changes reads the whole state again on the caller's queue, and a path equal
// to the last one reported is not reported again.
#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "platform/SystemLog.hpp"
#include "platform/net/NWPathMonitor.hpp"
#include "platform/net/NetlinkWatcher.hpp"
#include "platform/net/NetworkSnapshot.hpp"
#include "platform/net/ResolverConfig.hpp"

namespace platform {
namespace {

// A state that cannot be read says nothing about the network: it counts as usable, so that a
// broken netlink socket never reads as "offline" (which would stop filtering and fetching).
NWPath pathOf(const std::optional<NetworkSnapshot>& snapshot) {
    if (snapshot) return snapshot->path();
    NWPath unknown;
    unknown.status = NWPath::Status::satisfied;
    return unknown;
}

// Whether the resolver configuration names a server at all: the DNS proxy's own listener counts
// too, so that the proxy taking over the computer's DNS is no change of path.
bool dnsConfigured() {
    ResolverConfigPaths paths;
    paths.ownAddresses.clear();
    const auto state = ResolverState::load(paths);
    return state && !state->servers().empty();
}

NWPath readPath() {
    NWPath path = pathOf(NetworkSnapshot::read());
    path.supportsDNS = dnsConfigured();
    return path;
}

constexpr std::uint32_t kPathGroups =
    RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;

class NetlinkPathMonitor final : public NWPathMonitor {
public:
    ~NetlinkPathMonitor() override { cancel(); }

    void setPathUpdateHandler(UpdateHandler handler) override {
        std::lock_guard lock(state_->mutex);
        state_->handler = std::move(handler);
    }

    void start(DispatchQueuePtr queue) override {
        // Read once now, so that currentPath() is true as soon as start() returns.
        const auto snapshot = NetworkSnapshot::read();
        std::lock_guard lock(state_->mutex);
        if (watcher_ || state_->cancelled) return;
        state_->path = pathOf(snapshot);
        std::weak_ptr<State> weak = state_;
        auto refresh = [weak] {
            if (auto state = weak.lock()) state->refresh();
        };
        watcher_ = NetlinkWatcher::start(kPathGroups, queue, refresh);
        if (!watcher_) {
            SystemLog("kiv", "netlink")
                .error(std::string("network changes cannot be followed: ") + std::strerror(errno));
        }
        // Without a socket the path read now is the only one; it is still reported once.
        queue->async(refresh);
    }

    void cancel() override {
        std::unique_ptr<NetlinkWatcher> watcher;
        {
            std::lock_guard lock(state_->mutex);
            state_->cancelled = true;
            state_->handler = nullptr;
            watcher = std::move(watcher_);
        }
    }

    NWPath currentPath() const override {
        std::lock_guard lock(state_->mutex);
        return state_->path;
    }

private:
    struct State {
        std::mutex mutex;
        NWPath path;                     // guarded by mutex
        UpdateHandler handler;           // guarded by mutex
        bool cancelled = false;          // guarded by mutex
        std::optional<NWPath> reported;  // guarded by mutex

        // On the monitor's queue.
        void refresh() {
            const NWPath now = readPath();
            UpdateHandler call;
            {
                std::lock_guard lock(mutex);
                if (cancelled) return;
                path = now;
                if (reported == now) return;
                reported = now;
                call = handler;
            }
            if (call) call(now);
        }
    };

    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::unique_ptr<NetlinkWatcher> watcher_;  // guarded by state_->mutex
};

}  // namespace

NWPathMonitorPtr makeNWPathMonitor() { return std::make_shared<NetlinkPathMonitor>(); }

}  // namespace platform
