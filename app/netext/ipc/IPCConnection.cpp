#include "app/netext/ipc/IPCConnection.hpp"

#include <cstdlib>
#include <iostream>
#include <utility>

#include "model/JSONCoder.hpp"
#include "platform/NoDestructor.hpp"

namespace kiv {
namespace {

// The platform's default log: no subsystem, no category.
const platform::SystemLog& defaultLog() {
    static platform::NoDestructor<platform::SystemLog> log("", "");
    return *log;
}

[[noreturn]] void stopProcess(std::string_view message) {
    platform::SystemLog(IPCConnection::kLogSubsystem, IPCConnection::kLogCategory)
        .log(platform::LogType::fault, message);
    std::cerr << "BrannockCloud/IPCConnection: Fatal error: " << message << std::endl;
    std::abort();
}

// The link is the application's: only root and the members of the group that the
// installation puts the application's users in may connect. The largest message is a
// configuration (up to 1 MiB of JSON, base64-encoded in the frame).
platform::XPCListenerLimits linkLimits() {
    platform::XPCListenerLimits limits;
    const char* group = std::getenv(IPCConnection::kLinkGroupEnv);
    limits.accessGroup = group != nullptr && *group != '\0' ? group : "kiv";
    limits.perConnection.maxFrameSize = 2 * 1024 * 1024;
    return limits;
}

std::string displayNameOrUnknown() { return platform::Bundle::main().displayName().value_or("unknown"); }

}  // namespace

std::shared_ptr<IPCConnection> IPCConnection::shared() {
    static platform::NoDestructor<std::shared_ptr<IPCConnection>> instance(create());
    return *instance;
}

std::shared_ptr<IPCConnection> IPCConnection::create() { return std::make_shared<IPCConnection>(); }

std::string IPCConnection::machServiceName(const platform::Bundle& bundle) {
    const auto* networkExtension = bundle.objectForInfoDictionaryKey("NetworkExtension");
    if (networkExtension != nullptr && networkExtension->is_object()) {
        auto it = networkExtension->find("NEMachServiceName");
        if (it != networkExtension->end() && it->is_string()) return it->get<std::string>();
    }
    stopProcess("Mach service name is missing from the Info.plist");
}

void IPCConnection::dropConnection(const std::shared_ptr<platform::XPCConnection>& connection) {
    std::shared_ptr<platform::XPCConnection> dropped;
    std::shared_ptr<ProviderCommunication> droppedProxy;
    auto m = members_.lock();
    if (!connection || m->currentConnection != connection) return;
    dropped = std::move(m->currentConnection);
    m->currentConnection.reset();
    droppedProxy = std::move(m->providerProxy);  // it sends on the same connection
    m->providerProxy.reset();
}

// ---- application side ----

void IPCConnection::registerWithExtension(const platform::Bundle& extensionBundle,
                                          const std::weak_ptr<AppCommunication>& delegate,
                                          std::function<void(std::string)> completionHandler) {
    std::shared_ptr<platform::XPCConnection> connection;
    std::shared_ptr<platform::XPCConnection> released;
    {
        auto m = members_.lock();
        m->delegate = delegate;
        if (!m->currentConnection) {
            connection = platform::XPCConnection::makeWithMachServiceName(machServiceName(extensionBundle));
            connection->setExportedInterface(AppCommunication::interface());
            if (auto exported = delegate.lock())
                connection->setExportedObject(AppCommunication::exported(exported));
            connection->setRemoteObjectInterface(ProviderCommunication::interface());
            // When the extension goes away (it restarts, or it is stopped), the connection is
            // forgotten, so that the next registration connects and registers anew; otherwise
            // it would answer "already registered" forever and the new extension's stop
            // reports would have nobody to go to.
            std::weak_ptr<IPCConnection> weakSelf = weak_from_this();
            std::weak_ptr<platform::XPCConnection> weakConnection = connection;
            connection->setInvalidationHandler([weakSelf, weakConnection] {
                if (auto self = weakSelf.lock()) self->dropConnection(weakConnection.lock());
            });
            connection->setInterruptionHandler([weakConnection] {
                if (auto lost = weakConnection.lock()) lost->invalidate();
            });
            released = std::exchange(m->currentConnection, connection);
        }
    }
    if (!connection) {
        defaultLog().notice("Already registered with the provider");
        completionHandler("already registered");
        return;
    }
    connection->resume();

    std::weak_ptr<IPCConnection> weakSelf = weak_from_this();
    std::weak_ptr<platform::XPCConnection> weakConnection = connection;
    auto proxy = connection->remoteObjectProxyWithErrorHandler(
        [weakSelf, weakConnection, completionHandler](const platform::ErrorObject& error) {
            const std::string description = error.localizedDescription();
            defaultLog().notice("Failed to register with the provider: " + description);
            const std::string text = "Failed to register with the provider: " + description + ")";
            // The connection this message went out on, not whatever is current now.
            if (auto failed = weakConnection.lock()) {
                failed->invalidate();
                if (auto self = weakSelf.lock()) self->dropConnection(failed);
            }
            completionHandler(text);
        });
    auto provider = ProviderCommunication::remote(std::move(proxy));
    if (!provider) {
        log_.info("Failed to create a remote object proxy for the provider");
        return;
    }
    {
        auto m = members_.lock();
        if (m->currentConnection == connection) m->providerProxy = provider;
    }
    provider->registerApp(std::move(completionHandler));
}

// ---- extension side ----

void IPCConnection::startListener() {
    const std::string serviceName = machServiceName(platform::Bundle::main());
    defaultLog().notice("Starting XPC listener for mach service " + serviceName);
    std::shared_ptr<platform::XPCListener> previous;
    {
        auto m = members_.lock();
        previous = std::move(m->listener);
        m->listener.reset();
    }
    if (previous) previous->invalidate();  // frees the name for the new one
    auto listener = platform::XPCListener::makeWithMachServiceName(serviceName);
    listener->setDelegate(std::static_pointer_cast<platform::XPCListenerDelegate>(shared_from_this()));
    listener->setLimits(linkLimits());
    listener->resume();  // a failure is logged by the listener
    members_.lock()->listener = std::move(listener);
}

bool IPCConnection::shouldAcceptNewConnection(platform::XPCListener&,
                                              const std::shared_ptr<platform::XPCConnection>& newConnection) {
    newConnection->setExportedInterface(ProviderCommunication::interface());
    newConnection->setExportedObject(
        ProviderCommunication::exported(std::static_pointer_cast<ProviderCommunication>(shared_from_this())));
    newConnection->setRemoteObjectInterface(AppCommunication::interface());
    std::weak_ptr<IPCConnection> weakSelf = weak_from_this();
    std::weak_ptr<platform::XPCConnection> weakConnection = newConnection;
    auto forget = [weakSelf, weakConnection] {
        if (auto self = weakSelf.lock()) self->dropConnection(weakConnection.lock());
    };
    newConnection->setInvalidationHandler(forget);
    newConnection->setInterruptionHandler(forget);
    std::shared_ptr<platform::XPCConnection> released;
    {
        auto m = members_.lock();
        // An earlier connection is released, not invalidated; its handlers no longer touch this one.
        released = std::exchange(m->currentConnection, newConnection);
    }
    newConnection->resume();
    return true;
}

void IPCConnection::registerApp(Reply completionHandler) {
    completionHandler("Registered extension " + displayNameOrUnknown());
}

void IPCConnection::updateConfigWithConfig(std::vector<std::uint8_t> configData, Reply completionHandler) {
    log_.info("Received configData from the app");
    auto config = decodeNetworkConfig(configData);
    if (config) {
        members_.lock()->networkConfig = std::move(*config);
        completionHandler(displayNameOrUnknown() + " updated config");
    } else {
        completionHandler(displayNameOrUnknown() + " failed to unwrap the config");
    }
}

std::optional<NetworkExtConfig> IPCConnection::decodeNetworkConfig(const std::vector<std::uint8_t>& data) {
    std::cout << "Fetching device config" << std::endl;
    const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
    auto decoded = model::JSONDecoder{}.decode<NetworkExtConfig>(bytes);
    if (!decoded) {
        std::cout << "Unable to decode device config (" << decoded.error().description() << ")" << std::endl;
        return std::nullopt;
    }
    return std::move(*decoded);
}

bool IPCConnection::proxyStopped(std::int64_t reason) {
    auto connection = currentConnection();
    if (!connection) {
        defaultLog().notice("Cannot prompt user because the app isn't registered");
        return false;
    }
    std::weak_ptr<IPCConnection> weakSelf = weak_from_this();
    std::weak_ptr<platform::XPCConnection> weakConnection = connection;
    auto proxy = connection->remoteObjectProxyWithErrorHandler(
        [weakSelf, weakConnection, log = log_](const platform::ErrorObject& error) {
            log.info("Failed to prompt the user: " + error.localizedDescription());
            if (auto self = weakSelf.lock()) self->dropConnection(weakConnection.lock());
        });
    auto app = AppCommunication::remote(std::move(proxy));
    if (!app) {
        log_.info("Failed to create a remote object proxy for the app");
        return false;
    }
    app->proxyStoppedWithReason(reason);
    return true;
}

std::shared_ptr<platform::XPCListener> IPCConnection::listener() { return members_.lock()->listener; }

std::shared_ptr<platform::XPCConnection> IPCConnection::currentConnection() {
    return members_.lock()->currentConnection;
}

std::optional<NetworkExtConfig> IPCConnection::networkConfig() { return members_.lock()->networkConfig; }

}  // namespace kiv
