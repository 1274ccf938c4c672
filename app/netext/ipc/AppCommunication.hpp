#pragma once
// The application's XPC protocol, which the extension calls: `proxyStoppedWithReason:`
// (the provider's stop reason) and `connectionErrorWithReason:`, neither with a reply.
// exported() serves an implementation on a connection; remote() calls the other side.
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/xpc/XPCConnection.hpp"

namespace kiv {

class AppCommunication {
public:
    static constexpr std::string_view kProtocolName = "AppCommunication";
    static constexpr std::string_view kProxyStoppedSelector = "proxyStoppedWithReason:";
    static constexpr std::string_view kConnectionErrorSelector = "connectionErrorWithReason:";

    virtual ~AppCommunication() = default;
    virtual void proxyStoppedWithReason(std::int64_t reason) = 0;
    virtual void connectionErrorWithReason(platform::ErrorObject reason) = 0;

    static const platform::XPCInterface& interface();
    // Serves `implementation` on a connection; holds it, as the connection holds its exported object.
    static std::shared_ptr<platform::XPCExportedObject> exported(
        std::shared_ptr<AppCommunication> implementation);
    // Sends to the remote object; nullptr when the proxy does not conform to this protocol.
    static std::shared_ptr<AppCommunication> remote(platform::XPCRemoteProxy proxy);
};

}  // namespace kiv
