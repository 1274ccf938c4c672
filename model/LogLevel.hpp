#pragma once
// The logging level the server sets for the agent; also the level of every log call. Ordered:
// none <= warning <= production <= diagnose. Written in JSON as its raw value text.
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <type_traits>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"

namespace model {

enum class LogLevel : std::uint8_t { none, warning, production, diagnose };

// The case whose raw value equals text exactly (case-sensitive, whole text), or no value.
std::optional<LogLevel> logLevelFromRawValue(std::string_view text);
std::string_view rawValue(LogLevel level);

// True when left comes at or before right in the case order.
constexpr bool operator<=(LogLevel left, LogLevel right) {
    return static_cast<std::uint8_t>(left) <= static_cast<std::uint8_t>(right);
}

// JSON form, found by Decoder::decode<T>() and Encoder::encode() for this enumeration.
// A JSON string that is one of the raw values; typeMismatch for another JSON type,
// dataCorrupted for a text that is no raw value.
LogLevel decodeJSONEnum(const Decoder& decoder, std::type_identity<LogLevel>);
OrderedJSONValue encodeJSONEnum(LogLevel level);

}  // namespace model

template <>
struct std::hash<model::LogLevel> {
    std::size_t operator()(model::LogLevel level) const noexcept {
        return std::hash<std::string_view>{}(model::rawValue(level));
    }
};
