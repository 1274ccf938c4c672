#pragma once
// The application's status item and its menu: the external address, a status line, a "Logs"
// submenu, the debug-logging switch, the notification preferences and "About". The change
// observer keeps the entries current (status, external address, device key, user, debug title);
// the menu itself is built on the first click on the item.
//
// Menu (nine entries, in this order): "External IP: <address or Empty>", "Status: <status>",
// "Logs" (submenu "Open App Support"), separator, "Logging Debug Info", "Notifications
// Preferences...", separator, "About", separator. The device-key and user entries are kept but
// not shown.
//
// Threads: main queue; completions of the notification centre arrive there too. Own it through a
// std::shared_ptr (make()): menu actions hold it weakly.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/shell/StatusMenuModel.hpp"
#include "platform/NotificationCenter.hpp"
#include "platform/SystemLog.hpp"
#include "platform/UserDefaults.hpp"
#include "platform/dbus/UserNotificationCenter.hpp"

namespace kiv {

// The status item's style, 0..3: 0 shows no item; 2 or more checks the notifications entry after a
// change of style.
using TrayType = std::uint32_t;

inline constexpr const char* kCorvelIcon = "corvel_icon";
inline constexpr const char* kCorvelAlertIcon = "corvel_icon_alert";
inline constexpr const char* kDisconnectOnVPNKey = "disconnectOnVPN";
inline constexpr const char* kTrayTypeKey = "TRAY_TYPE";

class KIVStatusBarController : public std::enable_shared_from_this<KIVStatusBarController> {
public:
    // What the controller takes from the process; tests replace parts of it.
    struct Environment {
        StatusBarPtr statusBar;
        platform::UserDefaultsPtr userDefaults;
        platform::dbus::UserNotificationCenterPtr notificationCenter;
        // Opens a folder or URL on the desktop; false when it could not.
        std::function<bool(const std::string&)> open;
        // The application's folder ("BrannockCloud" in Application Support); nothing when unknown.
        std::function<std::optional<std::filesystem::path>()> applicationFolder;
        // Removes the DNS-proxy configuration and quits (the application's endExtensionAndQuit).
        std::function<void()> quitApplication;
        // The product's version text for "About" ("2.0.3 (1)"); may be empty.
        std::string version;
    };
    // The desktop's status bar, the standard user defaults, the session bus's notification
    // centre, xdg-open, the application folder, and the quit handler set with setQuitHandler.
    static Environment defaultEnvironment();
    // The application's endExtensionAndQuit, for the quit action. Start-up sets it once.
    static void setQuitHandler(std::function<void()> quit);

    static std::shared_ptr<KIVStatusBarController> make(TrayType trayType = 1, bool showTestMenu = false,
                                                        Environment environment = defaultEnvironment());

    KIVStatusBarController(TrayType trayType, bool showTestMenu, Environment environment);
    KIVStatusBarController(const KIVStatusBarController&) = delete;
    KIVStatusBarController& operator=(const KIVStatusBarController&) = delete;

    // The status text for a status code and the flags; nothing for codes above 12 (the text stays).
    static std::optional<std::string> statusText(int code, bool hasIpAddress, bool vpnRunning);

    void addStatusBar(bool updateStatus);
    void updateStatusMessage(int code, bool hasIpAddress, bool userAcceptedExtension, bool vpnRunning);
    void updateStatusMenuItem(bool unused = true);
    void updateStatusBar(bool unused = true);
    void displayStatusMenu();
    void menuWillOpen();
    void updateExternalIp(const std::string& address);
    void updateExternalIpMenuItem();
    // The address a notification carries as its object (a text) goes to updateExternalIp on the
    // main queue, if the controller still lives then; any other object changes nothing. Any
    // thread. No notification is routed here by the application itself.
    void externalIpUpdated(const platform::Notification& notification);
    void updateDeviceKey(const std::string& deviceKey);
    void updateUserName(const std::string& userName);
    void updateDebugMenu(const std::string& title, bool enabled);
    void updateLogDebug();
    void setLogDebug();
    void authorizeNotification();
    void toggleNotifications();
    bool updateNotificationStatusMenu();
    MenuItemPtr addShowTestMenu();
    void openAppSupport();
    void showAboutWindow();
    void showPrivacyPanel();
    void showLocalRulesWindow();
    void modifyTrayType(TrayType trayType);
    void removeStatusBar();
    void quit();
    void saveDisconnectOnVPN(bool value);
    bool getDisconnectOnVPN() const;
    void toggleDisconnectOnVPN();

    const StatusItemPtr& statusBarItem() const { return statusBarItem_; }
    const std::string& externalIP() const { return externalIP_; }
    const std::string& status() const { return status_; }
    TrayType trayType() const { return trayType_; }
    bool showTestMenu() const { return showTestMenu_; }
    bool disconnectOnVPN() const { return disconnectOnVPN_; }
    bool userAcceptedExtension() const { return userAcceptedExtension_; }
    bool logDebugEnabled() const { return logDebugEnabled_; }
    const MenuItemPtr& externalIpItem() const { return externalIpItem_; }
    const MenuItemPtr& statusItem() const { return statusItem_; }
    const MenuItemPtr& deviceKeyItem() const { return deviceKeyItem_; }
    const MenuItemPtr& userNameItem() const { return userNameItem_; }
    const MenuItemPtr& logDebugItem() const { return logDebugItem_; }
    const MenuItemPtr& showNotificationsItem() const { return showNotificationsItem_; }

private:
    // A menu action that reaches this controller while it lives.
    MenuItem::Action action(void (KIVStatusBarController::*method)());
    void changed();
    void noCounterpart(const std::string& what, const std::string& url);

    Environment environment_;
    StatusItemPtr statusBarItem_;
    std::string externalIP_;
    std::string status_;
    TrayType trayType_;
    bool showTestMenu_;
    bool disconnectOnVPN_;
    MenuItemPtr externalIpItem_, statusItem_, deviceKeyItem_, showLocalRules_, userNameItem_, logDebugItem_,
        showNotificationsItem_;
    // The application's windows when the controller was made: it opens none.
    std::vector<std::string> windows_;
    bool userAcceptedExtension_ = false;
    platform::SystemLog logObject_{"com.veltrix.kiv.BrannockCloud", "KIVStatusBarController"};
    bool logDebugEnabled_ = false;
};

using KIVStatusBarControllerPtr = std::shared_ptr<KIVStatusBarController>;

}  // namespace kiv
