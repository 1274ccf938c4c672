#include "app/netext/ipc/ProviderCommunication.hpp"

#include "platform/NoDestructor.hpp"

namespace kiv {
namespace {

using platform::XPCArguments;
using platform::XPCType;
using platform::XPCValue;

class Exported final : public platform::XPCExportedObject {
public:
    explicit Exported(std::shared_ptr<ProviderCommunication> implementation)
        : impl_(std::move(implementation)) {}

    void invoke(platform::XPCInvocation invocation) override {
        // The connection has checked the arguments against interface().
        ProviderCommunication::Reply reply = [r = invocation.reply](std::string text) {
            r({XPCValue{std::move(text)}});
        };
        if (invocation.selector == ProviderCommunication::kRegisterSelector) {
            impl_->registerApp(std::move(reply));
        } else if (invocation.selector == ProviderCommunication::kUpdateConfigSelector) {
            impl_->updateConfigWithConfig(*invocation.arguments[0].data(), std::move(reply));
        }
    }

private:
    std::shared_ptr<ProviderCommunication> impl_;
};

class Remote final : public ProviderCommunication {
public:
    explicit Remote(platform::XPCRemoteProxy proxy) : proxy_(std::move(proxy)) {}

    void registerApp(Reply completionHandler) override {
        proxy_.send(kRegisterSelector, {},
                    [completionHandler](XPCArguments reply) { completionHandler(*reply[0].text()); });
    }
    void updateConfigWithConfig(std::vector<std::uint8_t> configData, Reply completionHandler) override {
        proxy_.send(kUpdateConfigSelector, {XPCValue{std::move(configData)}},
                    [completionHandler](XPCArguments reply) { completionHandler(*reply[0].text()); });
    }

private:
    platform::XPCRemoteProxy proxy_;
};

}  // namespace

const platform::XPCInterface& ProviderCommunication::interface() {
    // Never destroyed: a link thread may still copy it while the process exits.
    static platform::NoDestructor<const platform::XPCInterface> protocol(platform::XPCInterface(
        std::string(kProtocolName),
        {
            {std::string(kRegisterSelector), {}, std::vector<platform::XPCParameter>{{XPCType::text}}},
            {std::string(kUpdateConfigSelector),
             {{XPCType::data}},
             std::vector<platform::XPCParameter>{{XPCType::text}}},
        }));
    return *protocol;
}

std::shared_ptr<platform::XPCExportedObject> ProviderCommunication::exported(
    std::shared_ptr<ProviderCommunication> implementation) {
    return std::make_shared<Exported>(std::move(implementation));
}

std::shared_ptr<ProviderCommunication> ProviderCommunication::remote(platform::XPCRemoteProxy proxy) {
    if (!proxy.conformsTo(kProtocolName)) return nullptr;
    return std::make_shared<Remote>(std::move(proxy));
}

}  // namespace kiv
