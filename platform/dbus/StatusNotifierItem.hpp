#pragma once
// A status-area item on the session bus: org.kde.StatusNotifierItem at "/StatusNotifierItem" under a
// name of its own ("org.kde.StatusNotifierItem-<pid>-<n>"), registered with
// org.kde.StatusNotifierWatcher, which tray hosts (KDE Plasma, GNOME's AppIndicator extension, XFCE,
// ...) follow. Its menu is a DBusMenuExporter at "/MenuBar".
//
// Without a watcher the item says so once in the log and keeps its state; when a watcher appears
// later (a host started after us) the item registers with it then.
//
// Threads: the connection's queue. Destroying the item gives up its name, which takes it off every
// host.
#include <functional>
#include <string>

#include "platform/dbus/BusConnection.hpp"
#include "platform/dbus/DBusMenuExporter.hpp"

namespace platform::dbus {

class StatusNotifierItem {
public:
    static constexpr const char* kObjectPath = "/StatusNotifierItem";
    static constexpr const char* kMenuPath = "/MenuBar";
    static constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";

    struct Appearance {
        std::string id;             // "Id": stable across runs
        std::string title;          // "Title" and the tool tip
        std::string iconName;       // "IconName": an icon theme name
        std::string iconThemePath;  // "IconThemePath": an extra folder to look icons up in; may be empty
    };
    struct Handlers {
        // A primary click (hosts that do not open the menu themselves); x and y on screen.
        std::function<void()> activate;
        DBusMenuExporter::Handlers menu;
    };

    StatusNotifierItem(BusConnectionPtr connection, Appearance appearance, Handlers handlers);
    ~StatusNotifierItem();
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    // Emits NewIcon when the name changes.
    void setIconName(const std::string& iconName);
    const std::string& iconName() const { return appearance_.iconName; }

    DBusMenuExporter& menu() { return menu_; }
    const std::string& busName() const { return busName_; }
    // The watcher accepted the item.
    bool isRegistered() const { return registered_; }

private:
    static int property(sd_bus* bus, const char* path, const char* interface, const char* name,
                        sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int methodActivate(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodIgnored(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int watcherOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);

    void requestName();
    void registerWithWatcher();

    BusConnectionPtr connection_;
    Appearance appearance_;
    Handlers handlers_;
    std::string busName_;
    DBusMenuExporter menu_;
    SlotPtr vtableSlot_;
    SlotPtr watcherMatch_;
    bool registered_ = false;
    bool toldNoWatcher_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace platform::dbus
