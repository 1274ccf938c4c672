#include "app/server/DeviceConfigManager.hpp"

#include "app/Logger/StandardOutput.hpp"
#include "app/core/Utils.hpp"

namespace kiv {
namespace {

using K = XNCServerInfoSection;

std::optional<std::string> stored(const Settings& settings, K key) {
    return settings.userDefaults()->stringForKey(std::string(rawValue(key)));
}

}  // namespace

DeviceConfigManager::DeviceConfigManager()
    : DeviceConfigManager(Injected<Settings>(), Injected<DeviceServerAPI>(), Injected<KIVLogger>(),
                          Injected<ComputerNameManager>(), Injected<NotificationPublisher>(),
                          Injected<ConfigFileWriter>()) {}

DeviceConfigManager::DeviceConfigManager(Injected<Settings> settings,
                                         Injected<DeviceServerAPI> deviceInteraction,
                                         Injected<KIVLogger> logger,
                                         Injected<ComputerNameManager> computerNameManager,
                                         Injected<NotificationPublisher> notificationPublisher,
                                         Injected<ConfigFileWriter> configWriter)
    : _settings(std::move(settings)),
      _deviceInteraction(std::move(deviceInteraction)),
      _logger(std::move(logger)),
      _computerNameManager(std::move(computerNameManager)),
      _notificationPublisher(std::move(notificationPublisher)),
      _configWriter(std::move(configWriter)),
      concurrentQueue(platform::makeConcurrentQueue("DeviceInteraction.queue")) {}

void DeviceConfigManager::log(const std::string& message) const {
    _logger->log(message, model::LogLevel::production);
}

std::optional<std::string> DeviceConfigManager::deviceKey() const {
    if (auto key = stored(*_settings, K::deviceKey)) return key;
    const auto file = _settings->configFile();
    if (file && file->result) return file->result->device;
    return std::nullopt;
}

std::string DeviceConfigManager::deviceName(const std::optional<std::string>& prefix) const {
    std::string name = stored(*_settings, K::deviceName).value_or(_computerNameManager->getComputerName());
    if (!prefix || *prefix == name) return name;
    return *prefix + "-" + name;
}

void DeviceConfigManager::registerAndFetch(bool force, std::function<void()> completion) {
    std::weak_ptr<DeviceConfigManager> weak = weak_from_this();
    concurrentQueue->barrierAsync([weak, force, completion = std::move(completion)] {
        const auto self = weak.lock();
        if (!self) return;
        if (const auto key = self->registerForDeviceKey(force)) {
            Settings& settings = *self->_settings;
            settings.set(*key, K::deviceKey);
            const auto file = settings.configFile();
            if (stored(settings, K::deviceKey) == *key ||
                (file && file->result && file->result->device == *key)) {
                settings.userDefaults()->removeObject(std::string(rawValue(K::installKey)));
            } else {
                // The key could not be kept (no configuration file took it): the install key is the
                // only way back to the device, so it stays.
                self->log("device key not stored; keeping the install key");
            }
            self->fetchConfig(*key);
        }
        self->_settings->writeConfiguration(true, false);
        if (completion) completion();
    });
}

std::optional<std::string> DeviceConfigManager::registerForDeviceKey(bool force) {
    if (stored(*_settings, K::installKey)) {
        const auto reply = registerWithServer(force);
        if (reply && reply->result) return reply->result->device;
        return std::nullopt;
    }
    return deviceKey();
}

std::optional<model::MainConfiguration> DeviceConfigManager::registerWithServer(bool force) {
    if (!force) {
        auto held = _settings->configFile();
        if (!held || !held->result) return held;
    }
    if (!deviceKey() && !stored(*_settings, K::installKey)) {
        log("Fatal error!:: missing deviceKey or install key");
        return std::nullopt;
    }
    const auto installKey = stored(*_settings, K::installKey);
    if (!installKey) {
        log("Fatal error!: The config file is missing a device and a location key. You should reinstall");
        return std::nullopt;
    }
    const std::string name = deviceName(stored(*_settings, K::deviceNamePrefix));
    auto reply = sendRegistration(*installKey, name);
    if (!reply) return std::nullopt;
    // An answer without a result (the server refused) must not replace the held file: that file
    // carries the device key of an earlier registration.
    if (reply->result) adoptConfigurationFile(*reply);
    return reply;
}

void DeviceConfigManager::adoptConfigurationFile(const model::MainConfiguration& reply) {
    // The settings store takes its configuration file from config.json: write it there and have
    // the store read it back.
    _configWriter->writeConfigFile(reply, true);
    _settings->loadConfigFile();
}

std::optional<model::MainConfiguration> DeviceConfigManager::sendRegistration(const std::string& installKey,
                                                                              const std::string& name) {
    auto [reply, error] = _deviceInteraction->registerDevice(installKey, name);
    if (error) {
        log("register failed with error " + std::string(platform::toString(error->code)) + ": " +
            error->message);
        return std::nullopt;
    }
    if (!reply) return std::nullopt;
    auto text = reply->jsonString(model::TextEncoding::utf8);
    if (!text) {
        log(text.error().description());
    } else if (*text) {
        log("SERVER RESULT:: " + **text);
    }
    return reply;
}

void DeviceConfigManager::fetchConfig(const std::string& deviceKey) {
    std::optional<std::string> locationName = stored(*_settings, K::locationName);
    if (locationName && locationName->empty()) locationName = _computerNameManager->getComputerName();
    auto [configuration, error, deviceError] = _deviceInteraction->configureDevice(deviceKey, locationName);
    handleConfigurationReply(configuration, error, deviceError);
}

void DeviceConfigManager::handleConfigurationReply(
    const std::optional<model::DeviceConfiguration>& configuration,
    const std::optional<platform::HTTPError>& /*error*/,
    const std::optional<model::DeviceError>& deviceError) {
    if (deviceError) {
        if (deviceError->message == "Unauthorized") Utils::getValuesFromInstaller(*_settings);
        return;
    }
    if (!configuration) return;
    if (const auto* locations = configuration->locations(); locations && !locations->empty()) {
        _settings->set(locations->front().tag, K::userID);
    }
    writeDeviceConfiguration(*configuration);
    _notificationPublisher->publish(ChangeType::deviceConfigRefreshed, *configuration);
}

void DeviceConfigManager::writeDeviceConfiguration(const model::DeviceConfiguration& configuration) {
    auto text = configuration.jsonString(model::TextEncoding::utf8);
    if (!text || !*text) return;
    const auto path = Utils::deviceJSONPath();
    if (!path) return;
    printLine("writing DeviceConfiguration to " + Utils::fileURLText(*path));
    (void)_configWriter->save(**text, *path);
}

Service deviceConfigManagerService() {
    return Service::make<DeviceConfigManager>(Service::LifeCycle::global,
                                              [] { return std::make_shared<DeviceConfigManager>(); });
}

}  // namespace kiv
