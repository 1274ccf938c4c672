#include "helper/protocol/KIVHelperProtocol.hpp"

namespace helper {

platform::XPCInterface kivHelperProtocol() {
    using platform::XPCMethod;
    using platform::XPCParameter;
    using platform::XPCType;
    const XPCParameter authorization{XPCType::data, true};
    const std::vector<XPCParameter> reply{{XPCType::error, true}};
    auto method = [&](const char* name, std::vector<XPCParameter> arguments) {
        arguments.push_back(authorization);
        return XPCMethod{name, std::move(arguments), reply};
    };
    const XPCParameter text{XPCType::text, true};
    const XPCParameter texts{XPCType::textList, true};
    return platform::XPCInterface(
        "KIVHelperProtocol",
        {method(selector::setLogDebug, {{XPCType::boolean, false}}),
         method(selector::setTrayType, {{XPCType::integer, true}}), method(selector::writeLocation, {text}),
         method(selector::modifyDNS, {texts}), method(selector::rollbackDNS, {}),
         method(selector::modifyDNSForServices, {texts, texts}),
         method(selector::rollbackDNSForServices, {texts}), method(selector::downloadCert, {text, text}),
         method(selector::importCert, {text}), method(selector::flushDNS, {})});
}

}  // namespace helper
