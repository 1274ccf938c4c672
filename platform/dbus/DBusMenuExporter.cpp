#include "platform/dbus/DBusMenuExporter.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/SystemLog.hpp"

namespace platform::dbus {
namespace {

constexpr const char* kInterface = "com.canonical.dbusmenu";
constexpr std::uint32_t kProtocolVersion = 3;

// One variant value: a text ('s'), a flag ('b') or a number ('i').
struct PropertyValue {
    char kind;
    std::string text;
    std::int32_t number = 0;
};
PropertyValue textValue(std::string text) { return {'s', std::move(text), 0}; }
PropertyValue flagValue(bool flag) { return {'b', {}, flag ? 1 : 0}; }
PropertyValue numberValue(std::int32_t number) { return {'i', {}, number}; }

struct Property {
    const char* name;
    PropertyValue value;
};

// The entry's properties, defaults included: hosts differ in which defaults they assume.
std::vector<Property> propertiesOf(const MenuNode& node, bool isRoot) {
    std::vector<Property> properties;
    if (isRoot) {
        properties.push_back({"children-display", textValue("submenu")});
        return properties;
    }
    if (node.type == MenuNode::Type::separator) {
        properties.push_back({"type", textValue("separator")});
        return properties;
    }
    properties.push_back({"type", textValue("standard")});
    properties.push_back({"label", textValue(node.label)});
    properties.push_back({"enabled", flagValue(node.enabled)});
    properties.push_back({"visible", flagValue(true)});
    if (node.toggle == MenuNode::Toggle::checkmark) {
        properties.push_back({"toggle-type", textValue("checkmark")});
        properties.push_back({"toggle-state", numberValue(node.checked ? 1 : 0)});
    }
    if (!node.children.empty()) properties.push_back({"children-display", textValue("submenu")});
    return properties;
}

bool wanted(const std::vector<std::string>& names, std::string_view name) {
    return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
}

int appendValue(sd_bus_message* m, const PropertyValue& value) {
    const char signature[2] = {value.kind, '\0'};
    int r = sd_bus_message_open_container(m, 'v', signature);
    if (r < 0) return r;
    r = value.kind == 's' ? sd_bus_message_append(m, "s", value.text.c_str())
                          : sd_bus_message_append(m, signature, int(value.number));
    return r < 0 ? r : sd_bus_message_close_container(m);
}

// a{sv} of one entry.
int appendProperties(sd_bus_message* m, const MenuNode& node, bool isRoot,
                     const std::vector<std::string>& names) {
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r < 0) return r;
    for (const auto& property : propertiesOf(node, isRoot)) {
        if (!wanted(names, property.name)) continue;
        if ((r = sd_bus_message_open_container(m, 'e', "sv")) < 0) return r;
        if ((r = sd_bus_message_append(m, "s", property.name)) < 0) return r;
        if ((r = appendValue(m, property.value)) < 0) return r;
        if ((r = sd_bus_message_close_container(m)) < 0) return r;
    }
    return sd_bus_message_close_container(m);
}

// (ia{sv}av) of `node` with `depth` levels of children (-1: all). `id` is the node's id and
// advances over the whole subtree, shown or not, so that ids stay those of the full walk.
int appendLayout(sd_bus_message* m, const MenuNode& node, std::int32_t& id, int depth, bool isRoot,
                 const std::vector<std::string>& names) {
    int r = sd_bus_message_open_container(m, 'r', "ia{sv}av");
    if (r < 0) return r;
    if ((r = sd_bus_message_append(m, "i", id)) < 0) return r;
    if ((r = appendProperties(m, node, isRoot, names)) < 0) return r;
    if ((r = sd_bus_message_open_container(m, 'a', "v")) < 0) return r;
    ++id;
    for (const auto& child : node.children) {
        if (depth == 0) {
            // Not shown: skip the child's ids all the same.
            std::vector<const MenuNode*> stack{&child};
            while (!stack.empty()) {
                const MenuNode* n = stack.back();
                stack.pop_back();
                ++id;
                for (const auto& c : n->children) stack.push_back(&c);
            }
            continue;
        }
        if ((r = sd_bus_message_open_container(m, 'v', "(ia{sv}av)")) < 0) return r;
        if ((r = appendLayout(m, child, id, depth < 0 ? -1 : depth - 1, false, names)) < 0) return r;
        if ((r = sd_bus_message_close_container(m)) < 0) return r;
    }
    if ((r = sd_bus_message_close_container(m)) < 0) return r;
    return sd_bus_message_close_container(m);
}

int readStrings(sd_bus_message* m, std::vector<std::string>& out) {
    char** strv = nullptr;
    const int r = sd_bus_message_read_strv(m, &strv);
    if (r < 0) return r;
    for (char** s = strv; s && *s; ++s) {
        out.emplace_back(*s);
        std::free(*s);
    }
    std::free(strv);
    return r;
}

int readIds(sd_bus_message* m, std::vector<std::int32_t>& out) {
    const void* data = nullptr;
    size_t size = 0;
    const int r = sd_bus_message_read_array(m, 'i', &data, &size);
    if (r < 0) return r;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t offset = 0; offset + sizeof(std::int32_t) <= size; offset += sizeof(std::int32_t)) {
        std::int32_t id = 0;
        std::memcpy(&id, bytes + offset, sizeof id);
        out.push_back(id);
    }
    return r;
}

