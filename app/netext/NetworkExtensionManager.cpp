#include "app/netext/NetworkExtensionManager.hpp"

#include <utility>

#include "app/core/FatalError.hpp"
#include "app/core/TestData.hpp"
#include "app/core/XNCServerInfoSection.hpp"
#include "model/JSONCoder.hpp"
#include "platform/Dispatch.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/sysext/ExtensionLocator.hpp"

namespace kiv {
namespace {

using platform::ErrorObject;
using platform::OSSystemExtensionRequest;
using platform::OSSystemExtensionRequestResult;

constexpr model::LogLevel kProduction = model::LogLevel::production;

std::string domainAndCode(const ErrorObject& error) {
    return error.domain + " / " + std::to_string(error.code);
}

// The error as the platform prints one.
std::string errorDescription(const ErrorObject& error) {
    return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) + " \"" +
           error.localizedDescription() + "\"";
}

std::string userInfoText(const ErrorObject& error) {
    if (error.description.empty()) return "{}";
    return "{NSLocalizedDescription = \"" + error.description + "\"}";
}

std::vector<nlohmann::json> toJSON(const std::vector<FilterDictionary>& entries) {
    std::vector<nlohmann::json> result;
    for (const auto& entry : entries) {
        auto text = model::JSONEncoder{}.encode(model::AnyJSONValue(entry));
        if (!text) continue;
        auto json = nlohmann::json::parse(*text, nullptr, false);
        if (!json.is_discarded()) result.push_back(std::move(json));
    }
    return result;
}

}  // namespace

std::string_view rawValue(ExtensionStatus status) {
    switch (status) {
        case ExtensionStatus::userAccepted:
            return "userAccepted";
        case ExtensionStatus::configured:
            return "configured";
        case ExtensionStatus::userDenied:
            return "userDenied";
        case ExtensionStatus::userStopped:
            return "userStopped";
        case ExtensionStatus::failedToInstall:
            return "failedToInstall";
        case ExtensionStatus::notStarted:
            return "notStarted";
    }
    return "";
}

std::string describe(const ExtensionStatusSet& state) {
    std::string text = "[";
    for (ExtensionStatus status : state) {
        if (text.size() > 1) text += ", ";
        text += rawValue(status);
    }
    return text + "]";
}

NetworkExtensionManager& NetworkExtensionManager::shared() {
    static platform::NoDestructor<std::shared_ptr<NetworkExtensionManager>> manager(make(Options{}));
    return **manager;
}

std::shared_ptr<NetworkExtensionManager> NetworkExtensionManager::make(Options options) {
    return std::make_shared<NetworkExtensionManager>(std::move(options));
}

NetworkExtensionManager::NetworkExtensionManager(Options options)
    : options_(std::move(options)),
      userDefaultsHelper_(platform::UserDefaults::standard()),
      sanityCheck_(std::make_unique<SanityCheck>()) {
    if (!options_.extensionManager) {
        // The process's manager lives for the whole process; nothing to own.
        options_.extensionManager = std::shared_ptr<platform::OSSystemExtensionManager>(
            std::shared_ptr<void>{}, &platform::OSSystemExtensionManager::shared());
    }
    if (!options_.dnsProxyManager) options_.dnsProxyManager = platform::NEDNSProxyManager::shared();
    if (!options_.ipc) options_.ipc = IPCConnection::shared();
    if (!options_.locateExtension) {
        // By identifier: the folders searched end with the program's own, whose bundle is the
        // application's, and registering with that one would find no service name.
        options_.locateExtension = [] { return platform::systemExtensionBundle(kExtensionIdentifier); };
    }
    if (!options_.dnsAddresses) {
        dnsResolver_ = DNSResolver::create();
        options_.dnsAddresses = [this] {
            return dnsResolver_ ? dnsResolver_->getDNSAddresses() : std::vector<std::string>{};
        };
    }
    if (!options_.primaryIPv4Address) {
        options_.primaryIPv4Address = [this] { return _networkCheck->primaryIPv4Address(); };
    }
}

NetworkExtensionManager::~NetworkExtensionManager() = default;

void NetworkExtensionManager::onMain(std::function<void(NetworkExtensionManager&)> task) {
    if (platform::isMainThread()) {
        task(*this);
        return;
    }
    platform::mainQueue()->async([self = shared_from_this(), task = std::move(task)] { task(*self); });
}

void NetworkExtensionManager::setStatus(std::string text) {
    if (!platform::isMainThread()) fatalError("NetworkExtensionManager.status changed off the main thread");
    status_ = std::move(text);
}

// ---- activation ----

