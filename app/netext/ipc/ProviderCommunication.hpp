#pragma once
// The extension's XPC protocol, which the application calls: `register:` and
// `updateConfigWithConfig:completionHandler:`. Every reply block takes one text.
// exported() serves an implementation on a connection; remote() calls the other side.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xpc/XPCConnection.hpp"

namespace kiv {

class ProviderCommunication {
public:
    using Reply = std::function<void(std::string)>;
    static constexpr std::string_view kProtocolName = "ProviderCommunication";
    static constexpr std::string_view kRegisterSelector = "register:";
    static constexpr std::string_view kUpdateConfigSelector = "updateConfigWithConfig:completionHandler:";

    virtual ~ProviderCommunication() = default;
    // The `register:` message (`register` is a C++ keyword).
    virtual void registerApp(Reply completionHandler) = 0;
    // `configData` is the JSON of a NetworkExtConfig.
    virtual void updateConfigWithConfig(std::vector<std::uint8_t> configData, Reply completionHandler) = 0;

    static const platform::XPCInterface& interface();
    // Serves `implementation` on a connection; holds it, as the connection holds its exported object.
    static std::shared_ptr<platform::XPCExportedObject> exported(
        std::shared_ptr<ProviderCommunication> implementation);
    // Sends to the remote object; nullptr when the proxy does not conform to this protocol.
    static std::shared_ptr<ProviderCommunication> remote(platform::XPCRemoteProxy proxy);
};

}  // namespace kiv
