#include "app/shell/ChangeObserver.hpp"

#include <sstream>

#include "app/core/Utils.hpp"
#include "app/netext/DNSResolver.hpp"
#include "app/netext/NetworkCheck.hpp"
#include "app/netext/SharedDefaultsManager.hpp"
#include "app/netext/VPNMonitor.hpp"
#include "app/server/InstallerHelper.hpp"
#include "app/shell/ActionManager.hpp"
#include "app/shell/KIVHelperProxy.hpp"
#include "app/shell/KIVUserNotification.hpp"
#include "model/JSONText.hpp"
#include "platform/dbus/UserNotificationCenter.hpp"

namespace kiv {
namespace {

using model::LogLevel;
using Key = XNCServerInfoSection;

std::string decimal(double seconds) {
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(seconds == static_cast<double>(static_cast<long long>(seconds)) ? 1 : 3);
    text << seconds;
    return text.str();
}

std::optional<std::string> notificationText(ChangeType type) {
    switch (type) {
        case ChangeType::connected:
            return "Network has connected";
        case ChangeType::disconnected:
            return "network has disconnected";
        case ChangeType::onShutdown:
            return "KIV will stop";
        case ChangeType::intranet:
            return "Intranet detected";
        default:
            return std::nullopt;
    }
}

// Optional("text") or nil, as the extension's log lines print them.
std::string optionalText(const std::optional<std::string>& value) {
    return value ? "Optional(\"" + *value + "\")" : "nil";
}

std::string listText(const std::vector<std::string>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) text += (i ? ", \"" : "\"") + values[i] + "\"";
    return text + "]";
}

ChangeObserver::Environment withDefaults(ChangeObserver::Environment env) {
    if (!env.center) env.center = &platform::NotificationCenter::defaultCenter();
    if (!env.pathSatisfied) env.pathSatisfied = [] { return Injected<NetworkCheck>()->isSatisfied(); };
    if (!env.fetch) {
        env.fetch = [] {
            Injected<InstallerHelper>()->fetchConfigWithDeviceKey();
            Injected<Settings>()->loadConfigFile();
        };
    }
    if (!env.vpnRunning) {
        // Watching starts once, with the observer; the monitor itself ignores a second start.
        Injected<VPNMonitor>()->startMonitoring();
        env.vpnRunning = [](const model::DeviceConfiguration& config) {
            Injected<VPNMonitor> monitor;
            monitor->setDeviceConfig(config);
            return monitor->isVPNRunning();
        };
    }
    if (!env.externalAddress) {
        env.externalAddress = [](const std::vector<std::string>& resolvers) {
            return DNSResolver::resolveDNSUsingCorvel(resolvers);
        };
    }
    if (!env.extensionState)
        env.extensionState = [] { return NetworkExtensionManager::shared().extensionState(); };
    if (!env.handleChange) {
        env.handleChange = [](ChangeType type, const NetworkExtConfig& record) {
            NetworkExtensionManager::shared().handleChange(type, record);
        };
    }
    if (!env.resetExtension) {
        env.resetExtension = [](const NetworkExtConfig& record) {
            NetworkExtensionManager::shared().resetExtension(record);
        };
    }
    if (!env.flushDNS) env.flushDNS = [] { KIVHelperProxy::sharedInstance().flushDNS(); };
    if (!env.lastNotification)
        env.lastNotification = [] { return Injected<KIVUserNotification>()->lastNotification(); };
    if (!env.setLastNotification) {
        env.setLastNotification = [](const std::string& text) {
            Injected<KIVUserNotification>()->setLastNotification(text);
        };
    }
    if (!env.postNotification) {
        env.postNotification = [](const std::string& body, std::function<void(bool)> completion) {
            auto center = platform::dbus::UserNotificationCenter::current();
            if (!center) return completion(false);
            center->getNotificationSettings(
                [body, completion = std::move(completion)](platform::dbus::NotificationSettings settings) {
                    Injected<KIVUserNotification>()->post(settings, std::string("KIV Notification"), body,
                                                          completion);
                });
        };
    }
    if (!env.makeMenu) {
        env.makeMenu = [](TrayType trayType, bool showTestMenu) {
            return std::make_shared<MenuInteraction>(trayType, showTestMenu);
        };
    }
    if (!env.saveShared) {
        env.saveShared = [](const model::DeviceConfiguration& config) {
            Injected<SharedDefaultsManager>()->save(config);
        };
    }
    return env;
}

}  // namespace

// ---- configuration parts ----

std::optional<std::string> configurationUUID(const model::DeviceConfiguration& config) {
    if (!config.result || !config.result->cfg || !config.result->cfg->runtime) return std::nullopt;
    return config.result->cfg->runtime->user;
}