void NetworkExtensionManager::activate() {
    onMain([](NetworkExtensionManager& self) {
        self.log_.info("KIVNetExtMgr: Will submit activation request");
        self._logger->log("Will submit activation request", kProduction);
        self.submit(OSSystemExtensionRequest::activationRequest(kExtensionIdentifier, platform::mainQueue()));
        self.setStatus("Installing\u2026");
        self.log_.info("KIVNetExtMgr: Did submit activation request");
        self._logger->log("Fid submit activation request", kProduction);
    });
}

void NetworkExtensionManager::deactivate(Completion completion) {
    onMain([completion = std::move(completion)](NetworkExtensionManager& self) mutable {
        self.log_.info("KIVNetExtMgr: Will submit deactivation request");
        self.deactivationComplete_ = std::move(completion);
        self.submit(
            OSSystemExtensionRequest::deactivationRequest(kExtensionIdentifier, platform::globalQueue()));
        self.setStatus("Uninstalls\u2026");
        self.log_.info("KIVNetExtMgr: Did submit deactivation request");
    });
}

void NetworkExtensionManager::submit(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    request->setDelegate(
        std::static_pointer_cast<platform::OSSystemExtensionRequestDelegate>(shared_from_this()));
    options_.extensionManager->submitRequest(request);
}

platform::OSSystemExtensionReplacementAction NetworkExtensionManager::actionForReplacingExtension(
    const OSSystemExtensionRequest&, const platform::OSSystemExtensionProperties& existing,
    const platform::OSSystemExtensionProperties& extension) {
    log_.info("KIVNetExtMgr: Allowing replacement of " + existing.bundleVersion + " with " +
              extension.bundleVersion);
    return platform::OSSystemExtensionReplacementAction::replace;
}

void NetworkExtensionManager::requestNeedsUserApproval(const OSSystemExtensionRequest&) {
    log_.info("KIVNetExtMgr: Activation request needs user approval");
    _logger->log("Activation request needs user approval", kProduction);
    _notificationPublisher->publish(ChangeType::waitingOnUserSecurity);
}

void NetworkExtensionManager::didFinishWithResult(const OSSystemExtensionRequest& request,
                                                  OSSystemExtensionRequestResult result) {
    // Deactivations report on a global queue; the completion and the state live on the main queue.
    auto copy =
        std::make_shared<OSSystemExtensionRequest>(request.action(), request.identifier(), request.queue());
    onMain([copy, result](NetworkExtensionManager& self) { self.finish(*copy, result); });
}

void NetworkExtensionManager::didFailWithError(const OSSystemExtensionRequest& request,
                                               const ErrorObject& error) {
    auto copy =
        std::make_shared<OSSystemExtensionRequest>(request.action(), request.identifier(), request.queue());
    onMain([copy, error](NetworkExtensionManager& self) { self.fail(*copy, error); });
}

void NetworkExtensionManager::finish(const OSSystemExtensionRequest& request,
                                     OSSystemExtensionRequestResult result) {
    if (deactivationComplete_) {
        auto completion = std::exchange(deactivationComplete_, nullptr);
        completion(std::nullopt);
        return;
    }
    const auto number = static_cast<std::int64_t>(result);
    _logger->log(
        "Activation request result = " + std::to_string(number) + " for request " + request.description(),
        kProduction);
    switch (result) {
        case OSSystemExtensionRequestResult::completed:
            log_.info("KIVNetExtMgr: Activation request succeeded");
            _logger->log("Activation request succeeded", kProduction);
            setStatus("Install succeeded.");
            extensionState_ = {ExtensionStatus::userAccepted};
            _notificationPublisher->publish(ChangeType::deviceConfigRefreshed);
            return;
        case OSSystemExtensionRequestResult::willCompleteAfterReboot:
            log_.info("KIVNetExtMgr: Activation request succeeded, requires restart");
            setStatus("Install succeeded but requires restart.");
            _logger->log("Activation request succeeded, requires restart", kProduction);
            return;
    }
    log_.info("KIVNetExtMgr: Activation request failed, unexpected result: " + std::to_string(number));
    setStatus("Install succeeded (with unexpected result).");
}

void NetworkExtensionManager::fail(const OSSystemExtensionRequest&, const ErrorObject& error) {
    if (deactivationComplete_) {
        auto completion = std::exchange(deactivationComplete_, nullptr);
        completion(error.localizedDescription());
        return;
    }
    _logger->log("NETWORK EXTENSION FAILURE", kProduction);
    _logger->log("Activation request failed, error is : " + errorDescription(error) + ": error code is " +
                     std::to_string(error.code) + " value is " + error.localizedDescription() +
                     ", userInfo is " + userInfoText(error),
                 kProduction);
    _logger->log("NETWORK EXTENSIONFAILURE", kProduction);
    extensionState_ = {ExtensionStatus::failedToInstall};
}

const platform::Bundle& NetworkExtensionManager::extensionBundle() {
    if (!extensionBundle_) {
        auto bundle = options_.locateExtension();
        if (!bundle) fatalError("Failed to find any system extensions");
        extensionBundle_ = std::move(bundle);
    }
    return *extensionBundle_;
}

