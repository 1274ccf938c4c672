#pragma once
// The device's standing with the device server: registers the computer with the install key and
// keeps the device key it gets back, fetches the device configuration with that key, stores it as
// device.json and announces it (deviceConfigRefreshed), and answers the server's "Unauthorized"
// by applying the installer parameter file to the settings again.
//
// A registration reply replaces the held configuration file (config.json) only when it carries a
// result, so a refused registration never loses the stored device key.
//
// Threads: registerAndFetch() from any thread; its work runs as a barrier on
// "DeviceInteraction.queue", so two registrations never overlap. Every other operation runs on
// its caller's thread and blocks while a server call is under way.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/ConfigFileWriter.hpp"
#include "app/core/Injected.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/core/Service.hpp"
#include "app/core/Settings.hpp"
#include "app/server/ComputerNameManager.hpp"
#include "app/server/DeviceServerAPI.hpp"
#include "platform/Dispatch.hpp"

namespace kiv {

class DeviceConfigManager : public std::enable_shared_from_this<DeviceConfigManager> {
public:
    DeviceConfigManager();
    DeviceConfigManager(Injected<Settings> settings, Injected<DeviceServerAPI> deviceInteraction,
                        Injected<KIVLogger> logger, Injected<ComputerNameManager> computerNameManager,
                        Injected<NotificationPublisher> notificationPublisher,
                        Injected<ConfigFileWriter> configWriter);

    // "DEVICE_KEY", else the held configuration file's result device.
    std::optional<std::string> deviceKey() const;
    // "DEVICE_NAME" (else the computer identity), behind `prefix` and "-" unless the prefix is
    // absent or equal to the name.
    std::string deviceName(const std::optional<std::string>& prefix) const;

    std::optional<model::MainConfiguration> registerWithServer(bool force);
    std::optional<model::MainConfiguration> sendRegistration(const std::string& installKey,
                                                             const std::string& name);
    // With an install key: registers and gives the new device key; without: deviceKey().
    std::optional<std::string> registerForDeviceKey(bool force);
    void fetchConfig(const std::string& deviceKey);
    void handleConfigurationReply(const std::optional<model::DeviceConfiguration>& configuration,
                                  const std::optional<platform::HTTPError>& error,
                                  const std::optional<model::DeviceError>& deviceError);
    void writeDeviceConfiguration(const model::DeviceConfiguration& configuration);

    // Registers (when an install key is stored) and fetches, then writes config.json and calls
    // `completion` on "DeviceInteraction.queue". Nothing happens, and the completion never runs,
    // when the manager is gone by the time the work starts.
    void registerAndFetch(bool force, std::function<void()> completion);

private:
    void log(const std::string& message) const;
    // Makes `reply` the settings' held configuration file.
    void adoptConfigurationFile(const model::MainConfiguration& reply);

    Injected<Settings> _settings;
    Injected<DeviceServerAPI> _deviceInteraction;
    Injected<KIVLogger> _logger;
    Injected<ComputerNameManager> _computerNameManager;
    Injected<NotificationPublisher> _notificationPublisher;
    Injected<ConfigFileWriter> _configWriter;
    platform::DispatchQueuePtr concurrentQueue;
};

// The registry's record: `global`, a new DeviceConfigManager.
Service deviceConfigManagerService();

}  // namespace kiv
