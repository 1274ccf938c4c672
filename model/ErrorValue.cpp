#include "model/ErrorValue.hpp"

namespace model {

ErrorValue ErrorValue::jsonReaderError() {
    // The platform's wording for an error that carries no description of its own.
    return ErrorValue{"JSONDecoding", 0, "The operation couldn\u2019t be completed. (JSONDecoding error 0.)"};
}

std::string ErrorValue::description() const { return domain + " " + std::to_string(code) + ": " + message; }

}  // namespace model