std::optional<std::string> configurationLocationTag(const model::DeviceConfiguration& config) {
    if (!config.result || !config.result->cfg || !config.result->cfg->runtime) return std::nullopt;
    const auto& locations = config.result->cfg->runtime->locations;
    if (locations.empty()) return std::nullopt;
    return locations.front().tag;
}

std::vector<std::string> configurationResolvers(const model::DeviceConfiguration& config) {
    std::vector<std::string> list;
    if (!config.result || !config.result->filters) return list;
    for (const auto& rule : *config.result->filters)
        if (rule.resolvers) list.insert(list.end(), rule.resolvers->begin(), rule.resolvers->end());
    return list;
}

bool sameConfigurationText(const std::optional<model::DeviceConfiguration>& a,
                           const std::optional<model::DeviceConfiguration>& b) {
    auto text = [](const std::optional<model::DeviceConfiguration>& config) -> std::optional<std::string> {
        if (!config) return std::nullopt;
        auto encoded = config->jsonString(model::TextEncoding::utf8);
        if (!encoded) return std::nullopt;
        return encoded.value();
    };
    const auto first = text(a);
    const auto second = text(b);
    if (!first && !second) return true;
    if (!first || !second) return false;
    return *first == *second;
}

// ---- the observer ----

std::shared_ptr<ChangeObserver> ChangeObserver::make() { return make(Environment{}); }

std::shared_ptr<ChangeObserver> ChangeObserver::make(Environment environment) {
    return std::make_shared<ChangeObserver>(std::move(environment));
}

ChangeObserver::ChangeObserver(Environment environment)
    : env_(withDefaults(std::move(environment))),
      concurrentQueue_(platform::makeConcurrentQueue("ChangeObserver.queue")) {}

void ChangeObserver::log(const std::string& message, LogLevel level) const { _logger->log(message, level); }

void ChangeObserver::start() {
    if (started_) return;
    started_ = true;
    schedulePoll();
    std::weak_ptr<ChangeObserver> weak = weak_from_this();
    for (ChangeType type : allCases()) {
        if (type == ChangeType::pollingInterval) continue;
        // Attached here and now, so no event posted after start() returns is missed.
        cancellables_[type] = env_.center->addObserver(
            std::string(rawValue(type)), platform::mainQueue(),
            [weak, type](const platform::Notification& note) {
                if (auto self = weak.lock())
                    self->receivedChange(type, note.object.has_value() ? &note.object : nullptr);
            });
    }
}

void ChangeObserver::cancelSubscriptions() {
    subscriptionsCancelled_ = true;
    for (auto& [type, observation] : cancellables_) observation.cancel();
}

void ChangeObserver::schedulePoll() {
    const double interval = timerVariance_.timeInterval[timerVariance_.index];
    const auto clock = platform::processClock();
    const auto scheduled = clock->monotonic();
    std::weak_ptr<ChangeObserver> weak = weak_from_this();
    platform::mainQueue()->asyncAfter(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(interval)),
        [weak, clock, scheduled] {
            auto self = weak.lock();
            if (!self) return;
            const auto waited = std::chrono::duration<double>(clock->monotonic() - scheduled).count();
            self->log("Firing polling interval after " + decimal(waited));
            auto& variance = self->timerVariance_;
            if (++variance.index >= variance.timeInterval.size())
                variance.index = variance.timeInterval.size() - 1;
            self->receivedChange(ChangeType::pollingInterval, nullptr);
            self->schedulePoll();
        });
}

bool ChangeObserver::userAcceptedExtension() const {
    const auto state = env_.extensionState();
    return !state.contains(ExtensionStatus::failedToInstall) && !state.contains(ExtensionStatus::notStarted);
}

void ChangeObserver::receivedChange(ChangeType type, const std::any* object) {
    const std::string name(rawValue(type));
    log("received change of type " + name);
    const double interval = timerVariance_.timeInterval[timerVariance_.index];
    if (type == ChangeType::pollingInterval) log("next poll in " + decimal(interval) + " seconds");
    const bool accepted = userAcceptedExtension();
    if (type == ChangeType::willSleep || type == ChangeType::connected) {
        log("resetting timer becasue of change " + name);
        timerVariance_.index = 0;
    }
    if (type == ChangeType::VPNDidStop || type == ChangeType::connected ||
        type == ChangeType::deviceConfigEditedLocally) {
        log("reloading config changeType based on change " + name);
        requestFetch();
    }
    showNotification(type);
    handleOnChange(object, type, accepted);
}

void ChangeObserver::requestFetch() {
    if (!env_.pathSatisfied()) return;
    if (fetching_) {
        log("a configuration fetch is already waiting: not starting another");
        return;
    }
    fetching_ = true;
    env_.fetch();
    fetching_ = false;
}

