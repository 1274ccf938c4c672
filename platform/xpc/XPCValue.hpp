#pragma once
// Typed values that XPC messages carry as arguments and replies: nothing (a nil
// object), Boolean, integer, text, bytes, error object and list of texts. Values of
// one message travel as one JSON frame (XPCWire).
#include <concepts>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "platform/xpc/ErrorObject.hpp"

namespace platform {

using Bytes = std::vector<std::uint8_t>;

enum class XPCType : std::uint8_t { null, boolean, integer, text, data, error, textList };

const char* xpcTypeName(XPCType type);

struct XPCValue {
    using Storage = std::variant<std::monostate, bool, std::int64_t, std::string, Bytes, ErrorObject,
                                 std::vector<std::string>>;
    Storage storage;

    XPCValue() = default;
    XPCValue(bool v) : storage(v) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) XPCValue(T v) : storage(static_cast<std::int64_t>(v)) {}
    XPCValue(std::string v) : storage(std::move(v)) {}
    XPCValue(const char* v) : storage(std::string(v)) {}
    XPCValue(Bytes v) : storage(std::move(v)) {}
    XPCValue(ErrorObject v) : storage(std::move(v)) {}
    XPCValue(std::vector<std::string> v) : storage(std::move(v)) {}

    XPCType type() const { return static_cast<XPCType>(storage.index()); }
    bool isNull() const { return type() == XPCType::null; }
    // Each accessor gives nullptr when the value holds another type.
    const bool* boolean() const { return std::get_if<bool>(&storage); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&storage); }
    const std::string* text() const { return std::get_if<std::string>(&storage); }
    const Bytes* data() const { return std::get_if<Bytes>(&storage); }
    const ErrorObject* error() const { return std::get_if<ErrorObject>(&storage); }
    const std::vector<std::string>* textList() const {
        return std::get_if<std::vector<std::string>>(&storage);
    }

    bool operator==(const XPCValue&) const = default;
};

using XPCArguments = std::vector<XPCValue>;

}  // namespace platform
