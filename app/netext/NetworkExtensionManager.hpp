#pragma once
// The application's one owner of the DNS-proxy extension: its activation (system-extension
// requests and their delegate callbacks, platform/sysext) and the DNS-proxy configuration (the
// preferences that kivdnsproxy follows, platform/neconfig), the registration with the running
// extension after each save, and the escalating retry after a failed save.
//
// Threads: the public operations may be called from any thread. Every field lives on the main
// queue: a call made elsewhere (the change observer's queue, the deactivation's global queue, the
// link's queue) is handed to the main queue first, so nothing here needs a lock. The state
// getters are for the main queue. Completions run on the main queue.
//
// Lifetime: shared() is made on first use and never released. Instances of tests come from
// make(); the retry and the system-extension requests hold them weakly.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/core/Settings.hpp"
#include "app/netext/ConnectivityCheck.hpp"
#include "app/netext/DNSResolver.hpp"
#include "app/netext/NetworkCheck.hpp"
#include "app/netext/Throttle.hpp"
#include "app/netext/VPNMonitor.hpp"
#include "app/netext/ipc/AppCommunication.hpp"
#include "app/netext/ipc/IPCConnection.hpp"
#include "app/netext/ipc/NetworkExtConfig.hpp"
#include "model/DeviceConfiguration.hpp"
#include "platform/Bundle.hpp"
#include "platform/SystemLog.hpp"
#include "platform/UserDefaults.hpp"
#include "platform/neconfig/NEDNSProxyManager.hpp"
#include "platform/sysext/OSSystemExtension.hpp"

