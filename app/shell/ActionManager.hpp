#pragma once
// What the device server asks this application to do (disable, move, shut down, uninstall,
// upgrade), as far as this version of the application takes the server's actions at all. It
// describes them for the log; it carries none of them out.
//
// A value made per configuration applied; any thread.
#include <optional>
#include <string>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "model/DeviceConfiguration.hpp"

namespace kiv {

class ActionManager {
public:
    // Keeps `configuration` and `isShutdown` when `version` (the application's short version
    // text, the main bundle's by default) handles the server's actions; otherwise keeps neither
    // and sets notHandledInThisVersion.
    ActionManager(std::optional<model::DeviceConfiguration> configuration, std::optional<bool> isShutdown,
                  const std::optional<std::string>& version = mainBundleVersion());

    // Whether a version of the application acts on the server's actions ("1.1", "1.2.3": yes;
    // "1.2", "1.2.0", "2.5": no).
    static bool handledInVersion(const std::optional<std::string>& version);
    // "disable = <bool>)move url = <rpc or ->shutdown = <bool>uninstall = <bool>upgrade url = <url or ->".
    static std::string actionsDescription(const model::Actions& actions);
    // The kept configuration's actions described; nothing when none was kept or it has no actions.
    std::optional<std::string> actionsDescription() const;

    static std::optional<std::string> mainBundleVersion();

    std::optional<model::DeviceConfiguration> deviceConfiguration;
    std::optional<bool> isShutdown;
    bool notHandledInThisVersion = false;
    Injected<KIVLogger> _logger;  // never read: nothing is carried out, so nothing is logged here
};

}  // namespace kiv
