#include "model/LogLevel.hpp"

#include <array>
#include <string>

namespace model {

namespace {
constexpr std::array<std::string_view, 4> kRawValues{"none", "warning", "production", "diagnose"};
}

std::optional<LogLevel> logLevelFromRawValue(std::string_view text) {
    for (std::size_t i = 0; i < kRawValues.size(); ++i) {
        if (kRawValues[i] == text) return static_cast<LogLevel>(i);
    }
    return std::nullopt;
}

std::string_view rawValue(LogLevel level) { return kRawValues.at(static_cast<std::size_t>(level)); }

LogLevel decodeJSONEnum(const Decoder& decoder, std::type_identity<LogLevel>) {
    std::string text = decoder.decodeString();
    if (auto level = logLevelFromRawValue(text)) return *level;
    decoder.fail(CodingError::Kind::dataCorrupted,
                 "Cannot initialize LogLevel from invalid String value " + text);
}

OrderedJSONValue encodeJSONEnum(LogLevel level) { return OrderedJSONValue(std::string(rawValue(level))); }

}  // namespace model
