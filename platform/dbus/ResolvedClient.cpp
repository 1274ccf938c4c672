#include "platform/dbus/ResolvedClient.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace platform {
namespace {

constexpr const char* kManagerPath = "/org/freedesktop/resolve1";
constexpr const char* kManagerInterface = "org.freedesktop.resolve1.Manager";
constexpr const char* kLinkInterface = "org.freedesktop.resolve1.Link";

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// Frees the error on every path.
struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
    std::string text(int result) const {
        if (sd_bus_error_is_set(&error)) {
            return std::string(error.name) + ": " + (error.message ? error.message : "");
        }
        return std::strerror(-result);
    }
};

std::string errnoText(int result) { return std::strerror(result < 0 ? -result : result); }

struct Address {
    int family = 0;
    std::array<std::uint8_t, 16> bytes{};
    std::size_t size = 0;
};

std::optional<Address> parseAddress(const std::string& text) {
    Address address;
    if (text.find('\0') != std::string::npos) return std::nullopt;
    if (::inet_pton(AF_INET, text.c_str(), address.bytes.data()) == 1) {
        address.family = AF_INET;
        address.size = 4;
        return address;
    }
    if (::inet_pton(AF_INET6, text.c_str(), address.bytes.data()) == 1) {
        address.family = AF_INET6;
        address.size = 16;
        return address;
    }
    return std::nullopt;
}

}  // namespace

struct ResolvedClient::Bus {
    std::unique_ptr<sd_bus, BusUnref> bus;
    std::uint64_t timeout = std::chrono::microseconds(kDefaultCallTimeout).count();

    // Sends `message` and waits for its reply; the reply in `reply` when asked for.
    ResolvedResult call(sd_bus_message* message, MessagePtr* reply = nullptr) {
        BusError error;
        sd_bus_message* answer = nullptr;
        const int r = sd_bus_call(bus.get(), message, timeout, &error.error, &answer);
        MessagePtr owned(answer);
        if (r < 0) return {error.text(r)};
        if (reply) *reply = std::move(owned);
        return {};
    }

    // A new method call to resolved's manager, or the reason none could be made.
    MessagePtr managerCall(const char* member, ResolvedResult& result) {
        sd_bus_message* message = nullptr;
        const int r = sd_bus_message_new_method_call(bus.get(), &message, kResolvedBusName, kManagerPath,
                                                     kManagerInterface, member);
        if (r < 0) result.error = errnoText(r);
        return MessagePtr(message);
    }
};

ResolvedClient::ResolvedClient(std::unique_ptr<Bus> bus) : bus_(std::move(bus)) {}
ResolvedClient::~ResolvedClient() = default;

std::unique_ptr<ResolvedClient> ResolvedClient::connect(const std::optional<std::string>& address,
                                                        std::string* error) {
    sd_bus* raw = nullptr;
    int r = 0;
    if (!address) {
        r = sd_bus_open_system(&raw);
    } else {
        r = sd_bus_new(&raw);
        if (r >= 0) r = sd_bus_set_address(raw, address->c_str());
        if (r >= 0) r = sd_bus_set_bus_client(raw, 1);
        if (r >= 0) r = sd_bus_start(raw);
    }
    std::unique_ptr<sd_bus, BusUnref> bus(raw);
    if (r < 0) {
        if (error) *error = "cannot connect to the system bus: " + errnoText(r);
        return nullptr;
    }
    auto state = std::make_unique<Bus>();
    state->bus = std::move(bus);
    return std::unique_ptr<ResolvedClient>(new ResolvedClient(std::move(state)));
}

void ResolvedClient::setCallTimeout(std::chrono::microseconds timeout) {
    bus_->timeout = timeout.count() > 0 ? static_cast<std::uint64_t>(timeout.count()) : 1;
}

bool ResolvedClient::running() {
    BusError error;
    sd_bus_message* answer = nullptr;
    int r = sd_bus_call_method(bus_->bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", &error.error, &answer, "s",
                               kResolvedBusName);
    MessagePtr reply(answer);
    if (r < 0) return false;
    int owned = 0;
    r = sd_bus_message_read(reply.get(), "b", &owned);
    return r >= 0 && owned;
}

