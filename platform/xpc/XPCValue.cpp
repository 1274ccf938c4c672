#include "platform/xpc/XPCValue.hpp"

namespace platform {

static_assert(std::variant_size_v<XPCValue::Storage> == 7, "XPCType lists every alternative in order");

const char* xpcTypeName(XPCType type) {
    switch (type) {
        case XPCType::null:
            return "null";
        case XPCType::boolean:
            return "boolean";
        case XPCType::integer:
            return "integer";
        case XPCType::text:
            return "text";
        case XPCType::data:
            return "data";
        case XPCType::error:
            return "error";
        case XPCType::textList:
            return "text list";
    }
    return "unknown";
}

}  // namespace platform
