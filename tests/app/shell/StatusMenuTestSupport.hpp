#pragma once
// Shared by the status-menu, notification and local-rules tests: a logger that records, and a
// controller environment kept in a temporary folder with a recording opener.
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/shell/DBusStatusBar.hpp"
#include "app/shell/KIVStatusBarController.hpp"
#include "fakes/RecordingLogger.hpp"
#include "fakes/TestFolders.hpp"
#include "platform/UserDefaults.hpp"

namespace kiv::testing {

inline Injected<KIVLogger> injected(const std::shared_ptr<RecordingLogger>& logger) {
    return Injected<KIVLogger>([logger]() -> std::shared_ptr<KIVLogger> { return logger; });
}

// What a controller under test touches: user defaults and an application folder in a temporary
// folder, a status bar on `connection` (none: the model alone), notifications on the same
// connection, and an opener that records.
struct ControllerWorld {
    fakes::TemporaryFolder folder{"kiv-menu"};  // first: the members below live in it

    explicit ControllerWorld(platform::dbus::BusConnectionPtr connection = nullptr)
        : statusBar(std::make_shared<DBusStatusBar>(connection, "")),
          userDefaults(
              platform::UserDefaults::atPath("com.kiv.veltrix", (folder.path() / "defaults.json").string())),
          center(std::make_shared<platform::dbus::UserNotificationCenter>(connection, "BrannockCloud",
                                                                          "corvel_icon")) {}

    KIVStatusBarController::Environment environment() {
        KIVStatusBarController::Environment environment;
        environment.statusBar = statusBar;
        environment.userDefaults = userDefaults;
        environment.notificationCenter = center;
        environment.open = [this](const std::string& target) {
            opened.push_back(target);
            return true;
        };
        environment.applicationFolder = [this] { return std::optional(folder.path() / "BrannockCloud"); };
        environment.quitApplication = [this] { ++quits; };
        environment.version = "2.0.3 (1)";
        return environment;
    }

    std::shared_ptr<DBusStatusBar> statusBar;
    platform::UserDefaultsPtr userDefaults;
    platform::dbus::UserNotificationCenterPtr center;
    std::vector<std::string> opened;
    int quits = 0;
};

// The titles of a menu's entries, "-" for a separator, " [x]"/" [ ]" for a check mark and " >"
// for a submenu.
inline std::vector<std::string> titles(const Menu& menu) {
    std::vector<std::string> out;
    for (const auto& item : menu.items()) {
        std::string text = item->isSeparator() ? "-" : item->title();
        if (auto state = item->state()) text += *state ? " [x]" : " [ ]";
        if (item->submenu()) text += " >";
        out.push_back(text);
    }
    return out;
}

}  // namespace kiv::testing
