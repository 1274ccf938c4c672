#include "app/netext/NetworkExtensionManager.hpp"

#include <utility>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "platform/Dispatch.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/SystemLog.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"

namespace kiv {

struct ManagerHolder {
    NetworkExtensionManager manager;
};

namespace {

const platform::SystemLog& unifiedLog() {
    static platform::NoDestructor<platform::SystemLog> log("com.kiv.veltrix", "NetworkExtensionManager");
    return *log;
}

void complete(NetworkExtensionManager::Completion completion, std::optional<std::string> error) {
    if (!completion) return;
    platform::globalQueue()->async(
        [completion = std::move(completion), error = std::move(error)] { completion(error); });
}

}  // namespace

NetworkExtensionManager& NetworkExtensionManager::shared() {
    static platform::NoDestructor<ManagerHolder> holder;
    return holder->manager;
}

void NetworkExtensionManager::activate() {
    unifiedLog().info("KIVNetExtMgr: Will submit activation request");
    unifiedLog().info("KIVNetExtMgr: Did submit activation request");
}

void NetworkExtensionManager::deactivate(Completion completion) {
    unifiedLog().info("KIVNetExtMgr: Will submit deactivation request");
    complete(std::move(completion), std::nullopt);
    unifiedLog().info("KIVNetExtMgr: Did submit deactivation request");
}

void NetworkExtensionManager::removeFromPreferences(bool terminating, Completion completion) {
    unifiedLog().info("KIVNetExtMgr: Will unload the configurations");
    {
        std::lock_guard lock(mutex_);
        isTerminating_ = terminating;
    }
    std::string failure = platform::ne::removeDNSProxyPreferences(preferencesPath());
    if (!failure.empty()) {
        unifiedLog().error("KIVNetExtMgr: Did not unload configurations, error: " + failure);
        complete(std::move(completion), failure);
        return;
    }
    complete(std::move(completion), std::nullopt);
}

void NetworkExtensionManager::stopProxy() {
    const std::string path = preferencesPath();
    platform::ne::PreferencesLoad load = platform::ne::loadDNSProxyPreferences(path);
    if (load.status != platform::ne::PreferencesLoad::Status::loaded) {
        unifiedLog().error("KIVNetExtMgr: Did not load configurations, error: " +
                           (load.error.empty() ? path + ": no configuration" : load.error));
        return;
    }
    load.preferences.enabled = false;
    const std::string failure = platform::ne::saveDNSProxyPreferences(path, load.preferences);
    Injected<KIVLogger> logger;
    if (failure.empty()) {
        logger->log("Proxy Stopped", model::LogLevel::production);
    } else {
        unifiedLog().error("KIVNetExtMgr: Did not save configuration, error: " + failure);
    }
}

bool NetworkExtensionManager::isTerminating() const {
    std::lock_guard lock(mutex_);
    return isTerminating_;
}

std::string NetworkExtensionManager::preferencesPath() const {
    return platform::ne::defaultDNSProxyPreferencesPath();
}

}  // namespace kiv
