#include "app/shell/DBusStatusBar.hpp"

#include <filesystem>
#include <system_error>

#include "platform/Bundle.hpp"
#include "platform/NoDestructor.hpp"

namespace kiv {

using platform::dbus::DBusMenuExporter;
using platform::dbus::MenuNode;
using platform::dbus::StatusNotifierItem;

DBusStatusBar::DBusStatusBar(platform::dbus::BusConnectionPtr connection, std::string iconThemePath)
    : connection_(std::move(connection)), iconThemePath_(std::move(iconThemePath)) {}

StatusItemPtr DBusStatusBar::statusItem(double length) {
    auto item = std::make_shared<StatusItem>(length);
    std::weak_ptr<StatusItem> weakItem = item;
    std::weak_ptr<DBusStatusBar> weakBar = weak_from_this();
    StatusNotifierItem::Handlers handlers;
    handlers.activate = [weakItem] {
        if (auto i = weakItem.lock()) i->click();
    };
    handlers.menu.aboutToShowRoot = [weakItem] {
        if (auto i = weakItem.lock()) i->click();
    };
    handlers.menu.clicked = [weakItem](const DBusMenuExporter::Path& path) {
        auto i = weakItem.lock();
        if (!i) return;
        if (auto chosen = entry(i->menu(), path)) chosen->activate();
    };
    items_[item.get()] = std::make_unique<StatusNotifierItem>(
        connection_, StatusNotifierItem::Appearance{kItemId, kItemTitle, item->imageName(), iconThemePath_},
        std::move(handlers));
    item->setChangeHandler([weakBar, raw = item.get()] {
        if (auto bar = weakBar.lock()) bar->publish(raw);
    });
    return item;
}

void DBusStatusBar::removeStatusItem(const StatusItemPtr& item) {
    if (!item) return;
    item->setChangeHandler(nullptr);
    items_.erase(item.get());
}

StatusNotifierItem* DBusStatusBar::exported(const StatusItemPtr& item) {
    auto it = items_.find(item.get());
    return it == items_.end() ? nullptr : it->second.get();
}

void DBusStatusBar::publish(StatusItem* item) {
    auto it = items_.find(item);
    if (it == items_.end()) return;
    it->second->setIconName(item->imageName());
    it->second->menu().setLayout(snapshot(item->menu().get()));
}

MenuNode DBusStatusBar::snapshot(const Menu* menu) {
    MenuNode root;
    if (!menu) return root;
    for (const auto& item : menu->items()) {
        MenuNode node;
        if (item->isSeparator()) {
            node.type = MenuNode::Type::separator;
            node.enabled = false;
        } else {
            node.label = item->title();
            node.enabled = item->isEnabled();
            if (auto state = item->state()) {
                node.toggle = MenuNode::Toggle::checkmark;
                node.checked = *state;
            }
            if (item->submenu()) node.children = snapshot(item->submenu().get()).children;
        }
        root.children.push_back(std::move(node));
    }
    return root;
}

MenuItemPtr DBusStatusBar::entry(const MenuPtr& menu, const DBusMenuExporter::Path& path) {
    const Menu* current = menu.get();
    MenuItemPtr found;
    for (std::size_t index : path) {
        if (!current || index >= current->items().size()) return nullptr;
        found = current->items()[index];
        current = found->submenu().get();
    }
    return found;
}

std::string DBusStatusBar::defaultIconThemePath() {
    std::error_code error;
    const auto icons = platform::Bundle::main().bundlePath().parent_path() / "share" / "icons";
    if (!std::filesystem::is_directory(icons, error)) return {};
    return std::filesystem::weakly_canonical(icons, error).string();
}

std::shared_ptr<StatusBar> StatusBar::system() {
    static platform::NoDestructor<std::shared_ptr<StatusBar>> bar(
        std::make_shared<DBusStatusBar>(platform::dbus::sessionBus(), DBusStatusBar::defaultIconThemePath()));
    return *bar;
}

}  // namespace kiv