ResolvedResult ResolvedClient::setLinkDNS(int interfaceIndex, const std::vector<std::string>& servers) {
    std::vector<Address> addresses;
    for (const auto& text : servers) {
        const auto address = parseAddress(text);
        if (!address) return {"not an IP address: \"" + text + "\""};
        addresses.push_back(*address);
    }
    ResolvedResult result;
    MessagePtr message = bus_->managerCall("SetLinkDNS", result);
    if (!result.ok()) return result;
    int r = sd_bus_message_append(message.get(), "i", interfaceIndex);
    if (r >= 0) r = sd_bus_message_open_container(message.get(), 'a', "(iay)");
    for (const auto& address : addresses) {
        if (r >= 0) r = sd_bus_message_open_container(message.get(), 'r', "iay");
        if (r >= 0) r = sd_bus_message_append(message.get(), "i", address.family);
        if (r >= 0) r = sd_bus_message_append_array(message.get(), 'y', address.bytes.data(), address.size);
        if (r >= 0) r = sd_bus_message_close_container(message.get());
    }
    if (r >= 0) r = sd_bus_message_close_container(message.get());
    if (r < 0) return {errnoText(r)};
    return bus_->call(message.get());
}

ResolvedResult ResolvedClient::revertLink(int interfaceIndex) {
    ResolvedResult result;
    MessagePtr message = bus_->managerCall("RevertLink", result);
    if (!result.ok()) return result;
    const int r = sd_bus_message_append(message.get(), "i", interfaceIndex);
    if (r < 0) return {errnoText(r)};
    return bus_->call(message.get());
}

ResolvedResult ResolvedClient::flushCaches() {
    ResolvedResult result;
    MessagePtr message = bus_->managerCall("FlushCaches", result);
    if (!result.ok()) return result;
    return bus_->call(message.get());
}

namespace {

// Reads "a(iay)" at the reply's position into address texts.
int readServers(sd_bus_message* reply, std::vector<std::string>& servers) {
    int r = sd_bus_message_enter_container(reply, 'a', "(iay)");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(reply, 'r', "iay")) > 0) {
        int family = 0;
        const void* bytes = nullptr;
        std::size_t size = 0;
        if ((r = sd_bus_message_read(reply, "i", &family)) < 0) return r;
        if ((r = sd_bus_message_read_array(reply, 'y', &bytes, &size)) < 0) return r;
        if ((r = sd_bus_message_exit_container(reply)) < 0) return r;
        char text[INET6_ADDRSTRLEN] = {};
        const bool known = (family == AF_INET && size == 4) || (family == AF_INET6 && size == 16);
        if (!known || ::inet_ntop(family, bytes, text, sizeof text) == nullptr) return -EBADMSG;
        servers.emplace_back(text);
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(reply);
}

// Reads "a(sb)" (domain, routing only) at the reply's position.
int readDomains(sd_bus_message* reply, std::vector<std::string>& domains) {
    int r = sd_bus_message_enter_container(reply, 'a', "(sb)");
    if (r < 0) return r;
    const char* name = nullptr;
    int routeOnly = 0;
    while ((r = sd_bus_message_read(reply, "(sb)", &name, &routeOnly)) > 0) {
        domains.push_back(std::string(routeOnly ? "~" : "") + name);
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(reply);
}

}  // namespace

std::optional<ResolvedLinkDNS> ResolvedClient::linkDNS(int interfaceIndex, std::string* error) {
    auto fail = [&](std::string why) -> std::optional<ResolvedLinkDNS> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    ResolvedResult result;
    MessagePtr message = bus_->managerCall("GetLink", result);
    if (!result.ok()) return fail(result.error);
    int r = sd_bus_message_append(message.get(), "i", interfaceIndex);
    if (r < 0) return fail(errnoText(r));
    MessagePtr reply;
    result = bus_->call(message.get(), &reply);
    if (!result.ok()) return fail(result.error);
    const char* path = nullptr;
    if ((r = sd_bus_message_read(reply.get(), "o", &path)) < 0) return fail(errnoText(r));
    const std::string linkPath = path;

    ResolvedLinkDNS link;
    struct Property {
        const char* name;
        const char* type;
        int (*read)(sd_bus_message*, std::vector<std::string>&);
        std::vector<std::string>* into;
    };
    const Property properties[] = {{"DNS", "a(iay)", readServers, &link.servers},
                                   {"Domains", "a(sb)", readDomains, &link.domains}};
    for (const auto& property : properties) {
        BusError busError;
        sd_bus_message* answer = nullptr;
        r = sd_bus_get_property(bus_->bus.get(), kResolvedBusName, linkPath.c_str(), kLinkInterface,
                                property.name, &busError.error, &answer, property.type);
        MessagePtr value(answer);
        if (r < 0) return fail(busError.text(r));
        if ((r = property.read(value.get(), *property.into)) < 0) {
            return fail(std::string("malformed ") + property.name + " of link " +
                        std::to_string(interfaceIndex) + ": " + errnoText(r));
        }
    }
    return link;
}

}  // namespace platform
