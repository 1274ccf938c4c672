#include "model/Encoder.hpp"

#include <cmath>

namespace model {

OrderedJSONValue Encoder::encodeDouble(double value) const {
    if (std::isnan(value)) failInvalidValue("Unable to encode Double.nan directly in JSON.");
    if (std::isinf(value)) {
        failInvalidValue(value > 0 ? "Unable to encode Double.infinity directly in JSON."
                                   : "Unable to encode -Double.infinity directly in JSON.");
    }
    return OrderedJSONValue(value);
}

void Encoder::checkNesting(std::string_view typeName) const {
    if (depth_ >= kMaxJSONNesting) {
        failInvalidValue(std::string(typeName) + " is nested deeper than " + std::to_string(kMaxJSONNesting) +
                         " levels.");
    }
}

void Encoder::failInvalidValue(std::string debugDescription) const {
    throw CodingError(CodingError::Kind::invalidValue, codingPath(), std::move(debugDescription));
}

}  // namespace model