int propertyVersion(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                    sd_bus_error*) {
    return sd_bus_message_append(reply, "u", kProtocolVersion);
}
int propertyTextDirection(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                          sd_bus_error*) {
    return sd_bus_message_append(reply, "s", "ltr");
}
int propertyStatus(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                   sd_bus_error*) {
    return sd_bus_message_append(reply, "s", "normal");
}
int propertyIconThemePath(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                          sd_bus_error*) {
    return sd_bus_message_append(reply, "as", 0);
}

}  // namespace

DBusMenuExporter::DBusMenuExporter(BusConnectionPtr connection, std::string objectPath, Handlers handlers)
    : connection_(std::move(connection)), objectPath_(std::move(objectPath)), handlers_(std::move(handlers)) {
    rebuildIndex();
    if (!connection_ || !connection_->isConnected()) return;
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", &DBusMenuExporter::methodGetLayout,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})", &DBusMenuExporter::methodGetGroupProperties,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("GetProperty", "is", "v", &DBusMenuExporter::methodGetProperty,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Event", "isvu", "", &DBusMenuExporter::methodEvent, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", &DBusMenuExporter::methodEventGroup,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("AboutToShow", "i", "b", &DBusMenuExporter::methodAboutToShow,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", &DBusMenuExporter::methodAboutToShowGroup,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("Version", "u", propertyVersion, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("TextDirection", "s", propertyTextDirection, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Status", "s", propertyStatus, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("IconThemePath", "as", propertyIconThemePath, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_SIGNAL("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
        SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
        SD_BUS_SIGNAL("ItemActivationRequested", "iu", 0),
        SD_BUS_VTABLE_END,
    };
    sd_bus_slot* slot = nullptr;
    const int r =
        sd_bus_add_object_vtable(connection_->bus(), &slot, objectPath_.c_str(), kInterface, vtable, this);
    if (r < 0) {
        SystemLog("com.veltrix.kiv", "dbus")
            .error("cannot export the menu at " + objectPath_ + ": " + std::strerror(-r));
        return;
    }
    slot_.reset(slot);
}

DBusMenuExporter::~DBusMenuExporter() { *alive_ = false; }

void DBusMenuExporter::setLayout(MenuNode root) {
    if (root == root_) return;
    root_ = std::move(root);
    ++revision_;
    rebuildIndex();
    if (!slot_ || !connection_->isConnected()) return;
    const int r = sd_bus_emit_signal(connection_->bus(), objectPath_.c_str(), kInterface, "LayoutUpdated",
                                     "ui", revision_, std::int32_t(0));
    if (r >= 0) connection_->wake();
}

void DBusMenuExporter::rebuildIndex() {
    paths_.clear();
    Path path;
    // Depth-first, in the order appendLayout numbers the entries.
    std::function<void(const MenuNode&)> walk = [&](const MenuNode& node) {
        paths_.push_back(path);
        for (std::size_t i = 0; i < node.children.size(); ++i) {
            path.push_back(i);
            walk(node.children[i]);
            path.pop_back();
        }
    };
    walk(root_);
}

const MenuNode* DBusMenuExporter::node(std::int32_t id, Path* path) const {
    if (id < 0 || std::size_t(id) >= paths_.size()) return nullptr;
    const MenuNode* node = &root_;
    for (std::size_t index : paths_[std::size_t(id)]) node = &node->children[index];
    if (path) *path = paths_[std::size_t(id)];
    return node;
}

bool DBusMenuExporter::handleEvent(std::int32_t id, const std::string& eventId) {
    Path path;
    const MenuNode* entry = node(id, &path);
    if (!entry) return false;
    if (eventId != "clicked" || id == 0 || !entry->enabled || entry->type == MenuNode::Type::separator ||
        !entry->children.empty()) {
        return true;  // hovered, opened, closed, or nothing to do
    }
    // After the reply: the action may change or drop this exporter.
    connection_->queue()->async([alive = std::weak_ptr<bool>(alive_), this, path] {
        auto flag = alive.lock();
        if (flag && *flag && handlers_.clicked) handlers_.clicked(path);
    });
    return true;
}

bool DBusMenuExporter::aboutToShow(std::int32_t id) {
    const std::uint32_t before = revision_;
    if (id == 0 && handlers_.aboutToShowRoot) handlers_.aboutToShowRoot();
    return revision_ != before;
}

int DBusMenuExporter::methodGetLayout(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<DBusMenuExporter*>(userdata);
    std::int32_t parentId = 0, depth = -1;
    std::vector<std::string> names;
    int r = sd_bus_message_read(m, "ii", &parentId, &depth);
    if (r < 0 || (r = readStrings(m, names)) < 0) return r;
    const MenuNode* parent = self->node(parentId);
    if (!parent)
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "No menu entry with id %d", parentId);
    sd_bus_message* raw = nullptr;
    if ((r = sd_bus_message_new_method_return(m, &raw)) < 0) return r;
    MessagePtr reply(raw);
    if ((r = sd_bus_message_append(raw, "u", self->revision_)) < 0) return r;
    std::int32_t id = parentId;
    if ((r = appendLayout(raw, *parent, id, depth, parentId == 0, names)) < 0) return r;
    return sd_bus_send(nullptr, raw, nullptr);
}

int DBusMenuExporter::methodGetGroupProperties(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<DBusMenuExporter*>(userdata);
    std::vector<std::int32_t> ids;
    std::vector<std::string> names;
    int r = readIds(m, ids);
    if (r < 0 || (r = readStrings(m, names)) < 0) return r;
    if (ids.empty()) {
        for (std::size_t i = 0; i < self->paths_.size(); ++i) ids.push_back(std::int32_t(i));
    }
    sd_bus_message* raw = nullptr;
    if ((r = sd_bus_message_new_method_return(m, &raw)) < 0) return r;
    MessagePtr reply(raw);
    if ((r = sd_bus_message_open_container(raw, 'a', "(ia{sv})")) < 0) return r;
    for (std::int32_t id : ids) {
        const MenuNode* node = self->node(id);
        if (!node) continue;  // unknown ids are left out, as the protocol allows
        if ((r = sd_bus_message_open_container(raw, 'r', "ia{sv}")) < 0) return r;
        if ((r = sd_bus_message_append(raw, "i", id)) < 0) return r;
        if ((r = appendProperties(raw, *node, id == 0, names)) < 0) return r;
        if ((r = sd_bus_message_close_container(raw)) < 0) return r;
    }
    if ((r = sd_bus_message_close_container(raw)) < 0) return r;
    return sd_bus_send(nullptr, raw, nullptr);
}

int DBusMenuExporter::methodGetProperty(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<DBusMenuExporter*>(userdata);
    std::int32_t id = 0;
    const char* name = nullptr;
    int r = sd_bus_message_read(m, "is", &id, &name);
    if (r < 0) return r;
    const MenuNode* node = self->node(id);
    if (!node) return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "No menu entry with id %d", id);
    for (const auto& property : propertiesOf(*node, id == 0)) {
        if (std::string_view(property.name) != name) continue;
        sd_bus_message* raw = nullptr;
        if ((r = sd_bus_message_new_method_return(m, &raw)) < 0) return r;
        MessagePtr reply(raw);
        if ((r = appendValue(raw, property.value)) < 0) return r;
        return sd_bus_send(nullptr, raw, nullptr);
    }
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "No property %s", name);
}

