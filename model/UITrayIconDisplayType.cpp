#include "model/UITrayIconDisplayType.hpp"

#include <array>

#include "model/RawValueEnum.hpp"

namespace model {

namespace {
constexpr std::array<std::string_view, 4> kRawValues{"balloon", "hidden", "tooltip", "default"};
}

std::optional<UITrayIconDisplayType> trayIconDisplayTypeFromRawValue(std::string_view text) {
    return caseFromRawValue<UITrayIconDisplayType>(kRawValues, text);
}

std::string_view rawValue(UITrayIconDisplayType type) {
    return kRawValues.at(static_cast<std::size_t>(type));
}

UITrayIconDisplayType decodeJSONEnum(const Decoder& decoder, std::type_identity<UITrayIconDisplayType>) {
    return decodeRawValueCase<UITrayIconDisplayType>(decoder, kRawValues, "UITrayIconDisplayType");
}

OrderedJSONValue encodeJSONEnum(UITrayIconDisplayType type) {
    return OrderedJSONValue(std::string(rawValue(type)));
}

}  // namespace model
