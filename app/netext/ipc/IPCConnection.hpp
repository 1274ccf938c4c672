#pragma once
// The XPC link between the menu-bar application and the DNS-proxy extension; the same
// class is built into both. In the extension it listens on the mach service named in
// the extension's Info.plist, serves ProviderCommunication and tells the application
// when the proxy stops. In the application it connects to that service, registers,
// and exports the AppCommunication delegate.
//
// Threads: every member may be called from any thread. Replies and error handlers
// arrive on the connection's queue. The members are guarded by one lock, which is
// never held while a handler, a completion or the peer is called.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/netext/ipc/AppCommunication.hpp"
#include "app/netext/ipc/NetworkExtConfig.hpp"
#include "app/netext/ipc/ProviderCommunication.hpp"
#include "platform/Bundle.hpp"
#include "platform/SystemLog.hpp"
#include "platform/xpc/MutexGuarded.hpp"
#include "platform/xpc/XPCListener.hpp"

namespace kiv {

class IPCConnection final : public platform::XPCListenerDelegate,
                            public ProviderCommunication,
                            public std::enable_shared_from_this<IPCConnection> {
public:
    static constexpr const char* kLogSubsystem = "com.veltrix.kiv.KIVDNSProxy";
    static constexpr const char* kLogCategory = "app";
    // Names the group whose members may connect to the extension's link (default "kiv").
    static constexpr const char* kLinkGroupEnv = "KIV_LINK_GROUP";

    // The process's instance, made on first use.
    static std::shared_ptr<IPCConnection> shared();
    // An instance of its own (tests run both ends in one process).
    static std::shared_ptr<IPCConnection> create();

    // The Info.plist's "NetworkExtension" dictionary's "NEMachServiceName" text. Stops
    // the process with "Mach service name is missing from the Info.plist" when absent.
    static std::string machServiceName(const platform::Bundle& bundle);

    // Application side: connects to the extension in `extensionBundle` and sends `register:`;
    // `completionHandler` gets the extension's reply, "already registered" when a connection
    // exists, or the failure text. Not called when the proxy cannot be made. The connection is
    // dropped when the extension goes away, so a registration after its restart connects anew.
    void registerWithExtension(const platform::Bundle& extensionBundle,
                               const std::weak_ptr<AppCommunication>& delegate,
                               std::function<void(std::string)> completionHandler);

    // Extension side: listens on the main bundle's mach service (an earlier listener is
    // invalidated first).
    void startListener();
    bool shouldAcceptNewConnection(platform::XPCListener& listener,
                                   const std::shared_ptr<platform::XPCConnection>& newConnection) override;
    void registerApp(Reply completionHandler) override;
    void updateConfigWithConfig(std::vector<std::uint8_t> configData, Reply completionHandler) override;
    // Tells the application the proxy stopped; true when the message was handed to its proxy.
    bool proxyStopped(std::int64_t reason);

    // Prints "Fetching device config", then the reason on failure, to standard output.
    static std::optional<NetworkExtConfig> decodeNetworkConfig(const std::vector<std::uint8_t>& data);

    std::shared_ptr<platform::XPCListener> listener();
    std::shared_ptr<platform::XPCConnection> currentConnection();
    std::optional<NetworkExtConfig> networkConfig();
    const platform::SystemLog& log() const { return log_; }

    IPCConnection() = default;

private:
    struct Members {
        std::shared_ptr<platform::XPCListener> listener;
        std::shared_ptr<platform::XPCConnection> currentConnection;
        std::optional<NetworkExtConfig> networkConfig;
        std::weak_ptr<AppCommunication> delegate;
        std::shared_ptr<ProviderCommunication> providerProxy;
    };

    // Forgets `connection` when it is still the current one; a newer one stays.
    void dropConnection(const std::shared_ptr<platform::XPCConnection>& connection);

    platform::MutexGuarded<Members> members_;
    const platform::SystemLog log_{kLogSubsystem, kLogCategory};
};

}  // namespace kiv
