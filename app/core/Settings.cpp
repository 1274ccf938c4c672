#include "app/core/Settings.hpp"

#include <utility>

#include "app/Logger/LogDebugDefault.hpp"
#include "app/core/Utils.hpp"
#include "model/ParseInteger.hpp"
#include "platform/AtomicFile.hpp"

namespace kiv {
namespace {

constexpr std::size_t kMaxConfigFileBytes = 1u << 20;

model::MainConfiguration placeholderConfiguration() {
    model::MainConfiguration placeholder;
    placeholder.jsonrpc = "2.0";
    return placeholder;
}

}  // namespace

Settings::Settings() : Settings(platform::UserDefaults::standard()) {}

Settings::Settings(platform::UserDefaultsPtr userDefaults, Injected<ConfigFileWriter> configWriter,
                   Injected<KIVLogger> logger)
    : userDefaults_(std::move(userDefaults)),
      configWriter_(std::move(configWriter)),
      logger_(std::move(logger)) {}

void Settings::set(const std::string& value, XNCServerInfoSection key) {
    std::lock_guard lock(mutex_);
    if (key == XNCServerInfoSection::deviceKey && configFile_) {
        // Once config.json was looked for, the device key lives in it, never in the defaults.
        if (configFile_->result) configFile_->result->device = value;
        return;
    }
    setValueLocked(value, key);
}

void Settings::setValue(const std::string& value, XNCServerInfoSection key) {
    std::lock_guard lock(mutex_);
    setValueLocked(value, key);
}

void Settings::setValueLocked(const std::string& value, XNCServerInfoSection key) {
    // The defaults are written under our lock too, so that they and saveDictionary_ agree on
    // which of two concurrent values for one key came last.
    const std::string name(rawValue(key));
    userDefaults_->setString(name, value);
    userDefaults_->synchronize();
    if (key != XNCServerInfoSection::userName) saveDictionary_[name] = value;
}

std::optional<std::string> Settings::getString(XNCServerInfoSection key) const {
    if (auto stored = userDefaults_->stringForKey(std::string(rawValue(key)))) return stored;
    std::lock_guard lock(mutex_);
    if (key == XNCServerInfoSection::identifier) {
        return configFile_ && configFile_->id ? std::to_string(*configFile_->id) : std::string("0");
    }
    if (key == XNCServerInfoSection::deviceKey && configFile_ && configFile_->result) {
        return configFile_->result->device;
    }
    return std::nullopt;
}

void Settings::writeConfiguration(bool quiet, bool viaWriter) {
    if (viaWriter) {
        configWriter_->writeParameterFile(saveDictionary());
        return;
    }
    if (auto configuration = configFile()) configWriter_->writeConfigFile(*configuration, quiet);
}

void Settings::loadConfigFile() {
    if (auto path = Utils::configJSONPath()) {
        std::optional<model::MainConfiguration> loaded;
        std::string failure;
        const platform::FileRead read = platform::readWholeFile(*path, kMaxConfigFileBytes);
        if (read.status == platform::FileRead::Status::read) {
            auto decoded = model::MainConfiguration::fromJSONString(read.content, model::TextEncoding::utf8);
            if (decoded) {
                loaded = std::move(decoded).value();
            } else {
                failure = decoded.error().description();
            }
        } else {
            failure = read.error;
        }
        if (!loaded) {
            logger_->log("missing config file " + failure, model::LogLevel::production);
            loaded = placeholderConfiguration();
        }
        std::lock_guard lock(mutex_);
        configFile_ = std::move(loaded);
    }
    auto device = Utils::readDeviceConfiguration();
    std::lock_guard lock(mutex_);
    deviceConfig_ = std::move(device);
}

std::optional<platform::URL> Settings::serverURL(std::string_view text) {
    auto parsed = platform::URL::parse(text);
    if (!parsed) return std::nullopt;
    return platform::URL::make("https", parsed->host(), parsed->port().value_or(kDefaultServerPort),
                               parsed->path());
}

std::uint32_t Settings::trayType() const {
    const auto text = userDefaults_->stringForKey(std::string(rawValue(XNCServerInfoSection::trayType)));
    return model::parseUInt32(text.value_or("1")).value_or(kDefaultTrayType);
}

std::optional<model::MainConfiguration> Settings::configFile() const {
    std::lock_guard lock(mutex_);
    return configFile_;
}

std::optional<model::DeviceConfiguration> Settings::deviceConfig() const {
    std::lock_guard lock(mutex_);
    return deviceConfig_;
}

std::map<std::string, std::string> Settings::saveDictionary() const {
    std::lock_guard lock(mutex_);
    return saveDictionary_;
}

std::optional<std::string> Settings::installKey() const {
    std::lock_guard lock(mutex_);
    return installKey_;
}

Service settingsService() {
    return Service::make<Settings>(Service::LifeCycle::global, [] { return std::make_shared<Settings>(); });
}

void installSettingsLogDebugStore() {
    installLogDebugStore(
        [](std::optional<bool> value) {
            auto defaults = platform::UserDefaults::standard();
            if (value) {
                defaults->setBool(kLogDebugKey, *value);
            } else {
                defaults->removeObject(kLogDebugKey);
            }
        },
        []() -> std::optional<bool> {
            auto defaults = platform::UserDefaults::standard();
            if (!defaults->objectForKey(kLogDebugKey)) return std::nullopt;
            return defaults->boolForKey(kLogDebugKey);
        });
}

}  // namespace kiv
