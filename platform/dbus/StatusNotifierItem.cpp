#include "platform/dbus/StatusNotifierItem.hpp"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string_view>

#include "platform/SystemLog.hpp"

namespace platform::dbus {
namespace {

constexpr const char* kInterface = "org.kde.StatusNotifierItem";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";

const SystemLog& itemLog() {
    static const SystemLog log("com.veltrix.kiv", "dbus");
    return log;
}

std::string nextBusName() {
    static std::atomic<unsigned> counter{0};
    return "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

// An empty a(iiay): the item names its icons, it sends no pixels.
int appendNoPixmaps(sd_bus_message* reply) {
    int r = sd_bus_message_open_container(reply, 'a', "(iiay)");
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

MessagePtr newCall(sd_bus* bus, const char* destination, const char* path, const char* interface,
                   const char* member) {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus, &raw, destination, path, interface, member) < 0) return nullptr;
    return MessagePtr(raw);
}

}  // namespace

StatusNotifierItem::StatusNotifierItem(BusConnectionPtr connection, Appearance appearance, Handlers handlers)
    : connection_(std::move(connection)),
      appearance_(std::move(appearance)),
      handlers_(std::move(handlers)),
      busName_(nextBusName()),
      menu_(connection_, kMenuPath, handlers_.menu) {
    if (!connection_ || !connection_->isConnected()) return;
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Category", "s", &StatusNotifierItem::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Id", "s", &StatusNotifierItem::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Title", "s", &StatusNotifierItem::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Status", "s", &StatusNotifierItem::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("WindowId", "i", &StatusNotifierItem::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("IconThemePath", "s", &StatusNotifierItem::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("IconName", "s", &StatusNotifierItem::property, 0, 0),
        SD_BUS_PROPERTY("IconPixmap", "a(iiay)", &StatusNotifierItem::property, 0,
                        SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("OverlayIconName", "s", &StatusNotifierItem::property, 0,
                        SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("OverlayIconPixmap", "a(iiay)", &StatusNotifierItem::property, 0,
                        SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("AttentionIconName", "s", &StatusNotifierItem::property, 0,
                        SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("AttentionIconPixmap", "a(iiay)", &StatusNotifierItem::property, 0,
                        SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("AttentionMovieName", "s", &StatusNotifierItem::property, 0,
                        SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", &StatusNotifierItem::property, 0,
                        SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("ItemIsMenu", "b", &StatusNotifierItem::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Menu", "o", &StatusNotifierItem::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_METHOD("ContextMenu", "ii", "", &StatusNotifierItem::methodIgnored,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Activate", "ii", "", &StatusNotifierItem::methodActivate, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("SecondaryActivate", "ii", "", &StatusNotifierItem::methodIgnored,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Scroll", "is", "", &StatusNotifierItem::methodIgnored, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL("NewTitle", "", 0),
        SD_BUS_SIGNAL("NewIcon", "", 0),
        SD_BUS_SIGNAL("NewAttentionIcon", "", 0),
        SD_BUS_SIGNAL("NewOverlayIcon", "", 0),
        SD_BUS_SIGNAL("NewToolTip", "", 0),
        SD_BUS_SIGNAL("NewStatus", "s", 0),
        SD_BUS_VTABLE_END,
    };
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_add_object_vtable(connection_->bus(), &slot, kObjectPath, kInterface, vtable, this);
    if (r < 0) {
        itemLog().error(std::string("cannot export the status item: ") + std::strerror(-r));
        return;
    }
    vtableSlot_.reset(slot);

    // A host started after us: its watcher takes the name, and we register then.
    const std::string rule = std::string(
                                 "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                 "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
                             kWatcherName + "'";
    slot = nullptr;
    r = sd_bus_add_match_async(connection_->bus(), &slot, rule.c_str(),
                               &StatusNotifierItem::watcherOwnerChanged, nullptr, this);
    if (r >= 0) watcherMatch_.reset(slot);
    requestName();
}

StatusNotifierItem::~StatusNotifierItem() {
    *alive_ = false;
    if (!vtableSlot_ || !connection_->isConnected()) return;
    if (auto call = newCall(connection_->bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "ReleaseName")) {
        if (sd_bus_message_append(call.get(), "s", busName_.c_str()) >= 0)
            connection_->callAsync(call.get(), nullptr);
    }
}

void StatusNotifierItem::requestName() {
    auto call = newCall(connection_->bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus", "RequestName");
    if (!call || sd_bus_message_append(call.get(), "su", busName_.c_str(), 0u) < 0) return;
    connection_->callAsync(call.get(), [this, alive = std::weak_ptr<bool>(alive_)](sd_bus_message* reply) {
        auto flag = alive.lock();
        if (!flag || !*flag) return;
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            itemLog().error(std::string("the status item cannot take its bus name: ") +
                            sd_bus_message_get_error(reply)->message);
            return;
        }
        registerWithWatcher();
    });
}

void StatusNotifierItem::registerWithWatcher() {
    auto call =
        newCall(connection_->bus(), kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem");
    if (!call || sd_bus_message_append(call.get(), "s", busName_.c_str()) < 0) return;
    connection_->callAsync(call.get(), [this, alive = std::weak_ptr<bool>(alive_)](sd_bus_message* reply) {
        auto flag = alive.lock();
        if (!flag || !*flag) return;
        registered_ = !sd_bus_message_is_method_error(reply, nullptr);
        if (!registered_ && !toldNoWatcher_) {
            toldNoWatcher_ = true;
            const sd_bus_error* error = sd_bus_message_get_error(reply);
            itemLog().notice(std::string("no status-area host on the session bus (") +
                             (error && error->message ? error->message : "no reply") +
                             "); the status item is shown when one starts");
        }
    });
}

int StatusNotifierItem::watcherOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<StatusNotifierItem*>(userdata);
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
    if (std::string_view(name) != kWatcherName) return 0;
    self->registered_ = false;
    if (newOwner && *newOwner) self->registerWithWatcher();
    return 0;
}

void StatusNotifierItem::setIconName(const std::string& iconName) {
    if (iconName == appearance_.iconName) return;
    appearance_.iconName = iconName;
    if (!vtableSlot_ || !connection_->isConnected()) return;
    if (sd_bus_emit_signal(connection_->bus(), kObjectPath, kInterface, "NewIcon", "") >= 0)
        connection_->wake();
}

int StatusNotifierItem::property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply,
                                 void* userdata, sd_bus_error*) {
    const auto* self = static_cast<const StatusNotifierItem*>(userdata);
    const std::string_view key = name;
    const auto& a = self->appearance_;
    if (key == "Category") return sd_bus_message_append(reply, "s", "ApplicationStatus");
    if (key == "Id") return sd_bus_message_append(reply, "s", a.id.c_str());
    if (key == "Title") return sd_bus_message_append(reply, "s", a.title.c_str());
    if (key == "Status") return sd_bus_message_append(reply, "s", "Active");
    if (key == "WindowId") return sd_bus_message_append(reply, "i", 0);
    if (key == "IconThemePath") return sd_bus_message_append(reply, "s", a.iconThemePath.c_str());
    if (key == "IconName") return sd_bus_message_append(reply, "s", a.iconName.c_str());
    if (key == "ItemIsMenu") return sd_bus_message_append(reply, "b", 1);
    if (key == "Menu") return sd_bus_message_append(reply, "o", kMenuPath);
    if (key == "ToolTip") {
        int r = sd_bus_message_open_container(reply, 'r', "sa(iiay)ss");
        if (r < 0 || (r = sd_bus_message_append(reply, "s", "")) < 0 || (r = appendNoPixmaps(reply)) < 0 ||
            (r = sd_bus_message_append(reply, "ss", a.title.c_str(), "")) < 0) {
            return r;
        }
        return sd_bus_message_close_container(reply);
    }
    if (key.ends_with("Pixmap")) return appendNoPixmaps(reply);
    return sd_bus_message_append(reply, "s", "");  // overlay and attention names, movie
}

int StatusNotifierItem::methodActivate(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<StatusNotifierItem*>(userdata);
    // After the reply, as a menu click: the action may drop the item.
    self->connection_->queue()->async([self, alive = std::weak_ptr<bool>(self->alive_)] {
        auto flag = alive.lock();
        if (flag && *flag && self->handlers_.activate) self->handlers_.activate();
    });
    return sd_bus_reply_method_return(m, "");
}

int StatusNotifierItem::methodIgnored(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "");
}

}  // namespace platform::dbus
