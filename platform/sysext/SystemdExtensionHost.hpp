#pragma once
// Activation where systemd runs the computer: the extension is its system unit (kivdnsproxy as
// a root service). Activating enables the unit's file, reloads the manager and starts the unit;
// deactivating stops it, disables it and reloads, all over D-Bus (org.freedesktop.systemd1).
//
// The user's approval is polkit's: each request first asks without interactive authorization;
// when systemd answers that interaction is required, the delegate hears that the request needs
// the user's approval and the same call goes again with interactive authorization, so that the
// user's polkit agent asks. Granted, the request goes on; denied, it fails with
// authorizationRequired. A unit that does not exist fails with extensionNotFound; any other
// D-Bus error with unknown, its name and message in the description. A start is reported
// finished when systemd has accepted the job.
//
// The bus connection lives on the process's reactor (all sd-bus calls on the reactor thread);
// call deadlines are timers on the process clock. Threads: any.
#include <memory>
#include <optional>
#include <string>

#include "platform/sysext/ExtensionHost.hpp"

namespace platform {

class SystemdExtensionHost final : public ExtensionHost {
public:
    struct Options {
        // The bus to use; the system bus when absent ($DBUS_SYSTEM_BUS_ADDRESS or the default).
        std::optional<std::string> busAddress;
        std::string unitName = "kivdnsproxy.service";
    };

    explicit SystemdExtensionHost(Options options);
    ~SystemdExtensionHost() override;

    void activate(std::shared_ptr<RequestReport> report) override;
    void deactivate(std::shared_ptr<RequestReport> report) override;

    struct Bus;

private:
    const Options options_;
    std::shared_ptr<Bus> bus_;
};

}  // namespace platform
