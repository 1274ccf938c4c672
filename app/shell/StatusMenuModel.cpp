#include "app/shell/StatusMenuModel.hpp"

namespace kiv {

std::shared_ptr<MenuItem> MenuItem::separator() {
    auto item = std::make_shared<MenuItem>(std::string());
    item->separator_ = true;
    item->enabled_ = false;
    return item;
}

void MenuItem::activate() const {
    if (enabled_ && action_) action_();
}

void Menu::willOpen() const {
    if (willOpen_) willOpen_();
}

void StatusItem::setImageName(std::string name) {
    imageName_ = std::move(name);
    changed();
}

void StatusItem::setMenu(MenuPtr menu) {
    menu_ = std::move(menu);
    changed();
}

void StatusItem::click() {
    if (!menu_ && buttonAction_) {
        // The action may replace the button action: run a copy.
        auto action = buttonAction_;
        action();
    }
    if (auto menu = menu_) menu->willOpen();
    changed();
}

void StatusItem::changed() {
    if (changeHandler_) changeHandler_();
}

}  // namespace kiv
