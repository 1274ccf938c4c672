// When the DNS proxy is switched on, off or reset: after each change event, after a change of
// the configuration's text, and after the extension's own reports.
#include <iostream>

#include "app/core/Utils.hpp"
#include "app/netext/NetworkExtensionManager.hpp"
#include "platform/Dispatch.hpp"

namespace kiv {
namespace {

constexpr model::LogLevel kProduction = model::LogLevel::production;

std::string describe(const platform::ErrorObject& error) {
    return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) + " \"" +
           error.localizedDescription() + "\"";
}

}  // namespace

bool NetworkExtensionManager::blocked() const {
    return extensionState_.contains(ExtensionStatus::failedToInstall) ||
           extensionState_.contains(ExtensionStatus::notStarted);
}

bool NetworkExtensionManager::networkAllowsProxy() {
    return _networkCheck->isSatisfied() && !_vpnMonitor->isVPNRunning();
}

bool NetworkExtensionManager::shouldEnableOnFirstLaunch() {
    return !enabledOnFirstLaunch_ && Utils::readDeviceConfiguration().has_value() &&
           !options_.dnsProxyManager->isEnabled() && !blocked();
}

bool NetworkExtensionManager::canEnableProxy() { return !blocked() && networkAllowsProxy(); }

void NetworkExtensionManager::handleChange(ChangeType event, const NetworkExtConfig& record) {
    auto& proxy = *options_.dnsProxyManager;
    _logger->log("in networkExtension manager handleChange", kProduction);
    const std::string& location = record.locationKey;
    const std::string name(rawValue(event));

    if (shouldEnableOnFirstLaunch()) {
        log_.debug("KIVNetExtMgr: enableProxy location:" + location);
        configureProxy(record, true, nullptr);
        enabledOnFirstLaunch_ = true;
    }
    if (event == ChangeType::ipAddressChanged && !blocked()) resetExtension(record);

    if (proxy.isEnabled() && !extensionState_.contains(ExtensionStatus::userStopped)) {
        if (!proxy.isEnabled()) return;
        _logger->log("dnsProxy.isEnabled " + kiv::describe(extensionState_), kProduction);
        if (networkAllowsProxy()) return;
        log_.info("KIVNetExtMgr: Disabling the network extension on change");
        _logger->log("Disabling the network extension on change " + name, kProduction);
        log_.debug("KIVNetExtMgr: disableProxy location:" + location);
        configureProxy(record, false, nullptr);
        _logger->log("Disabling the network extension on change " + name, model::LogLevel::warning);
        return;
    }
    _logger->log("dnsProxy.isEnabled " + kiv::describe(extensionState_), kProduction);
    extensionState_.erase(ExtensionStatus::userStopped);
    if (canEnableProxy()) {
        log_.info("KIVNetExtMgr: Enabling the network extension on change");
        _logger->log("Enabling the network extension on change " + name, kProduction);
        log_.debug("KIVNetExtMgr: enableProxy location:" + location);
        configureProxy(record, true, nullptr);
    }
}

void NetworkExtensionManager::resetExtension(NetworkExtConfig record) {
    log_.debug("KIVNetExtMgr: resetExtension location:" + record.locationKey);
    log_.debug("KIVNetExtMgr: disableProxy location:" + record.locationKey);
    std::weak_ptr<NetworkExtensionManager> weak = weak_from_this();
    // Completions arrive on the main queue, so the re-enabling needs no pause of its own.
    configureProxy(record, false, [weak, record](const std::optional<std::string>& error) {
        if (error) std::cout << "error " << *error << " in resetExtension" << std::endl;
        auto self = weak.lock();
        if (!self) return;
        self->log_.debug("KIVNetExtMgr: enableProxy location:" + record.locationKey);
        self->configureProxy(record, true, nullptr);
    });
}

void NetworkExtensionManager::handleProxyStopped(std::int64_t reason) {
    if (isTerminating()) {
        extensionState_ = {ExtensionStatus::configured};
        return;
    }
    if (reason != 0) {
        _logger->log("Proxy was stopped by the user. Reason is " + std::to_string(reason), kProduction);
        extensionState_ = {ExtensionStatus::userStopped};
    }
    _notificationPublisher->publish(ChangeType::deviceConfigRefreshed);
}

void NetworkExtensionManager::handleConnectionError(const platform::ErrorObject& error) {
    _logger->log("Proxy is in eaiting mode by the user. Error is " + describe(error) + ". Reconfiguring...",
                 kProduction);
    if (savedNetworkConfig_) resetExtension(*savedNetworkConfig_);
}

}  // namespace kiv
