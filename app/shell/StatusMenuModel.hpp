#pragma once
// The status-area item and its menu as the application sees them: entries with a title, an
// enabled flag, an optional check mark, an action and an optional submenu; menus of entries; the
// status item with its image name, its menu and the action of a click on it; and the status bar
// that holds the items. What a desktop shows is the StatusBar implementation's business
// (DBusStatusBar: a StatusNotifierItem with a dbusmenu); this model knows nothing of a bus.
//
// Entries are shared: the menu that shows an entry and the controller that keeps its title
// current hold the same object, so a new title shows in every menu that has it.
//
// Threads: main queue.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kiv {

class Menu;

class MenuItem {
public:
    using Action = std::function<void()>;

    explicit MenuItem(std::string title, Action action = {})
        : title_(std::move(title)), action_(std::move(action)) {}
    static std::shared_ptr<MenuItem> separator();

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    // Absent until a check mark state was set: the entry is no check box.
    std::optional<bool> state() const { return state_; }
    void setState(bool on) { state_ = on; }
    bool hasAction() const { return static_cast<bool>(action_); }
    bool isSeparator() const { return separator_; }
    const std::shared_ptr<Menu>& submenu() const { return submenu_; }
    void setSubmenu(std::shared_ptr<Menu> submenu) { submenu_ = std::move(submenu); }

    // What choosing the entry does: its action, when it is enabled and has one.
    void activate() const;

private:
    std::string title_;
    Action action_;
    bool enabled_ = true;
    std::optional<bool> state_;
    bool separator_ = false;
    std::shared_ptr<Menu> submenu_;
};

using MenuItemPtr = std::shared_ptr<MenuItem>;

class Menu {
public:
    explicit Menu(std::string title = {}) : title_(std::move(title)) {}

    const std::string& title() const { return title_; }
    void addItem(MenuItemPtr item) { items_.push_back(std::move(item)); }
    const std::vector<MenuItemPtr>& items() const { return items_; }
    std::size_t numberOfItems() const { return items_.size(); }

    // The delegate's menu-will-open call, run each time a host is about to show the menu.
    void setWillOpen(std::function<void()> willOpen) { willOpen_ = std::move(willOpen); }
    void willOpen() const;

private:
    std::string title_;
    std::vector<MenuItemPtr> items_;
    std::function<void()> willOpen_;
};

using MenuPtr = std::shared_ptr<Menu>;

class StatusItem {
public:
    static constexpr double kSquareLength = -2;

    explicit StatusItem(double length) : length_(length) {}
    double length() const { return length_; }

    const std::string& imageName() const { return imageName_; }
    void setImageName(std::string name);
    const MenuPtr& menu() const { return menu_; }
    void setMenu(MenuPtr menu);
    // The button's action on a left mouse-down, used while the item has no menu.
    void setButtonAction(std::function<void()> action) { buttonAction_ = std::move(action); }

    // A click on the item as the desktop reports it: without a menu the button's action runs;
    // then, when there is a menu (now), it is about to open.
    void click();

    // The item's entries changed: the status bar shows them again. The controller calls it after
    // touching entries; the setters above call it themselves.
    void changed();
    // Set by the status bar that made the item.
    void setChangeHandler(std::function<void()> handler) { changeHandler_ = std::move(handler); }

private:
    double length_;
    std::string imageName_;
    MenuPtr menu_;
    std::function<void()> buttonAction_;
    std::function<void()> changeHandler_;
};

using StatusItemPtr = std::shared_ptr<StatusItem>;

// The place status items live in. Main queue.
class StatusBar {
public:
    virtual ~StatusBar() = default;
    // A new item, shown until removeStatusItem.
    virtual StatusItemPtr statusItem(double length) = 0;
    virtual void removeStatusItem(const StatusItemPtr& item) = 0;

    // The desktop's status bar: a DBusStatusBar on the session bus, made on first use; without a
    // session bus its items live in the model only.
    static std::shared_ptr<StatusBar> system();
};

using StatusBarPtr = std::shared_ptr<StatusBar>;

}  // namespace kiv
