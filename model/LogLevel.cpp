#include "model/LogLevel.hpp"

#include <array>

#include "model/RawValueEnum.hpp"

namespace model {

namespace {
constexpr std::array<std::string_view, 4> kRawValues{"none", "warning", "production", "diagnose"};
}

std::optional<LogLevel> logLevelFromRawValue(std::string_view text) {
    return caseFromRawValue<LogLevel>(kRawValues, text);
}

std::string_view rawValue(LogLevel level) { return kRawValues.at(static_cast<std::size_t>(level)); }

LogLevel decodeJSONEnum(const Decoder& decoder, std::type_identity<LogLevel>) {
    return decodeRawValueCase<LogLevel>(decoder, kRawValues, "LogLevel");
}

OrderedJSONValue encodeJSONEnum(LogLevel level) { return OrderedJSONValue(std::string(rawValue(level))); }

}  // namespace model
