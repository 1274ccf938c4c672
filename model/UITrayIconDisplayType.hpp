#pragma once
// The display style of the agent's tray icon, written in JSON as its raw value text. The case
// defaultType has the raw value "default".
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <type_traits>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"

namespace model {

enum class UITrayIconDisplayType : std::uint8_t { balloon, hidden, tooltip, defaultType };

// The case whose raw value equals text exactly (case-sensitive, whole text), or no value.
std::optional<UITrayIconDisplayType> trayIconDisplayTypeFromRawValue(std::string_view text);
std::string_view rawValue(UITrayIconDisplayType type);

// JSON form, found by Decoder::decode<T>() and Encoder::encode() for this enumeration.
// A JSON string that is one of the raw values; typeMismatch for another JSON type,
// dataCorrupted for a text that is no raw value.
UITrayIconDisplayType decodeJSONEnum(const Decoder& decoder, std::type_identity<UITrayIconDisplayType>);
OrderedJSONValue encodeJSONEnum(UITrayIconDisplayType type);

}  // namespace model

template <>
struct std::hash<model::UITrayIconDisplayType> {
    std::size_t operator()(model::UITrayIconDisplayType type) const noexcept {
        return std::hash<std::string_view>{}(model::rawValue(type));
    }
};
