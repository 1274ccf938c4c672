#pragma once
// What the change observer holds of the status-bar menu: it makes the controller (and with it the
// status item) and turns each change event into a status code for the status line.
//
// A small value; copies share the controller. Threads: main queue.
#include <memory>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/ChangeType.hpp"
#include "app/core/Injected.hpp"
#include "app/shell/KIVStatusBarController.hpp"

namespace kiv {

struct MenuInteraction {
    // Logs "Installing menu", makes the controller and adds its status item.
    MenuInteraction(
        TrayType trayType, bool showTestMenu, Injected<KIVLogger> logger = Injected<KIVLogger>(),
        KIVStatusBarController::Environment environment = KIVStatusBarController::defaultEnvironment());

    // The status code of an event.
    static int statusCode(ChangeType type);

    void updateStatus(ChangeType type, bool hasIpAddress, bool userAcceptedExtension, bool vpnRunning) const;

    Injected<KIVLogger> _logger;
    KIVStatusBarControllerPtr statusMenu;
    TrayType trayType;
    bool showTestMenu;
};

}  // namespace kiv
