#include "platform/xpc/XPCInterface.hpp"

#include <stdexcept>

namespace platform {

XPCInterface::XPCInterface(std::string protocolName, std::vector<XPCMethod> methods)
    : protocolName_(std::move(protocolName)), methods_(std::move(methods)) {
    for (std::size_t i = 0; i < methods_.size(); ++i) {
        for (std::size_t j = i + 1; j < methods_.size(); ++j) {
            if (methods_[i].selector == methods_[j].selector) {
                throw std::invalid_argument("protocol " + protocolName_ + " declares " +
                                            methods_[i].selector + " twice");
            }
        }
    }
}

const XPCMethod* XPCInterface::method(std::string_view selector) const {
    for (const auto& m : methods_) {
        if (m.selector == selector) return &m;
    }
    return nullptr;
}

std::string xpcMismatch(const std::vector<XPCParameter>& parameters, const XPCArguments& values) {
    if (parameters.size() != values.size()) {
        return "expected " + std::to_string(parameters.size()) + " values, got " +
               std::to_string(values.size());
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto& p = parameters[i];
        const XPCType got = values[i].type();
        if (got == p.type || (got == XPCType::null && p.nullable)) continue;
        return "value " + std::to_string(i) + " is " + xpcTypeName(got) + ", expected " + xpcTypeName(p.type);
    }
    return {};
}

}  // namespace platform
