#include "app/shell/MenuInteraction.hpp"

namespace kiv {

MenuInteraction::MenuInteraction(TrayType trayType, bool showTestMenu, Injected<KIVLogger> logger,
                                 KIVStatusBarController::Environment environment)
    : _logger(std::move(logger)), trayType(trayType), showTestMenu(showTestMenu) {
    _logger->log("Installing menu", model::LogLevel::production);
    statusMenu = KIVStatusBarController::make(trayType, showTestMenu, std::move(environment));
    if (statusMenu) statusMenu->addStatusBar(true);
}

int MenuInteraction::statusCode(ChangeType type) {
    switch (type) {
        case ChangeType::connected:
            return 0;
        case ChangeType::disconnected:
            return 1;
        case ChangeType::intranet:
            return 2;
        case ChangeType::didAwake:
            return 7;
        case ChangeType::willSleep:
            return 6;
        case ChangeType::VPNDidStart:
            return 4;
        case ChangeType::VPNDidStop:
            return 5;
        case ChangeType::missingDeviceKey:
            return 12;
        case ChangeType::waitingOnUserSecurity:
            return 10;
        case ChangeType::installCompleted:
            return 11;
        case ChangeType::ipAddressChanged:
        case ChangeType::onStartup:
        case ChangeType::onShutdown:
        case ChangeType::pollingInterval:
        case ChangeType::deviceConfigRefreshed:
        case ChangeType::deviceConfigEditedLocally:
        case ChangeType::dnsProxyFailed:
            return 9;
    }
    return 9;  // an event beyond the table
}

void MenuInteraction::updateStatus(ChangeType type, bool hasIpAddress, bool userAcceptedExtension,
                                   bool vpnRunning) const {
    if (statusMenu)
        statusMenu->updateStatusMessage(statusCode(type), hasIpAddress, userAcceptedExtension, vpnRunning);
}

}  // namespace kiv
