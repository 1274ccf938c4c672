#include "platform/xpc/ErrorObject.hpp"

namespace platform {

std::string ErrorObject::localizedDescription() const {
    if (!description.empty()) return description;
    return "The operation couldn't be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

}  // namespace platform