void ChangeObserver::showNotification(ChangeType type) {
    const auto text = notificationText(type);
    if (type == ChangeType::pollingInterval || !text || text->empty()) return;
    log("Showing notification on " + std::string(rawValue(type)));
    if (*text == env_.lastNotification()) {
        log("Local notifications failed", LogLevel::diagnose);
        return;
    }
    env_.setLastNotification(*text);
    env_.postNotification(*text, [logger = _logger](bool added) {
        if (!added) logger->log("Local notifications failed", LogLevel::diagnose);
    });
}

std::optional<model::DeviceConfiguration> ChangeObserver::readConfiguration(const std::any* object,
                                                                            ChangeType type) {
    if (auto config = Utils::readTestDeviceConfigFile(*_settings)) return config;
    if (auto config = Utils::deviceConfigurationWithTestConfig(*_settings)) return config;
    if (object && (type == ChangeType::connected || type == ChangeType::VPNDidStop ||
                   type == ChangeType::deviceConfigRefreshed)) {
        if (const auto* config = std::any_cast<model::DeviceConfiguration>(object)) return *config;
    }
    return Utils::readDeviceConfiguration();
}

void ChangeObserver::handleOnChange(const std::any* object, ChangeType type, bool accepted) {
    const auto config = readConfiguration(object, type);
    if (!config) {
        log("handleOnChange::  !!MISSING OR INVALID CONFIGURATION!!: not trying extension");
        requestFetch();
        haveUpdatedMenuWithConfig_ = false;
        setMenubarStatus(ChangeType::missingDeviceKey, false, true, false);
        return;
    }
    auto cells = std::make_shared<EventCells>(type);
    cells->vpnRunning = env_.vpnRunning(*config);
    // The stored address is applied first and the queried one later, whatever the query's speed:
    // the application with the stored address is queued on the main queue before the query
    // starts. The other way round, a query answered at once let the stale address be applied
    // last and stored over the new one.
    apply(*config, _settings->getString(Key::externalIP).value_or(""), cells, accepted);
    if (type == ChangeType::connected || type == ChangeType::VPNDidStop) {
        std::weak_ptr<ChangeObserver> weak = weak_from_this();
        concurrentQueue_->async([weak, config = *config, cells, accepted] {
            auto self = weak.lock();
            const auto resolvers = self ? configurationResolvers(config) : std::vector<std::string>{};
            if (!self) return;
            const auto address = self->env_.externalAddress(resolvers);
            self->apply(config, address, cells, accepted);
        });
    }
}

void ChangeObserver::apply(const model::DeviceConfiguration& config, const std::string& address,
                           const std::shared_ptr<EventCells>& cells, bool accepted) {
    log("handleOnChange::  have configuration - setting menu and extension with external ip " + address +
        " with change event : " + std::string(rawValue(cells->type.load())));
    std::weak_ptr<ChangeObserver> weak = weak_from_this();
    platform::mainQueue()->async([weak, config, address, cells, accepted] {
        auto self = weak.lock();
        if (!self) return;
        if (cells->type.load() == ChangeType::disconnected) self->lastKnownIP_.clear();
        self->setMenubarStatus(cells->type.load(), !address.empty(), accepted, cells->vpnRunning);
        if (self->menuInteraction_) self->menuInteraction_->statusMenu->updateExternalIp(address);
        const auto stored = self->_settings->getString(Key::externalIP).value_or("");
        if (!address.empty()) {
            if (address != stored) cells->type.store(ChangeType::ipAddressChanged);
            self->log("EXTERNAL IP IS CREATED : " + address);
            self->_settings->set(address, Key::externalIP);
        } else {
            self->log("Empty IP External Address created");
        }
        self->haveUpdatedMenuWithConfig_ = true;
        self->updateMenuAndExtension(config, cells->type.load(), address);
    });
}

void ChangeObserver::setMenubarStatus(ChangeType type, bool hasIpAddress, bool accepted, bool vpnRunning) {
    log("setMenubarStatus based on changeType " + std::string(rawValue(type)));
    if (!menuInteraction_) {
        log("creating menu");
        const bool showTestMenu = _settings->getString(Key::showTestMenu).value_or("FALSE") == "TRUE";
        log(std::string("showTestMenuStr is ") + (showTestMenu ? "true" : "false"));
        menuInteraction_ = env_.makeMenu(_settings->trayType(), showTestMenu);
    } else {
        menuInteraction_->updateStatus(type, hasIpAddress, accepted, vpnRunning);
    }
    updateDeviceKey();
    updateUserName();
}

void ChangeObserver::updateDeviceKey() {
    auto key = _settings->getString(Key::deviceKey);
    if (!key) {
        const auto file = _settings->configFile();
        if (file && file->result) key = file->result->device;
    }
    if (key && menuInteraction_) menuInteraction_->statusMenu->updateDeviceKey(*key);
}

