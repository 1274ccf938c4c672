#pragma once
// The error object that crosses process boundaries and reaches error handlers: a
// domain, a code and an optional text for people. A plain value; copy freely.
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::string_view NSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::string_view NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::string_view NSOSStatusErrorDomain = "NSOSStatusErrorDomain";

// Codes of the connection errors, in NSCocoaErrorDomain.
inline constexpr std::int64_t NSXPCConnectionInterrupted = 4097;
inline constexpr std::int64_t NSXPCConnectionInvalid = 4099;
inline constexpr std::int64_t NSXPCConnectionReplyInvalid = 4101;

struct ErrorObject {
    std::string domain;
    std::int64_t code = 0;
    // Empty when the error carries no text of its own (as the helper's OSStatus errors).
    std::string description;

    // The text for people: `description`, or a generic sentence naming domain and code.
    std::string localizedDescription() const;

    bool operator==(const ErrorObject&) const = default;
};

}  // namespace platform
