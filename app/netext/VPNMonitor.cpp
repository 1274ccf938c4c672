#include "app/netext/VPNMonitor.hpp"

#include <linux/rtnetlink.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <utility>

#include "platform/net/NetlinkWatcher.hpp"
#include "platform/net/NetworkSnapshot.hpp"
#include "platform/net/RunningProcessNames.hpp"

namespace kiv {
namespace {

// The changes that move the system's global IPv4 state: addresses, routes and links.
constexpr std::uint32_t kIPv4Groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A list as the log shows it: ["A", "B"].
std::string printedForm(const std::vector<std::string>& list) {
    std::string out = "[";
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) out += ", ";
        out += '"';
        for (char c : list[i]) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "]";
}

bool tunnelIsUp() {
    auto snapshot = platform::NetworkSnapshot::read();
    if (!snapshot) {
        std::cout << "Failed to create store in SCDynamicStoreCreate" << std::endl;
        return false;
    }
    return !snapshot->tunnelsWithIPv4().empty();
}

VPNMonitor::Sources systemSources() {
    return {tunnelIsUp, [] { return platform::runningProcessNames(); }};
}

}  // namespace

struct VPNMonitor::Watch {
    // What a watcher call already on its queue finds when it runs: the monitor, or nothing
    // once the monitor is being destroyed (which waits for a call under way).
    struct Target {
        std::mutex mutex;
        VPNMonitor* monitor = nullptr;  // guarded by mutex
    };
    std::shared_ptr<Target> target = std::make_shared<Target>();
    std::unique_ptr<platform::NetlinkWatcher> watcher;

    ~Watch() {
        watcher.reset();
        std::lock_guard lock(target->mutex);
        target->monitor = nullptr;
    }
};

const std::vector<std::string>& VPNMonitor::builtInVPNNames() {
    static const std::vector<std::string> names{
        "AnyConnect",     "Citrix",   "Juniper",        "SonicWall mobile connect",
        "Global Connect", "Fortinet", "Anywhere Access"};
    return names;
}

VPNMonitor::VPNMonitor() : VPNMonitor(systemSources(), {}, {}) {}

VPNMonitor::VPNMonitor(Sources sources, Injected<NotificationPublisher> publisher, Injected<KIVLogger> logger)
    : notificationPublisher_(std::move(publisher)), logger_(std::move(logger)), sources_(std::move(sources)) {
    if (!sources_.tunnelTest) sources_.tunnelTest = tunnelIsUp;
    if (!sources_.runningApplicationNames)
        sources_.runningApplicationNames = [] { return platform::runningProcessNames(); };
}

VPNMonitor::~VPNMonitor() {
    std::unique_ptr<Watch> watch;
    {
        std::lock_guard lock(mutex_);
        watch = std::move(watch_);
    }
}

std::vector<std::string> VPNMonitor::vpnNames(const model::DeviceConfiguration& from) {
    std::vector<std::string> names = builtInVPNNames();
    const auto& result = from.result;
    if (result && result->cfg && result->cfg->runtime && result->cfg->runtime->kiv &&
        result->cfg->runtime->kiv->interfacesToIgnore) {
        const auto& extra = *result->cfg->runtime->kiv->interfacesToIgnore;
        logger_->log("vpnsFromConfig are " + printedForm(extra), model::LogLevel::production);
        for (const auto& name : extra) {
            // An empty name would be part of every application's name.
            if (!name.empty()) names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

bool VPNMonitor::isVPNRunning() {
    auto config = deviceConfig();
    if (!config) return false;
    if (!sources_.tunnelTest()) return false;
    const auto names = vpnNames(*config);
    std::vector<std::string> applications = sources_.runningApplicationNames();
    for (auto& application : applications) application = lowercased(std::move(application));
    for (const auto& name : names) {
        const std::string wanted = lowercased(name);
        for (const auto& application : applications) {
            if (application.find(wanted) != std::string::npos) return true;
        }
    }
    return false;
}

void VPNMonitor::startMonitoring() {
    std::lock_guard lock(mutex_);
    if (watch_) return;
    auto snapshot = platform::NetworkSnapshot::read();
    if (snapshot) {
        // The interfaces as the watcher found them at start; kept for the log only.
        for (const auto& link : snapshot->links) {
            NetworkInterface interface { link.name, link.name, false };
            std::cout << "Hardware Port: " << interface.displayName << " \nInterface " << interface.BSDName
                      << std::endl;
        }
    }
    auto watch = std::make_unique<Watch>();
    watch->target->monitor = this;
    watch->watcher = platform::NetlinkWatcher::start(
        kIPv4Groups, platform::makeSerialQueue("VPNMonitor.queue"), [target = std::weak_ptr(watch->target)] {
            auto held = target.lock();
            if (!held) return;
            std::lock_guard lock(held->mutex);
            if (held->monitor) held->monitor->handleChange();
        });
    if (!watch->watcher) {
        std::cout << "Could not connect SCDynamicStoreCreate" << std::endl;
        return;
    }
    watch_ = std::move(watch);
}

void VPNMonitor::handleChange() {
    const bool tunnel = sources_.tunnelTest();
    std::optional<ChangeType> event;
    {
        std::lock_guard lock(mutex_);
        if (tunnel) {
            vpnWasRunning_ = true;
            event = ChangeType::VPNDidStart;
        } else if (vpnWasRunning_) {
            vpnWasRunning_ = false;
            event = ChangeType::VPNDidStop;
        }
    }
    if (event) notificationPublisher_->publish(*event);
}

void VPNMonitor::setDeviceConfig(std::optional<model::DeviceConfiguration> config) {
    std::lock_guard lock(mutex_);
    deviceConfig_ = std::move(config);
}

std::optional<model::DeviceConfiguration> VPNMonitor::deviceConfig() const {
    std::lock_guard lock(mutex_);
    return deviceConfig_;
}

bool VPNMonitor::vpnWasRunning() const {
    std::lock_guard lock(mutex_);
    return vpnWasRunning_;
}

Service vpnMonitorService() {
    return Service::make<VPNMonitor>(Service::LifeCycle::global,
                                     [] { return std::make_shared<VPNMonitor>(); });
}

}  // namespace kiv
