#include "app/shell/KIVStatusBarController.hpp"

#include <mutex>
#include <system_error>

#include "app/Logger/LogDebugDefault.hpp"
#include "app/support/AppDirectory.hpp"
#include "platform/Bundle.hpp"
#include "platform/Dispatch.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/dbus/Workspace.hpp"

namespace kiv {
namespace {

constexpr const char* kPrivacyPanelURL = "x-apple.systempreferences:com.apple.preference.security?General";
constexpr const char* kNotificationsPanelURL = "x-apple.systempreferences:com.apple.preference.notifications";
constexpr const char* kProductName = "Brannock Cloud KIV";

struct QuitHandler {
    std::mutex mutex;
    std::function<void()> quit;  // guarded by mutex
};

QuitHandler& quitHandler() {
    static platform::NoDestructor<QuitHandler> handler;
    return *handler;
}

std::string bundleVersion() {
    const auto bundle = platform::Bundle::main();
    const auto shortVersion = bundle.string("CFBundleShortVersionString");
    const auto build = bundle.string("CFBundleVersion");
    if (!shortVersion) return {};
    return build ? *shortVersion + " (" + *build + ")" : *shortVersion;
}

}  // namespace

void KIVStatusBarController::setQuitHandler(std::function<void()> quit) {
    std::lock_guard lock(quitHandler().mutex);
    quitHandler().quit = std::move(quit);
}

KIVStatusBarController::Environment KIVStatusBarController::defaultEnvironment() {
    Environment environment;
    environment.statusBar = StatusBar::system();
    environment.userDefaults = platform::UserDefaults::standard();
    environment.notificationCenter = platform::dbus::UserNotificationCenter::current();
    environment.open = [](const std::string& target) { return platform::Workspace::open(target); };
    environment.applicationFolder = []() -> std::optional<std::filesystem::path> {
        std::error_code error;
        auto folder = appDirectory(error);
        if (error) return std::nullopt;
        return folder;
    };
    environment.quitApplication = [] {
        std::function<void()> quit;
        {
            std::lock_guard lock(quitHandler().mutex);
            quit = quitHandler().quit;
        }
        if (quit) quit();
    };
    environment.version = bundleVersion();
    return environment;
}

std::shared_ptr<KIVStatusBarController> KIVStatusBarController::make(TrayType trayType, bool showTestMenu,
                                                                     Environment environment) {
    return std::make_shared<KIVStatusBarController>(trayType, showTestMenu, std::move(environment));
}

KIVStatusBarController::KIVStatusBarController(TrayType trayType, bool showTestMenu, Environment environment)
    : environment_(std::move(environment)),
      trayType_(trayType),
      showTestMenu_(showTestMenu),
      disconnectOnVPN_(environment_.userDefaults->boolForKey(kDisconnectOnVPNKey)),
      logDebugEnabled_(environment_.userDefaults->boolForKey(kLogDebugKey)) {}

std::optional<std::string> KIVStatusBarController::statusText(int code, bool hasIpAddress, bool vpnRunning) {
    switch (code) {
        case 0:
            return "Connected";
        case 2:
            return "Bypassed";
        case 3:
            return "Waiting for Unbound";
        case 4:
            return "Disconnected: VPN running";
        case 10:
            return "Network Extension not installed.";
        case 12:
            return "Invalid Configuration";
        case 1:
        case 5:
        case 6:
        case 7:
        case 8:
        case 9:
        case 11:
            if (vpnRunning) return "Disconnected: VPN running";
            return hasIpAddress ? "Connected" : "Disconnected";
        default:
            return std::nullopt;  // 13 and above (and anything below 0): unchanged
    }
}

MenuItem::Action KIVStatusBarController::action(void (KIVStatusBarController::*method)()) {
    return [weak = weak_from_this(), method] {
        if (auto self = weak.lock()) ((*self).*method)();
    };
}

void KIVStatusBarController::changed() {
    if (statusBarItem_) statusBarItem_->changed();
}

void KIVStatusBarController::noCounterpart(const std::string& what, const std::string& url) {
    logObject_.info(what + ": this desktop has no settings panel for " + url);
}

void KIVStatusBarController::addStatusBar(bool updateStatus) {
    if (trayType_ == 0) return;
    // A second item would stay beside the first: the one in place goes.
    if (statusBarItem_) environment_.statusBar->removeStatusItem(statusBarItem_);
    statusBarItem_ = environment_.statusBar->statusItem(StatusItem::kSquareLength);
    statusBarItem_->setButtonAction(action(&KIVStatusBarController::displayStatusMenu));
    statusBarItem_->setImageName(kCorvelAlertIcon);
    if (updateStatus) updateStatusMenuItem(true);
    updateExternalIpMenuItem();
    updateDeviceKey("");
    updateUserName("Retrieving");
}

void KIVStatusBarController::updateStatusMessage(int code, bool hasIpAddress, bool, bool vpnRunning) {
    if (auto text = statusText(code, hasIpAddress, vpnRunning)) status_ = *text;
    updateStatusMenuItem(true);
}

void KIVStatusBarController::updateStatusMenuItem(bool) {
    updateStatusBar(true);
    if (!statusItem_) {
        if (!userAcceptedExtension_) {
            statusItem_ = std::make_shared<MenuItem>("", action(&KIVStatusBarController::showPrivacyPanel));
        } else {
            statusItem_ = std::make_shared<MenuItem>("");
            statusItem_->setEnabled(false);
        }
    }
    statusItem_->setTitle("Status: " + status_);
    changed();
}

void KIVStatusBarController::updateStatusBar(bool) {
    if (!statusBarItem_) {
        statusBarItem_ = environment_.statusBar->statusItem(StatusItem::kSquareLength);
        statusBarItem_->setButtonAction(action(&KIVStatusBarController::displayStatusMenu));
    }
    statusBarItem_->setImageName(kCorvelIcon);
}

void KIVStatusBarController::displayStatusMenu() {
    if (!logDebugItem_) {
        logDebugItem_ =
            std::make_shared<MenuItem>("Logging Debug Info", action(&KIVStatusBarController::setLogDebug));
        logDebugItem_->setState(logDebugEnabled_);
    }
    auto about = std::make_shared<MenuItem>("About", action(&KIVStatusBarController::showAboutWindow));
    auto logs = addShowTestMenu();
    showNotificationsItem_ = std::make_shared<MenuItem>(
        "Notifications Preferences...", action(&KIVStatusBarController::authorizeNotification));
    updateNotificationStatusMenu();
    // Entries the change observer has not made yet (no address so far, no item at start) are
    // made now rather than left out, so the menu always has its nine entries.
    if (!externalIpItem_) updateExternalIpMenuItem();
    if (!statusItem_) updateStatusMenuItem(true);

    auto menu = std::make_shared<Menu>();
    menu->addItem(externalIpItem_);
    menu->addItem(statusItem_);
    menu->addItem(logs);
    menu->addItem(MenuItem::separator());
    menu->addItem(logDebugItem_);
    menu->addItem(showNotificationsItem_);
    menu->addItem(MenuItem::separator());
    menu->addItem(about);
    menu->addItem(MenuItem::separator());
    menu->setWillOpen([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->menuWillOpen();
    });
    if (statusBarItem_) statusBarItem_->setMenu(menu);
}

void KIVStatusBarController::menuWillOpen() { updateNotificationStatusMenu(); }

void KIVStatusBarController::updateExternalIp(const std::string& address) {
    if (address == externalIP_) return;
    externalIP_ = address;
    updateExternalIpMenuItem();
    if (!address.empty()) status_ = "Connected";
}

void KIVStatusBarController::externalIpUpdated(const platform::Notification& notification) {
    const auto* address = std::any_cast<std::string>(&notification.object);
    if (!address) return;
    std::weak_ptr<KIVStatusBarController> weak = weak_from_this();
    platform::mainQueue()->async([weak, address = *address] {
        if (auto self = weak.lock()) self->updateExternalIp(address);
    });
}

void KIVStatusBarController::updateExternalIpMenuItem() {
    if (!externalIpItem_) {
        externalIpItem_ = std::make_shared<MenuItem>("");
        externalIpItem_->setEnabled(false);
    }
    externalIpItem_->setTitle("External IP: " + (externalIP_.empty() ? std::string("Empty") : externalIP_));
    changed();
}

void KIVStatusBarController::updateDeviceKey(const std::string& deviceKey) {
    if (!deviceKeyItem_) {
        deviceKeyItem_ = std::make_shared<MenuItem>("");
        deviceKeyItem_->setEnabled(false);
    }
    deviceKeyItem_->setTitle("Device Key: " + deviceKey);
}

void KIVStatusBarController::updateUserName(const std::string& userName) {
    if (!userNameItem_) {
        userNameItem_ = std::make_shared<MenuItem>("");
        userNameItem_->setEnabled(false);
    }
    userNameItem_->setTitle("User Key: " + userName);
}

void KIVStatusBarController::updateDebugMenu(const std::string& title, bool enabled) {
    if (!logDebugItem_)
        logDebugItem_ = std::make_shared<MenuItem>(title, action(&KIVStatusBarController::setLogDebug));
    logDebugItem_->setTitle(title);
    logDebugItem_->setState(enabled);
    changed();
}

void KIVStatusBarController::updateLogDebug() {
    logDebugEnabled_ = environment_.userDefaults->boolForKey(kLogDebugKey);
    if (logDebugItem_) logDebugItem_->setState(logDebugEnabled_);
    changed();
}

void KIVStatusBarController::setLogDebug() {
    logDebugEnabled_ = !logDebugEnabled_;
    if (logDebugItem_) logDebugItem_->setState(logDebugEnabled_);
    environment_.userDefaults->setBool(kLogDebugKey, logDebugEnabled_);
    changed();
}

void KIVStatusBarController::authorizeNotification() {
    environment_.notificationCenter->getNotificationSettings(
        [weak = weak_from_this()](platform::dbus::NotificationSettings settings) {
            auto self = weak.lock();
            if (!self) return;
            if (settings.authorizationStatus == platform::dbus::AuthorizationStatus::notDetermined) {
                self->environment_.notificationCenter->requestAuthorization(
                    platform::dbus::kAuthorizationAlert | platform::dbus::kAuthorizationSound |
                        platform::dbus::kAuthorizationBadge,
                    [](bool, const std::optional<std::string>&) {
                        platform::SystemLog("com.veltrix.kiv.BrannockCloud", "KIVStatusBarController")
                            .notice("Application granted");
                    });
            } else {
                self->toggleNotifications();
            }
        });
}

void KIVStatusBarController::toggleNotifications() {
    noCounterpart("Notifications Preferences", kNotificationsPanelURL);
}

bool KIVStatusBarController::updateNotificationStatusMenu() {
    environment_.notificationCenter->getNotificationSettings(
        [weak = weak_from_this()](platform::dbus::NotificationSettings settings) {
            platform::mainQueue()->async([weak, settings] {
                auto self = weak.lock();
                if (!self || settings.authorizationStatus != platform::dbus::AuthorizationStatus::authorized)
                    return;
                if (self->showNotificationsItem_) self->showNotificationsItem_->setState(true);
                self->changed();
            });
        });
    return true;
}

MenuItemPtr KIVStatusBarController::addShowTestMenu() {
    auto logs = std::make_shared<MenuItem>("Logs");
    auto submenu = std::make_shared<Menu>("Logs");
    submenu->addItem(
        std::make_shared<MenuItem>("Open App Support", action(&KIVStatusBarController::openAppSupport)));
    logs->setSubmenu(std::move(submenu));
    return logs;
}

void KIVStatusBarController::openAppSupport() {
    const auto folder = environment_.applicationFolder ? environment_.applicationFolder() : std::nullopt;
    if (!folder) {
        logObject_.error("Open App Support: the application folder is unknown");
        return;
    }
    if (!environment_.open || !environment_.open(folder->string())) {
        logObject_.notice("Open App Support: could not open " + folder->string());
    }
}

void KIVStatusBarController::showAboutWindow() {
    // No panel of our own: the desktop's notification shows the product and its version.
    platform::dbus::NotificationRequest request;
    request.identifier = "About";
    request.content.title = kProductName;
    request.content.body = environment_.version.empty() ? std::string() : "Version " + environment_.version;
    environment_.notificationCenter->add(std::move(request), nullptr);
}

void KIVStatusBarController::showPrivacyPanel() { noCounterpart("Status", kPrivacyPanelURL); }

void KIVStatusBarController::showLocalRulesWindow() {
    // Would bring the application's panels to the front; on this desktop it opens no windows, so
    // `windows_` is empty and there is nothing to show.
}

void KIVStatusBarController::modifyTrayType(TrayType trayType) {
    if (trayType != trayType_) {
        logObject_.info("Updating tray type from " + std::to_string(trayType_) + " to " +
                        std::to_string(trayType));
        if (trayType_ == 0) {
            trayType_ = trayType;
            addStatusBar(true);
        } else if (trayType != 0) {
            trayType_ = trayType;
            if (trayType >= 2 && showNotificationsItem_) showNotificationsItem_->setState(true);
            changed();
        } else {
            trayType_ = 0;
            removeStatusBar();
        }
    }
    environment_.userDefaults->setString(kTrayTypeKey, std::to_string(trayType));
}

void KIVStatusBarController::removeStatusBar() {
    if (statusBarItem_) environment_.statusBar->removeStatusItem(statusBarItem_);
    statusBarItem_.reset();
}

void KIVStatusBarController::quit() {
    if (environment_.quitApplication) environment_.quitApplication();
}

void KIVStatusBarController::saveDisconnectOnVPN(bool value) {
    disconnectOnVPN_ = value;
    environment_.userDefaults->setBool(kDisconnectOnVPNKey, value);
}

bool KIVStatusBarController::getDisconnectOnVPN() const {
    return environment_.userDefaults->boolForKey(kDisconnectOnVPNKey);
}

void KIVStatusBarController::toggleDisconnectOnVPN() { saveDisconnectOnVPN(!getDisconnectOnVPN()); }

}  // namespace kiv
