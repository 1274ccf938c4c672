#pragma once
// The installer's parameters: the KEY=value argument parser, the check of the required values and
// the saving of the given ones with their defaults, and the installer step, which registers the
// computer with the device server or fetches its configuration (DeviceConfigManager).
//
// Threads: validateAndSave on the main thread (start-up); run() from any thread, its work and
// completion on "InstallerHelper.queue" (concurrent: runs may overlap; the manager serialises
// its own registrations).
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/core/Service.hpp"
#include "app/core/Settings.hpp"
#include "app/core/XNCServerInfoSection.hpp"
#include "app/server/DeviceConfigManager.hpp"
#include "platform/Dispatch.hpp"

namespace kiv {

struct InstallerArguments {
    // Every argument of exactly one "=" whose key is one of the settings keys; a later one wins.
    static std::map<XNCServerInfoSection, std::string> parse(const std::vector<std::string>& arguments);
};

class InstallerHelper : public std::enable_shared_from_this<InstallerHelper> {
public:
    // Collaborators from the registry.
    InstallerHelper();
    InstallerHelper(Injected<Settings> settings, Injected<KIVLogger> logger,
                    Injected<DeviceConfigManager> deviceConfiguration,
                    Injected<NotificationPublisher> notificationPublisher);

    // Checks the parsed arguments of saveInstallerDict and stores them in the settings. False when
    // a required value is missing or invalid (logged).
    bool validateAndSave();
    // The installer step; `completion` runs on the helper's queue when it is done. Nothing runs
    // when the helper is gone by the time the step starts.
    void run(bool force, std::function<void()> completion);

    // An install key is stored and no device key is known.
    bool needToGetMainConfig();
    // Fetches the configuration with the known device key. Without one, while an install key is
    // stored (a registration that never completed, e.g. the device server was unreachable), it
    // registers instead, one registration at a time; otherwise nothing.
    void fetchConfigWithDeviceKey();
    void finishRegistration(const std::function<void()>& completion);
    void logSavedDefaults();

    std::map<XNCServerInfoSection, std::string> saveInstallerDict;
    std::size_t numberOfArguments = 0;

private:
    void log(const std::string& message) const;
    std::optional<std::string> stored(XNCServerInfoSection key) const;
    // Fetches with the known device key; false when there is none.
    bool fetchWithKnownDeviceKey();

    Injected<Settings> _settings;
    Injected<KIVLogger> _logger;
    Injected<DeviceConfigManager> _deviceConfiguration;
    Injected<NotificationPublisher> _notificationPublisher;
    platform::DispatchQueuePtr concurrentQueue;
    std::atomic<bool> registering_{false};
};

// The registry's record: `global`, a new InstallerHelper.
Service installerHelperService();

}  // namespace kiv