// ---- DNS-proxy configuration ----

std::string NetworkExtensionManager::preferencesPath() const {
    return options_.dnsProxyManager->preferencesPath();
}

bool NetworkExtensionManager::isTerminating() const { return isTerminating_; }

nlohmann::json NetworkExtensionManager::providerConfiguration(const std::optional<NetworkExtConfig>& record) {
    nlohmann::json vendorData = nlohmann::json::object();
    if (!record) return vendorData;
    if (auto address = options_.primaryIPv4Address()) vendorData["internalIp"] = *address;
    if (auto external =
            _settings->userDefaults()->stringForKey(std::string(rawValue(XNCServerInfoSection::externalIP))))
        vendorData["externalIp"] = *external;
    vendorData["locationTag"] = record->locationKey;
    vendorData["uuid"] = record->UDDID;
    vendorData["resolvers"] = record->resolvers;
    vendorData["localDNS"] = options_.dnsAddresses();
    auto filters = toJSON(filterDictionaries(record->deviceConfig));
    if (auto testRules = TestData::shared().testForwardingRules()) {
        model::DeviceConfiguration testConfiguration;
        testConfiguration.result.emplace();
        testConfiguration.result->filters = std::move(*testRules);
        for (auto& entry : toJSON(filterDictionaries(testConfiguration))) filters.push_back(std::move(entry));
    }
    vendorData["filters"] = std::move(filters);
    return vendorData;
}

void NetworkExtensionManager::fillManager(const std::optional<NetworkExtConfig>& record, bool enable) {
    platform::NEDNSProxyProviderProtocol protocol;
    if (record) {
        const auto resolvers = record->forwardingResolvers();
        if (!resolvers.empty()) protocol.serverAddress = resolvers.front();
    }
    protocol.providerBundleIdentifier = kExtensionIdentifier;
    protocol.providerConfiguration = providerConfiguration(record);
    protocol.disconnectOnSleep = false;
    protocol.enforceRoutes = true;
    auto& manager = *options_.dnsProxyManager;
    manager.setProviderProtocol(std::move(protocol));
    manager.setEnabled(enable);
    manager.setLocalizedDescription(kLocalizedDescription);
}

void NetworkExtensionManager::configureProxy(std::optional<NetworkExtConfig> record, bool enable,
                                             Completion completion) {
    onMain([record = std::move(record), enable,
            completion = std::move(completion)](NetworkExtensionManager& self) mutable {
        self.configureProxyOnMain(std::move(record), enable, std::move(completion));
    });
}

void NetworkExtensionManager::configureProxyOnMain(std::optional<NetworkExtConfig> record, bool enable,
                                                   Completion completion) {
    if (isConfiguring_ || isTerminating_) return;
    isConfiguring_ = true;
    savedNetworkConfig_ = record;
    log_.info("KIVNetExtMgr: Will configureProxy enable: " + std::to_string(enable ? 1 : 0));
    auto self = shared_from_this();
    options_.dnsProxyManager->loadFromPreferences(
        [self, record = std::move(record), enable,
         completion = std::move(completion)](std::optional<ErrorObject> error) mutable {
            if (error) {
                self->log_.info("KIVNetExtMgr: Did not load configurations, error: " + domainAndCode(*error));
                self->setStatus("Error loading configurations.");
                self->isConfiguring_ = false;
                if (completion) completion(error->localizedDescription());
                self->configuringEnded();
                return;
            }
            // What the preferences hold: a failed save puts it back, so that the memory never
            // claims a state the proxy is not in.
            const bool storedEnabled = self->options_.dnsProxyManager->isEnabled();
            self->fillManager(record, enable);
            self->options_.dnsProxyManager->saveToPreferences(
                [self, storedEnabled, completion = std::move(completion)](std::optional<ErrorObject> error) {
                    if (error) {
                        self->options_.dnsProxyManager->setEnabled(storedEnabled);
                        self->saveFailed(*error);
                    } else {
                        self->didSave();
                    }
                    if (completion)
                        completion(error ? std::optional(error->localizedDescription()) : std::nullopt);
                    self->configuringEnded();
                });
        });
}

void NetworkExtensionManager::configuringEnded() {
    if (isConfiguring_) return;  // its completion started another (a reset): the unload waits for it too
    if (auto unload = std::exchange(unloadAfterConfiguring_, nullptr)) unload();
}

void NetworkExtensionManager::didSave() {
    extensionState_.insert(ExtensionStatus::configured);
    log_.info("KIVNetExtMgr: Did save configuration, reload...");
    setStatus("Configuration saved.");
    isConfiguring_ = false;
    lastSaveFailed_ = false;
    log_.info("KIVNetExtMgr: Registering with provider");
    registerWithExtension();
    throttle_.reset();
    retryPending_ = false;
    ++retryGeneration_;
}

