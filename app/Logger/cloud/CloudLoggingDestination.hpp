#pragma once
// A log destination that prints each accepted call as one structured cloud-logging
// entry (service, severity, message, source location) on standard output and
// returns it. It renders no text line: format and colours are not used.
//
// Threads: as BaseDestination; send() runs on `queue`. Delivery is synchronous (the
// logging thread waits until the entry is printed). Holds nothing mutable.
#include <optional>
#include <string>

#include "app/Logger/BaseDestination.hpp"

namespace kiv {

class CloudLoggingDestination : public BaseDestination {
public:
    explicit CloudLoggingDestination(std::string serviceName, DestinationEnvironment environment = {});

    // The entry, always present: compact JSON, or the fixed fallback text when the
    // entry cannot be serialised (for instance text that is not UTF-8). A dictionary
    // context contributes its "httpRequest" (an object) and "user" (a string) members.
    std::optional<std::string> send(LogFacilityLevel level, const std::string& message,
                                    const std::string& thread, const std::string& file,
                                    const std::string& function, int line,
                                    const std::optional<LogContext>& context) override;

    // Delivery is always synchronous: this `asynchronously` hides the base class's
    // setting, reads false and ignores what is written to it, so an owner who sets it
    // to true sees that it did not take.
    struct AlwaysSynchronous {
        AlwaysSynchronous& operator=(bool /*ignored*/) { return *this; }
        operator bool() const { return false; }
    };
    AlwaysSynchronous asynchronously;
    // Entries go out in the caller's order, also when the base class's setting is
    // changed through a BaseDestination reference.
    bool isAsynchronous() const override { return false; }

    // "DEBUG" for verbose and debug, then "INFO", "WARNING", "ERROR".
    static const char* severity(LogFacilityLevel level);
    // The hand-built entry used when serialising fails; file and function unescaped.
    static std::string fallbackEntry(const std::string& file, const std::string& function, int line);

private:
    const std::string serviceName_;
};

}  // namespace kiv
