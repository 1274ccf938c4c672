#include "platform/dbus/InfoPipeClient.hpp"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace platform::dbus {
namespace {

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct ReplyUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Reply = std::unique_ptr<sd_bus_message, ReplyUnref>;

// Frees the error on every path.
struct CallError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~CallError() { sd_bus_error_free(&error); }
};

InfoPipeError errnoError(InfoPipeError::Step step, int result) {
    const int code = result < 0 ? -result : result;
    return {step, std::strerror(code), code};
}

InfoPipeError callError(InfoPipeError::Step step, const CallError& failure, int result) {
    if (!sd_bus_error_is_set(&failure.error)) return errnoError(step, result);
    return {step, failure.error.name, sd_bus_error_get_errno(&failure.error)};
}

InfoPipeError malformed(InfoPipeError::Step step) { return {step, SD_BUS_ERROR_INVALID_SIGNATURE, EBADMSG}; }

// One attribute's texts from a variant of "as" (SSSD's form), or of "s".
bool readValues(sd_bus_message* reply, std::vector<std::string>& values) {
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(reply, nullptr, &contents) < 0 || contents == nullptr) return false;
    const std::string type = contents;
    if (type != "as" && type != "s") {
        (void)sd_bus_message_skip(reply, "v");  // a failed skip fails the entry's exit after us
        return false;
    }
    if (sd_bus_message_enter_container(reply, SD_BUS_TYPE_VARIANT, contents) < 0) return false;
    if (type == "s") {
        const char* text = nullptr;
        if (sd_bus_message_read_basic(reply, SD_BUS_TYPE_STRING, &text) < 0) return false;
        values.emplace_back(text);
    } else {
        if (sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "s") < 0) return false;
        const char* text = nullptr;
        int r = 0;
        while ((r = sd_bus_message_read_basic(reply, SD_BUS_TYPE_STRING, &text)) > 0) {
            if (values.size() < kMaxInfoPipeValues) values.emplace_back(text);
        }
        if (r < 0 || sd_bus_message_exit_container(reply) < 0) return false;
    }
    return sd_bus_message_exit_container(reply) >= 0;
}

// The reply's a{sv}; false when it is not one.
bool readAttributes(sd_bus_message* reply, InfoPipeLookup& lookup) {
    auto& attributes = lookup.attributes.emplace();
    if (sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "{sv}") <= 0) return false;
    int r = 0;
    while ((r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read_basic(reply, SD_BUS_TYPE_STRING, &name) < 0) return false;
        std::vector<std::string> values;
        if (readValues(reply, values)) {
            attributes[name] = std::move(values);
        } else {
            // A value of another type says nothing we can use; the other attributes still count.
            lookup.errors.push_back(malformed(InfoPipeError::Step::attribute));
        }
        if (sd_bus_message_exit_container(reply) < 0) return false;
    }
    return r >= 0 && sd_bus_message_exit_container(reply) >= 0;
}

}  // namespace

InfoPipeLookup getUserAttributes(const std::string& busAddress, const std::string& user,
                                 const std::vector<std::string>& names, std::chrono::microseconds timeout) {
    InfoPipeLookup lookup;
    const std::uint64_t usec = timeout.count() > 0 ? static_cast<std::uint64_t>(timeout.count()) : 1;

    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    std::unique_ptr<sd_bus, BusUnref> bus(raw);
    if (r >= 0) r = sd_bus_set_address(raw, busAddress.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(raw, 1);
    if (r >= 0) r = sd_bus_set_method_call_timeout(raw, usec);
    if (r >= 0) r = sd_bus_start(raw);
    if (r < 0) {
        lookup.errors.push_back(errnoError(InfoPipeError::Step::open, r));
        return lookup;
    }
    {
        // Starts the service when the bus activates it; fails at once when nobody provides it.
        CallError failure;
        sd_bus_message* answer = nullptr;
        r = sd_bus_call_method(raw, kInfoPipeBusName, kInfoPipePath, "org.freedesktop.DBus.Peer", "Ping",
                               &failure.error, &answer, "");
        Reply owned(answer);
        if (r < 0) {
            lookup.errors.push_back(callError(InfoPipeError::Step::open, failure, r));
            return lookup;
        }
    }

    sd_bus_message* call = nullptr;
    r = sd_bus_message_new_method_call(raw, &call, kInfoPipeBusName, kInfoPipePath, kInfoPipeInterface,
                                       "GetUserAttr");
    Reply request(call);
    if (r >= 0) r = sd_bus_message_append(call, "s", user.c_str());
    if (r >= 0) r = sd_bus_message_open_container(call, SD_BUS_TYPE_ARRAY, "s");
    for (const auto& name : names) {
        if (r >= 0) r = sd_bus_message_append_basic(call, SD_BUS_TYPE_STRING, name.c_str());
    }
    if (r >= 0) r = sd_bus_message_close_container(call);
    if (r < 0) {
        lookup.errors.push_back(errnoError(InfoPipeError::Step::query, r));
        return lookup;
    }

    CallError failure;
    sd_bus_message* answer = nullptr;
    r = sd_bus_call(raw, call, 0, &failure.error, &answer);
    Reply reply(answer);
    if (r < 0) {
        lookup.errors.push_back(callError(InfoPipeError::Step::results, failure, r));
        return lookup;
    }
    if (!readAttributes(reply.get(), lookup)) {
        lookup.attributes.reset();
        lookup.errors.push_back(malformed(InfoPipeError::Step::results));
    }
    return lookup;
}

}  // namespace platform::dbus