void NetworkExtensionManager::registerWithExtension() {
    std::weak_ptr<AppCommunication> delegate = std::static_pointer_cast<AppCommunication>(shared_from_this());
    options_.ipc->registerWithExtension(extensionBundle(), delegate, [log = log_](const std::string& text) {
        log.info("KIVNetExtMgr: Register worked " + text);
    });
}

void NetworkExtensionManager::saveFailed(const ErrorObject& error) {
    // Once per retry interval: the failures of attempts made while a retry waits are not news.
    if (!retryPending_) {
        log_.info("KIVNetExtMgr: Did not save configuration, error: " + domainAndCode(error));
        _logger->log("Did not save configuration, error: " + domainAndCode(error), kProduction);
    }
    saveFailure();
}

void NetworkExtensionManager::saveFailure() {
    setStatus("Error saving configuration.");
    isConfiguring_ = false;
    // A failed save is not a failed activation: recorded on its own, it leaves the state free for
    // the retry below to enable the proxy again.
    lastSaveFailed_ = true;
    if (retryPending_) return;
    retryPending_ = true;
    std::weak_ptr<NetworkExtensionManager> weak = weak_from_this();
    throttle_.run([weak, generation = retryGeneration_] {
        const auto self = weak.lock();
        if (!self || generation != self->retryGeneration_) return;
        self->retryPending_ = false;
        self->_notificationPublisher->publish(ChangeType::deviceConfigRefreshed);
    });
}

void NetworkExtensionManager::unloadConfigurations(bool terminating, Completion completion) {
    // Set at once: a quit must keep every configuration attempt away from now on, whatever queue
    // the shell asks from.
    isTerminating_ = terminating;
    onMain([terminating, completion = std::move(completion)](NetworkExtensionManager& self) mutable {
        self.log_.info("KIVNetExtMgr: Will unload the configurations");
        self.isTerminating_ = terminating;
        if (!self.isConfiguring_) {
            self.removePreferences(std::move(completion));
            return;
        }
        // The configuration in progress saves after its load; removed now, the preferences would
        // come back with that save and outlive a quit.
        auto previous = std::move(self.unloadAfterConfiguring_);
        self.unloadAfterConfiguring_ = [me = self.shared_from_this(), previous = std::move(previous),
                                        completion = std::move(completion)]() mutable {
            if (previous) previous();
            me->removePreferences(std::move(completion));
        };
    });
}

void NetworkExtensionManager::removePreferences(Completion completion) {
    // A retry of an earlier failed save would write the preferences again once they are gone.
    retryPending_ = false;
    ++retryGeneration_;
    auto me = shared_from_this();
    options_.dnsProxyManager->removeFromPreferences([me, completion = std::move(completion)](
                                                        std::optional<ErrorObject> error) {
        if (error) {
            me->log_.info("KIVNetExtMgr: Did not unload configurations, error: " + domainAndCode(*error));
            me->setStatus("Error unloading configurations.");
            if (error->code ==
                static_cast<std::int64_t>(platform::NEDNSProxyManagerError::configurationCannotBeRemoved)) {
                me->stopProxy();
            }
            me->extensionState_ = {ExtensionStatus::userDenied};
        }
        if (completion) completion(error ? std::optional(error->localizedDescription()) : std::nullopt);
    });
}

void NetworkExtensionManager::stopProxy() {
    onMain([](NetworkExtensionManager& self) {
        auto me = self.shared_from_this();
        self.options_.dnsProxyManager->loadFromPreferences([me](std::optional<ErrorObject> error) {
            if (error) {
                me->log_.info("KIVNetExtMgr: Did not load configurations, error: " + domainAndCode(*error));
                me->setStatus("Error loading configurations.");
                return;
            }
            const bool storedEnabled = me->options_.dnsProxyManager->isEnabled();
            me->options_.dnsProxyManager->setEnabled(false);
            me->options_.dnsProxyManager->saveToPreferences(
                [me, storedEnabled](std::optional<ErrorObject> error) {
                    if (!error) {
                        me->_logger->log("Proxy Stopped", kProduction);
                        return;
                    }
                    me->options_.dnsProxyManager->setEnabled(storedEnabled);
                    me->saveFailed(*error);
                });
        });
    });
}

// ---- the extension's reports ----

void NetworkExtensionManager::proxyStoppedWithReason(std::int64_t reason) {
    onMain([reason](NetworkExtensionManager& self) { self.handleProxyStopped(reason); });
}

void NetworkExtensionManager::connectionErrorWithReason(ErrorObject reason) {
    onMain(
        [reason = std::move(reason)](NetworkExtensionManager& self) { self.handleConnectionError(reason); });
}

}  // namespace kiv