int DBusMenuExporter::methodEvent(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<DBusMenuExporter*>(userdata);
    std::int32_t id = 0;
    const char* eventId = nullptr;
    int r = sd_bus_message_read(m, "is", &id, &eventId);
    if (r < 0) return r;
    if (!self->handleEvent(id, eventId)) {
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "No menu entry with id %d", id);
    }
    return sd_bus_reply_method_return(m, "");
}

int DBusMenuExporter::methodEventGroup(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<DBusMenuExporter*>(userdata);
    std::vector<std::int32_t> unknown;
    int r = sd_bus_message_enter_container(m, 'a', "(isvu)");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'r', "isvu")) > 0) {
        std::int32_t id = 0;
        const char* eventId = nullptr;
        if ((r = sd_bus_message_read(m, "is", &id, &eventId)) < 0) return r;
        const std::string event = eventId;
        if ((r = sd_bus_message_skip(m, "vu")) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        if (!self->handleEvent(id, event)) unknown.push_back(id);
    }
    if (r < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    sd_bus_message* raw = nullptr;
    if ((r = sd_bus_message_new_method_return(m, &raw)) < 0) return r;
    MessagePtr reply(raw);
    if ((r = sd_bus_message_append_array(raw, 'i', unknown.data(), unknown.size() * sizeof(std::int32_t))) <
        0)
        return r;
    return sd_bus_send(nullptr, raw, nullptr);
}

int DBusMenuExporter::methodAboutToShow(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<DBusMenuExporter*>(userdata);
    std::int32_t id = 0;
    int r = sd_bus_message_read(m, "i", &id);
    if (r < 0) return r;
    if (!self->node(id))
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "No menu entry with id %d", id);
    const bool changed = self->aboutToShow(id);
    return sd_bus_reply_method_return(m, "b", int(changed));
}

int DBusMenuExporter::methodAboutToShowGroup(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<DBusMenuExporter*>(userdata);
    std::vector<std::int32_t> ids, updated, unknown;
    int r = readIds(m, ids);
    if (r < 0) return r;
    for (std::int32_t id : ids) {
        if (!self->node(id)) {
            unknown.push_back(id);
        } else if (self->aboutToShow(id)) {
            updated.push_back(id);
        }
    }
    sd_bus_message* raw = nullptr;
    if ((r = sd_bus_message_new_method_return(m, &raw)) < 0) return r;
    MessagePtr reply(raw);
    if ((r = sd_bus_message_append_array(raw, 'i', updated.data(), updated.size() * sizeof(std::int32_t))) <
            0 ||
        (r = sd_bus_message_append_array(raw, 'i', unknown.data(), unknown.size() * sizeof(std::int32_t))) <
            0) {
        return r;
    }
    return sd_bus_send(nullptr, raw, nullptr);
}

}  // namespace platform::dbus
