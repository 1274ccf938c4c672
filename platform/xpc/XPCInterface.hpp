#pragma once
// The description of a protocol that one side of a connection exports and the other
// calls: its name and, per method, the selector text, the argument types and, for a
// method with a reply block, the types the reply carries. Messages are checked
// against it in both directions. A plain value.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xpc/XPCValue.hpp"

namespace platform {

struct XPCParameter {
    XPCType type = XPCType::null;
    // A nullable parameter also takes nothing (XPCType::null).
    bool nullable = false;
};

struct XPCMethod {
    std::string selector;  // e.g. "updateConfigWithConfig:completionHandler:"
    std::vector<XPCParameter> arguments;
    // Present for a method whose last parameter is a reply block: what the block takes.
    std::optional<std::vector<XPCParameter>> reply;
};

class XPCInterface {
public:
    XPCInterface(std::string protocolName, std::vector<XPCMethod> methods);

    const std::string& protocolName() const { return protocolName_; }
    const std::vector<XPCMethod>& methods() const { return methods_; }
    // nullptr when the protocol has no such method.
    const XPCMethod* method(std::string_view selector) const;

private:
    std::string protocolName_;
    std::vector<XPCMethod> methods_;
};

// Empty when `values` fit `parameters`, else a sentence saying what does not fit.
std::string xpcMismatch(const std::vector<XPCParameter>& parameters, const XPCArguments& values);

}  // namespace platform
