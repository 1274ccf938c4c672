#include "app/netext/ipc/AppCommunication.hpp"

#include "platform/NoDestructor.hpp"

namespace kiv {
namespace {

using platform::XPCType;
using platform::XPCValue;

class Exported final : public platform::XPCExportedObject {
public:
    explicit Exported(std::shared_ptr<AppCommunication> implementation) : impl_(std::move(implementation)) {}

    void invoke(platform::XPCInvocation invocation) override {
        // The connection has checked the arguments against interface().
        if (invocation.selector == AppCommunication::kProxyStoppedSelector) {
            impl_->proxyStoppedWithReason(*invocation.arguments[0].integer());
        } else if (invocation.selector == AppCommunication::kConnectionErrorSelector) {
            impl_->connectionErrorWithReason(*invocation.arguments[0].error());
        }
    }

private:
    std::shared_ptr<AppCommunication> impl_;
};

class Remote final : public AppCommunication {
public:
    explicit Remote(platform::XPCRemoteProxy proxy) : proxy_(std::move(proxy)) {}

    void proxyStoppedWithReason(std::int64_t reason) override {
        proxy_.send(kProxyStoppedSelector, {XPCValue{reason}});
    }
    void connectionErrorWithReason(platform::ErrorObject reason) override {
        proxy_.send(kConnectionErrorSelector, {XPCValue{std::move(reason)}});
    }

private:
    platform::XPCRemoteProxy proxy_;
};

}  // namespace

const platform::XPCInterface& AppCommunication::interface() {
    // Never destroyed: a link thread may still copy it while the process exits.
    static platform::NoDestructor<const platform::XPCInterface> protocol(platform::XPCInterface(
        std::string(kProtocolName), {
                                        {std::string(kProxyStoppedSelector), {{XPCType::integer}}, {}},
                                        {std::string(kConnectionErrorSelector), {{XPCType::error}}, {}},
                                    }));
    return *protocol;
}

std::shared_ptr<platform::XPCExportedObject> AppCommunication::exported(
    std::shared_ptr<AppCommunication> implementation) {
    return std::make_shared<Exported>(std::move(implementation));
}

std::shared_ptr<AppCommunication> AppCommunication::remote(platform::XPCRemoteProxy proxy) {
    if (!proxy.conformsTo(kProtocolName)) return nullptr;
    return std::make_shared<Remote>(std::move(proxy));
}

}  // namespace kiv