namespace kiv {

enum class ExtensionStatus { userAccepted, configured, userDenied, userStopped, failedToInstall, notStarted };
using ExtensionStatusSet = std::set<ExtensionStatus>;

std::string_view rawValue(ExtensionStatus status);
// "[configured, userAccepted]": the members in declaration order.
std::string describe(const ExtensionStatusSet& state);

// The operations the shell and the change handling use; nothing calls through these.
class NetworkExtensionManagerInteraction {
public:
    virtual ~NetworkExtensionManagerInteraction() = default;
    virtual void activate() = 0;
    virtual void stopProxy() = 0;
};

class NetworkExtensionManagerChangeHandling {
public:
    virtual ~NetworkExtensionManagerChangeHandling() = default;
    virtual void unloadConfigurations(bool terminating,
                                      std::function<void(const std::optional<std::string>&)> completion) = 0;
};

class NetworkExtensionManager : public platform::OSSystemExtensionRequestDelegate,
                                public AppCommunication,
                                public NetworkExtensionManagerInteraction,
                                public NetworkExtensionManagerChangeHandling,
                                public std::enable_shared_from_this<NetworkExtensionManager> {
public:
    static constexpr const char* kExtensionIdentifier = "com.kiv.veltrax.KIVDNSProxy";
    static constexpr const char* kLocalizedDescription = "KIV DNS Proxy ";

    // An error's localized description; nothing on success.
    using Completion = std::function<void(const std::optional<std::string>& error)>;

    // What the manager works with; each absent member takes the process's own.
    struct Options {
        std::shared_ptr<platform::OSSystemExtensionManager> extensionManager;
        std::shared_ptr<platform::NEDNSProxyManager> dnsProxyManager;
        std::shared_ptr<IPCConnection> ipc;
        // The extension's bundle (default: the first bundle with the extension's identifier,
        // platform::systemExtensionBundle).
        std::function<std::optional<platform::Bundle>()> locateExtension;
        // The provider configuration's "internalIp" and "localDNS" (default: the NetworkCheck
        // service and the manager's DNSResolver).
        std::function<std::optional<std::string>()> primaryIPv4Address;
        std::function<std::vector<std::string>()> dnsAddresses;
    };

    // The process-wide manager, made on first use and never released.
    static NetworkExtensionManager& shared();
    static std::shared_ptr<NetworkExtensionManager> make(Options options);
    explicit NetworkExtensionManager(Options options);
    ~NetworkExtensionManager() override;

    // ---- activation ----
    void activate() override;
    // `completion` receives the deactivation's outcome; it replaces one still pending.
    void deactivate(Completion completion);

    // ---- DNS-proxy configuration ----
    // Enables or disables the proxy with `record`; dropped (completion never called) while an
    // attempt is under way or a quit is.
    void configureProxy(std::optional<NetworkExtConfig> record, bool enable, Completion completion);
    // Removes the configuration; `terminating` set keeps every later configureProxy away.
    void unloadConfigurations(bool terminating, Completion completion) override;
    void removeFromPreferences(bool terminating, Completion completion) {
        unloadConfigurations(terminating, std::move(completion));
    }
    // Loads the configuration and saves it disabled.
    void stopProxy() override;
    // The provider configuration ("VendorData") built from `record`; empty without one.
    nlohmann::json providerConfiguration(const std::optional<NetworkExtConfig>& record);

    // The extension's bundle, found on first use; the process stops when there is none.
    const platform::Bundle& extensionBundle();
    std::string preferencesPath() const;

    // ---- state (main queue) ----
    bool isTerminating() const;
    bool isConfiguring() const { return isConfiguring_; }
    const ExtensionStatusSet& extensionState() const { return extensionState_; }
    const std::string& status() const { return status_; }
    const std::optional<NetworkExtConfig>& savedNetworkConfig() const { return savedNetworkConfig_; }
    const Throttle& throttle() const { return throttle_; }
    bool enabledOnFirstLaunch() const { return enabledOnFirstLaunch_; }
    bool hasPendingDeactivation() const { return static_cast<bool>(deactivationComplete_); }

    // ---- system-extension request delegate (on the request's queue) ----
    platform::OSSystemExtensionReplacementAction actionForReplacingExtension(
        const platform::OSSystemExtensionRequest& request,
        const platform::OSSystemExtensionProperties& existing,
        const platform::OSSystemExtensionProperties& extension) override;
    void requestNeedsUserApproval(const platform::OSSystemExtensionRequest& request) override;
    void didFinishWithResult(const platform::OSSystemExtensionRequest& request,
                             platform::OSSystemExtensionRequestResult result) override;
    void didFailWithError(const platform::OSSystemExtensionRequest& request,
                          const platform::ErrorObject& error) override;

    // ---- the extension's reports (on the link's queue; handed to the main queue) ----
    void proxyStoppedWithReason(std::int64_t reason) override;
    void connectionErrorWithReason(platform::ErrorObject reason) override;

    // ---- change handling (main thread; resetExtension from any thread) ----
    // Decides from the event and the current network whether the proxy is enabled, disabled or
    // reset with `record`.
    void handleChange(ChangeType event, const NetworkExtConfig& record);
    // Disables the proxy, then enables it again with `record` once the disabling attempt ended.
    void resetExtension(NetworkExtConfig record);
    bool shouldEnableOnFirstLaunch();
    bool canEnableProxy();
    // The last save of the configuration failed; cleared by the next successful one. Kept apart
    // from the activation state so that the retry can enable the proxy again.
    bool lastSaveFailed() const { return lastSaveFailed_; }

protected:
    // The reactions to the extension's reports, on the main queue. Nothing here yet beyond a
    // log line: the change handling fills them in.
    virtual void handleProxyStopped(std::int64_t reason);  // fills in the change handling
    virtual void handleConnectionError(const platform::ErrorObject& error);

    // Fields of the change handling; main queue.
    void setExtensionState(ExtensionStatusSet state) { extensionState_ = std::move(state); }
    void setEnabledOnFirstLaunch(bool value) { enabledOnFirstLaunch_ = value; }
    std::optional<model::DeviceConfiguration> config_;

private:
    // Runs `task` now when on the main thread, else on the main queue.
    void onMain(std::function<void(NetworkExtensionManager&)> task);
    void setStatus(std::string text);
    void submit(const std::shared_ptr<platform::OSSystemExtensionRequest>& request);
    void finish(const platform::OSSystemExtensionRequest& request,
                platform::OSSystemExtensionRequestResult result);
    void fail(const platform::OSSystemExtensionRequest& request, const platform::ErrorObject& error);

    void configureProxyOnMain(std::optional<NetworkExtConfig> record, bool enable, Completion completion);
    void fillManager(const std::optional<NetworkExtConfig>& record, bool enable);
    void didSave();
    void saveFailed(const platform::ErrorObject& error);
    void saveFailure();
    bool blocked() const;  // the activation failed or has not happened
    bool networkAllowsProxy();
    void registerWithExtension();
    void configuringEnded();
    void removePreferences(Completion completion);

    Options options_;
    Injected<KIVLogger> _logger;
    Injected<NetworkCheck> _networkCheck;
    Injected<NotificationPublisher> _notificationPublisher;
    Injected<VPNMonitor> _vpnMonitor;
    Injected<Settings> _settings;
    platform::UserDefaultsPtr userDefaultsHelper_;
    std::unique_ptr<SanityCheck> sanityCheck_;
    bool isConfiguring_ = false;
    // An unload asked for while a configuration was being loaded and saved: it runs once that save
    // is done, so the save cannot bring back the preferences the unload removed.
    std::function<void()> unloadAfterConfiguring_;
    ExtensionStatusSet extensionState_{ExtensionStatus::notStarted};
    std::optional<NetworkExtConfig> savedNetworkConfig_;
    DNSResolverPtr dnsResolver_;
    Throttle throttle_;
    // One retry waits at a time: failures while it waits (other events' attempts) neither log nor
    // schedule another, so a save that keeps failing costs one attempt per delay. A successful
    // save disowns the waiting retry (generation).
    bool retryPending_ = false;
    std::uint64_t retryGeneration_ = 0;
    Completion deactivationComplete_;
    bool enabledOnFirstLaunch_ = false;
    bool lastSaveFailed_ = false;
    std::atomic<bool> isTerminating_{false};  // also read by the shell from any thread
    const platform::SystemLog log_{"com.veltrix.kiv.KIVDNSProxy", "app"};
    std::string status_;
    std::optional<platform::Bundle> extensionBundle_;
};

}  // namespace kiv
