#pragma once
// The store of installer and server parameters. Values are texts in the user defaults under the
// XNCServerInfoSection keys; beside them it keeps every value it was asked to store (to write the
// installer values out again for the user's application), the installer's registration answer
// (config.json) and the stored device configuration (device.json).
//
// One instance per process, a `global` service of the registry (settingsService()).
//
// Threads: any. One mutex guards the configuration file, the device configuration and the saved
// values; it is never held while the configuration writer or the logger runs. The user defaults
// are safe on their own.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/ConfigFileWriter.hpp"
#include "app/core/Injected.hpp"
#include "app/core/Service.hpp"
#include "app/core/XNCServerInfoSection.hpp"
#include "model/DeviceConfiguration.hpp"
#include "model/MainConfiguration.hpp"
#include "platform/UserDefaults.hpp"
#include "platform/http/URL.hpp"

namespace kiv {

class Settings {
public:
    static constexpr std::uint32_t kDefaultTrayType = 1;
    static constexpr int kDefaultServerPort = 8443;

    // The standard user defaults; writer and logger from the registry.
    Settings();
    explicit Settings(platform::UserDefaultsPtr userDefaults,
                      Injected<ConfigFileWriter> configWriter = Injected<ConfigFileWriter>(),
                      Injected<KIVLogger> logger = Injected<KIVLogger>());
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    // The store operation everyone uses. "DEVICE_KEY" while a configuration file is held goes into
    // that file's result (only when it already has a device member; otherwise it is dropped) and
    // not into the user defaults. Everything else: setValue().
    void set(const std::string& value, XNCServerInfoSection key);
    // Writes the user defaults (and synchronizes them) and, except for "userName", remembers the
    // value for writeConfiguration(_, true).
    void setValue(const std::string& value, XNCServerInfoSection key);
    // The user defaults' text; else for "identifier" the held configuration file's id ("0" without
    // one) and for "DEVICE_KEY" its result's device member; else nothing.
    std::optional<std::string> getString(XNCServerInfoSection key) const;

    // viaWriter: the remembered values go to the cookie parameter file (`quiet` unused).
    // Otherwise the held configuration file, if any, is written as config.json.
    void writeConfiguration(bool quiet, bool viaWriter);

    // Reads config.json (a missing or undecodable file logs "missing config file <reason>" and
    // holds a placeholder whose jsonrpc is "2.0") and device.json. When the application folder
    // cannot be found the configuration file is left as it was.
    void loadConfigFile();

    // "https://" + host + (port, or 8443) + path of `text`; user, query and fragment are dropped.
    // Nothing when the text is no URL.
    static std::optional<platform::URL> serverURL(std::string_view text);

    // "TRAY_TYPE" as an unsigned decimal number; 1 when absent, empty or not a number.
    std::uint32_t trayType() const;

    const platform::UserDefaultsPtr& userDefaults() const { return userDefaults_; }
    std::optional<model::MainConfiguration> configFile() const;
    std::optional<model::DeviceConfiguration> deviceConfig() const;
    std::map<std::string, std::string> saveDictionary() const;
    // Never set by the application; kept for the installer pick-up's early test.
    std::optional<std::string> installKey() const;

private:
    void setValueLocked(const std::string& value, XNCServerInfoSection key);

    const platform::UserDefaultsPtr userDefaults_;
    Injected<ConfigFileWriter> configWriter_;
    Injected<KIVLogger> logger_;

    mutable std::mutex mutex_;  // guards the members below
    std::optional<model::MainConfiguration> configFile_;
    std::optional<model::DeviceConfiguration> deviceConfig_;
    std::optional<std::string> installKey_;
    std::map<std::string, std::string> saveDictionary_;
};

// The registry's record: `global`, a new Settings over the standard user defaults.
Service settingsService();

// Makes the logger's "LogDebug" flag live in the standard user defaults. Called once at start.
void installSettingsLogDebugStore();

}  // namespace kiv
