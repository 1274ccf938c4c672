#include "model/UITrayIconDisplayType.hpp"

#include <array>
#include <string>

namespace model {

namespace {
constexpr std::array<std::string_view, 4> kRawValues{"balloon", "hidden", "tooltip", "default"};
}

std::optional<UITrayIconDisplayType> trayIconDisplayTypeFromRawValue(std::string_view text) {
    for (std::size_t i = 0; i < kRawValues.size(); ++i) {
        if (kRawValues[i] == text) return static_cast<UITrayIconDisplayType>(i);
    }
    return std::nullopt;
}

std::string_view rawValue(UITrayIconDisplayType type) {
    return kRawValues.at(static_cast<std::size_t>(type));
}

UITrayIconDisplayType decodeJSONEnum(const Decoder& decoder, std::type_identity<UITrayIconDisplayType>) {
    std::string text = decoder.decodeString();
    if (auto type = trayIconDisplayTypeFromRawValue(text)) return *type;
    decoder.fail(CodingError::Kind::dataCorrupted,
                 "Cannot initialize UITrayIconDisplayType from invalid String value " + text);
}

OrderedJSONValue encodeJSONEnum(UITrayIconDisplayType type) {
    return OrderedJSONValue(std::string(rawValue(type)));
}

}  // namespace model
