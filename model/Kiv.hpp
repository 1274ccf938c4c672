#pragma once
// The agent's settings ("kiv"). Its JSON keys are snake_case, unlike the member names.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"
#include "model/LogLevel.hpp"
#include "model/UITrayIconDisplayType.hpp"

namespace model {

struct Kiv {
    std::optional<std::vector<std::string>> interfacesToIgnore;  // "interfaces_to_ignore"
    std::optional<LogLevel> logLevel;                            // "log_level"
    std::optional<std::string> ncsiEchoResolver;                 // "ncsi_echo_resolver"
    std::optional<std::int64_t> ncsiEventDelay;                  // "ncsi_event_delay"
    std::optional<std::int64_t> ncsiInterval;                    // "ncsi_interval"
    std::optional<std::int64_t> ncsiIntervalDisconnected;        // "ncsi_interval_disconnected"
    std::optional<std::int64_t> ncsiTimeout;                     // "ncsi_timeout"
    std::optional<std::string> ncsiURL;                          // "ncsi_url"
    std::optional<UITrayIconDisplayType> trayType;               // "tray_type"
    std::optional<bool> unboundLogQueries;                       // "unbound_log_queries"
    std::optional<bool> unboundUseSyslog;                        // "unbound_use_syslog"

    // A "log_level" or "tray_type" text that is no raw value fails the decode (only a missing
    // key or null makes them absent).
    static Kiv decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;
};

}  // namespace model