void ChangeObserver::updateUserName() {
    const auto name = _settings->getString(Key::userName);
    if (name && menuInteraction_) menuInteraction_->statusMenu->updateUserName(*name);
}

// ---- configuration apply ----

void ChangeObserver::updateMenuAndExtension(const model::DeviceConfiguration& config, ChangeType type,
                                            const std::string& address) {
    std::weak_ptr<ChangeObserver> weak = weak_from_this();
    // Waits for the address queries already on the queue, then applies on the main queue.
    concurrentQueue_->barrierAsync([weak, config, address] {
        platform::mainQueue()->async([weak, config, address] {
            if (auto self = weak.lock()) self->applyConfiguration(config, address);
        });
    });
    const std::string name(rawValue(type));
    const ActionManager actionManager(config, std::nullopt, _logger->appVersion());
    if (const auto actions = actionManager.actionsDescription()) {
        log("updateMenuAndExtension::  actionManager for change " + name + ". actionManager is " + *actions);
    }
    log("updateMenuAndExtension::  updated configuration for change " + name +
        ". Reconfiguring NETWORK EXTENSION for ipAddress " + address);
    updateNetworkExtension(type, config);
    env_.flushDNS();
}

void ChangeObserver::applyConfiguration(const model::DeviceConfiguration& config,
                                        const std::string& address) {
    _settings->loadConfigFile();
    if (menuInteraction_) menuInteraction_->statusMenu->updateExternalIp(address);
    updateDeviceKey();
    if (menuInteraction_) menuInteraction_->statusMenu->updateLogDebug();
    updateDebugMenu(config);
    env_.saveShared(config);
    if (!address.empty()) {
        lastKnownIP_ = address;
        _settings->set(address, Key::externalIP);
    }
    if (!sameConfigurationText(config, config_)) {
        resetNetworkExtension(config);
        config_ = config;
    }
}

void ChangeObserver::updateDebugMenu(const model::DeviceConfiguration& config) {
    _logger->setDeviceConfigResponse(config);
    if (config.result && config.result->cfg && config.result->cfg->runtime &&
        config.result->cfg->runtime->kiv && config.result->cfg->runtime->kiv->logLevel) {
        KIVLogger::setLogLevel(*config.result->cfg->runtime->kiv->logLevel);
    }
    if (!menuInteraction_) return;
    switch (_logger->logLevel()) {
        case LogLevel::none:
            return menuInteraction_->statusMenu->updateDebugMenu("No Debugging", false);
        case LogLevel::warning:
            return menuInteraction_->statusMenu->updateDebugMenu("warning", true);
        case LogLevel::production:
            return menuInteraction_->statusMenu->updateDebugMenu("Logging Debug Info", true);
        case LogLevel::diagnose:
            return menuInteraction_->statusMenu->updateDebugMenu("Log Diagnostic Info", true);
    }
}

void ChangeObserver::resetNetworkExtension(const model::DeviceConfiguration& config) {
    if (subscriptionsCancelled_ || !userAcceptedExtension()) return;
    auto uuid = configurationUUID(config);
    if (!uuid) uuid = _settings->getString(Key::userID);
    const auto tag = configurationLocationTag(config);
    const auto resolvers = configurationResolvers(config);
    if (!uuid) return log("resetNetworkExtension:: missing uuid in #file:Failing", LogLevel::warning);
    if (!tag) return log("resetNetworkExtension:: missing locationTag in #file:Failing", LogLevel::warning);
    if (resolvers.empty())
        return log("resetNetworkExtension:: missing resolvers in #file:Failing", LogLevel::warning);
    env_.resetExtension(NetworkExtConfig{*uuid, *tag, resolvers, config});
}

void ChangeObserver::updateNetworkExtension(ChangeType type, const model::DeviceConfiguration& config) {
    if (subscriptionsCancelled_) return;
    const auto uuid = configurationUUID(config);
    const auto tag = configurationLocationTag(config);
    const auto resolvers = configurationResolvers(config);
    log("updateNetworkExtension:: have uuid " + optionalText(uuid) + " for ip " +
        optionalText(_settings->getString(Key::externalIP)) + " and locationTag " + optionalText(tag) +
        " and resolvers = " + listText(resolvers));
    if (!uuid) return log("ERROR::updateNetworkExtension:: missing uuid in #file:Failing");
    if (!tag) return log("ERROR:updateNetworkExtension:: missing locationTag in #file:Failing");
    if (resolvers.empty()) return log("updateNetworkExtension:: missing resolvers in #file:Failing");
    env_.handleChange(type, NetworkExtConfig{*uuid, *tag, resolvers, config});
}

Service changeObserverService() {
    return Service::make<ChangeObserver>(Service::LifeCycle::global, [] { return ChangeObserver::make(); });
}

}  // namespace kiv
