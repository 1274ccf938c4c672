#pragma once
// A menu exported on a bus as com.canonical.dbusmenu (version 3), the menu protocol that tray hosts
// (KDE Plasma, GNOME's AppIndicator extension, XFCE, ...) read for a StatusNotifierItem's "Menu".
//
// The exporter shows a snapshot (MenuNode tree) handed to it by its owner; it never looks into the
// owner's model. Item ids are the positions in a depth-first walk of the snapshot (the root is 0),
// so a host that read a layout clicks the entry it saw. A new snapshot that differs from the last
// one raises the layout revision and emits LayoutUpdated; an equal one changes nothing.
//
// Threads: the connection's queue. Clicks reach the owner on that queue after the Event call was
// answered, so an action may replace or drop the exporter. Destroying it withdraws the object.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/dbus/BusConnection.hpp"

namespace platform::dbus {

struct MenuNode {
    enum class Type { standard, separator };
    enum class Toggle { none, checkmark };

    Type type = Type::standard;
    std::string label;
    bool enabled = true;
    Toggle toggle = Toggle::none;
    bool checked = false;
    std::vector<MenuNode> children;  // not empty: the entry opens a submenu

    bool operator==(const MenuNode&) const = default;
};

class DBusMenuExporter {
public:
    // Positions from the root to the clicked entry ({2, 0}: the first entry of the third entry's
    // submenu).
    using Path = std::vector<std::size_t>;
    struct Handlers {
        std::function<void(const Path&)> clicked;
        // The host is about to show the top menu; the owner may hand over a new snapshot first.
        std::function<void()> aboutToShowRoot;
    };

    // Exports an empty menu at `objectPath`. Without a connection it only keeps the snapshot.
    DBusMenuExporter(BusConnectionPtr connection, std::string objectPath, Handlers handlers);
    ~DBusMenuExporter();
    DBusMenuExporter(const DBusMenuExporter&) = delete;
    DBusMenuExporter& operator=(const DBusMenuExporter&) = delete;

    void setLayout(MenuNode root);
    const MenuNode& layout() const { return root_; }
    std::uint32_t revision() const { return revision_; }
    const std::string& objectPath() const { return objectPath_; }
    bool isExported() const { return slot_ != nullptr; }

    // The entry with `id` in the current snapshot and its path; null when there is none.
    const MenuNode* node(std::int32_t id, Path* path = nullptr) const;

private:
    static int methodGetLayout(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodGetGroupProperties(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodGetProperty(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodEvent(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodEventGroup(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodAboutToShow(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int methodAboutToShowGroup(sd_bus_message* m, void* userdata, sd_bus_error* error);

    bool handleEvent(std::int32_t id, const std::string& eventId);
    bool aboutToShow(std::int32_t id);
    void rebuildIndex();

    BusConnectionPtr connection_;
    std::string objectPath_;
    Handlers handlers_;
    MenuNode root_;
    std::uint32_t revision_ = 1;
    // By id: the entry's path from the root (the root's is empty).
    std::vector<Path> paths_;
    SlotPtr slot_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace platform::dbus
