#pragma once
// The status bar of a Linux desktop: every status item becomes a StatusNotifierItem on a bus, its
// menu a dbusmenu (platform/dbus). A host's click (AboutToShow of the top menu, or Activate) is a
// click on the item: the item's button action while it has no menu, then the menu's will-open.
// After every change of the model the menu snapshot is exported again; hosts re-read it when it
// differs.
//
// Without a connection the items live in the model only, so the application behaves the same
// with or without a desktop.
//
// Threads: main queue (the connection's queue).
#include <map>
#include <memory>
#include <string>

#include "app/shell/StatusMenuModel.hpp"
#include "platform/dbus/BusConnection.hpp"
#include "platform/dbus/DBusMenuExporter.hpp"
#include "platform/dbus/StatusNotifierItem.hpp"

namespace kiv {

class DBusStatusBar final : public StatusBar, public std::enable_shared_from_this<DBusStatusBar> {
public:
    static constexpr const char* kItemId = "brannockcloud";
    static constexpr const char* kItemTitle = "Brannock Cloud KIV";

    // `iconThemePath`: a folder the hosts also look the icon names up in; may be empty.
    DBusStatusBar(platform::dbus::BusConnectionPtr connection, std::string iconThemePath);

    StatusItemPtr statusItem(double length) override;
    void removeStatusItem(const StatusItemPtr& item) override;

    // The bus side of `item`; null for an item this bar did not make or has removed.
    platform::dbus::StatusNotifierItem* exported(const StatusItemPtr& item);
    std::size_t itemCount() const { return items_.size(); }

    // The snapshot a host reads for `menu`.
    static platform::dbus::MenuNode snapshot(const Menu* menu);
    // The entry at `path` (positions from the top) in `menu`; null when there is none.
    static MenuItemPtr entry(const MenuPtr& menu, const platform::dbus::DBusMenuExporter::Path& path);

    // The folder of the installed icons (<prefix>/share/icons next to the program's
    // <prefix>/bin), or empty when there is none.
    static std::string defaultIconThemePath();

private:
    void publish(StatusItem* item);

    platform::dbus::BusConnectionPtr connection_;
    std::string iconThemePath_;
    std::map<StatusItem*, std::unique_ptr<platform::dbus::StatusNotifierItem>> items_;
};

}  // namespace kiv
