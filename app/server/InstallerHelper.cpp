#include "app/server/InstallerHelper.hpp"

#include <optional>

#include "app/Logger/StandardOutput.hpp"
#include "app/server/CommmonValidator.hpp"

namespace kiv {
namespace {

using K = XNCServerInfoSection;

std::optional<std::string> given(const std::map<XNCServerInfoSection, std::string>& values, K key) {
    auto found = values.find(key);
    if (found == values.end()) return std::nullopt;
    return found->second;
}

}  // namespace

std::map<XNCServerInfoSection, std::string> InstallerArguments::parse(
    const std::vector<std::string>& arguments) {
    std::map<XNCServerInfoSection, std::string> parsed;
    for (const std::string& argument : arguments) {
        const auto equals = argument.find('=');
        if (equals == std::string::npos || argument.find('=', equals + 1) != std::string::npos) continue;
        const auto key = serverInfoSectionFromRawValue(argument.substr(0, equals));
        if (!key) continue;
        parsed[*key] = argument.substr(equals + 1);
    }
    return parsed;
}

InstallerHelper::InstallerHelper()
    : InstallerHelper(Injected<Settings>(), Injected<KIVLogger>(), Injected<DeviceConfigManager>(),
                      Injected<NotificationPublisher>()) {}

InstallerHelper::InstallerHelper(Injected<Settings> settings, Injected<KIVLogger> logger,
                                 Injected<DeviceConfigManager> deviceConfiguration,
                                 Injected<NotificationPublisher> notificationPublisher)
    : _settings(std::move(settings)),
      _logger(std::move(logger)),
      _deviceConfiguration(std::move(deviceConfiguration)),
      _notificationPublisher(std::move(notificationPublisher)),
      concurrentQueue(platform::makeConcurrentQueue("InstallerHelper.queue")) {}

void InstallerHelper::log(const std::string& message) const {
    _logger->log(message, model::LogLevel::production);
}

std::optional<std::string> InstallerHelper::stored(K key) const {
    return _settings->userDefaults()->stringForKey(std::string(rawValue(key)));
}

bool InstallerHelper::validateAndSave() {
    Settings& settings = *_settings;
    const auto& values = saveInstallerDict;
    const auto fail = [&] {
        log("failed to validate a required setting: bailing");
        return false;
    };
    const auto reset = given(values, K::reset);
    if (reset) settings.set(*reset, K::reset);
    if (const auto stop = given(values, K::stop)) {
        settings.set(*stop, K::stop);
        return true;
    }
    if (reset) return true;

    const auto rpcURL = given(values, K::rpcURL);
    if (!rpcURL) {
        log("Missing value for RPC_URL. Please provide a URL in the command line");
        return fail();
    }
    if (!CommmonValidator::isValidURL(*rpcURL)) {
        printLine(" RPC_URL value \"" + *rpcURL + "\" is invalid, please check again");
        return fail();
    }
    settings.set(*rpcURL, K::rpcURL);

    if (const auto installKey = given(values, K::installKey)) {
        settings.set(*installKey, K::installKey);
    } else {
        log("Missing install Key");
        const auto deviceKey = given(values, K::deviceKey);
        if (!deviceKey) return fail();
        settings.set(*deviceKey, K::deviceKey);
    }

    if (const auto name = given(values, K::deviceName)) {
        const auto prefix = given(values, K::deviceNamePrefix);
        settings.set(prefix ? *prefix + "-" + *name : *name, K::deviceName);
    }
    if (const auto port = given(values, K::rpcPort)) settings.set(*port, K::rpcPort);
    settings.set(given(values, K::locationName).value_or(""), K::locationName);
    settings.set(given(values, K::trayType).value_or("1"), K::trayType);
    if (const auto email = given(values, K::customerEmail)) {
        if (CommmonValidator::isValidEmail(*email)) {
            settings.set(*email, K::customerEmail);
        } else {
            printLine(" Email is in invalid format, please try again");
        }
    }
    settings.set(given(values, K::showTestMenu).value_or("TRUE"), K::showTestMenu);
    for (K key : {K::ignoreVPNS, K::allowWeakKey, K::importCert}) {
        if (const auto value = given(values, key)) settings.set(*value, key);
    }
    return true;
}

void InstallerHelper::run(bool force, std::function<void()> completion) {
    std::weak_ptr<InstallerHelper> weak = weak_from_this();
    concurrentQueue->async([weak, force, completion = std::move(completion)]() mutable {
        const auto self = weak.lock();
        if (!self) return;
        const bool needed = self->needToGetMainConfig();
        if (needed || force) {
            self->_deviceConfiguration->registerAndFetch(
                force, [self, completion = std::move(completion)] { self->finishRegistration(completion); });
            return;
        }
        self->fetchConfigWithDeviceKey();
        self->_notificationPublisher->publish(ChangeType::onStartup);
        if (completion) completion();
    });
}

bool InstallerHelper::needToGetMainConfig() {
    if (!stored(K::installKey)) {
        log("needToGetMainConfig:: no install key in settings.getValue, checking for device key");
        return false;
    }
    if (stored(K::deviceKey)) return false;
    const auto file = _settings->configFile();
    return !(file && file->result);
}

bool InstallerHelper::fetchWithKnownDeviceKey() {
    std::optional<std::string> key = stored(K::deviceKey);
    if (!key) {
        const auto file = _settings->configFile();
        if (file && file->result) key = file->result->device;
    }
    if (!key) return false;
    _deviceConfiguration->fetchConfig(*key);
    return true;
}

void InstallerHelper::fetchConfigWithDeviceKey() {
    if (fetchWithKnownDeviceKey() || !stored(K::installKey)) return;
    // The first registration failed (no server, no network): without this the device would stay
    // unregistered, and its DNS unfiltered, until the installer ran again.
    if (registering_.exchange(true)) return;
    log("no device key yet: registering with the install key");
    std::weak_ptr<InstallerHelper> weak = weak_from_this();
    _deviceConfiguration->registerAndFetch(true, [weak] {
        if (const auto self = weak.lock()) self->registering_ = false;
    });
}

void InstallerHelper::finishRegistration(const std::function<void()>& completion) {
    // The registration just ended: a failed one is tried again by the next change or poll.
    fetchWithKnownDeviceKey();
    _settings->writeConfiguration(false, false);
    logSavedDefaults();
    _settings->writeConfiguration(true, false);
    if (completion) completion();
}

void InstallerHelper::logSavedDefaults() {
    std::string text = "\nSaved as default::\n";
    for (K key : allServerInfoSections()) {
        if (key == K::deviceKey) continue;
        if (const auto value = stored(key)) text += std::string(rawValue(key)) + " = " + *value + "\n";
    }
    log(text);
}

Service installerHelperService() {
    return Service::make<InstallerHelper>(Service::LifeCycle::global,
                                          [] { return std::make_shared<InstallerHelper>(); });
}

}  // namespace kiv
