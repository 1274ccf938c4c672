#pragma once
// The DNS-proxy provider: takes its configuration from the "VendorData" start
// option, refuses every flow while that configuration is not valid, wraps each
// admitted UDP flow in a DNSProxyUDPFlow and keeps the set of live flows. When a
// flow completes, the upstream connections of other flows idle longer than the
// sweep limit are cancelled (on their own queues), which ends those flows. A start
// never fails; it logs, as errors, why its configuration would leave queries
// dropped or a rule unused (configurationProblems).
//
// Threads: the host calls start/stop one at a time and offers flows from several
// threads; flows complete on their queues. The configuration and the flow set are
// guarded by one lock, and no callback runs under it. Made with make().
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <vector>

#include "dnsproxy/AppLink.hpp"
#include "dnsproxy/DNSProxyUDPFlow.hpp"
#include "dnsproxy/DefaultConfiguration.hpp"
#include "dnsproxy/FlowConfiguration.hpp"
#include "dnsproxy/ProxySettings.hpp"
#include "platform/SystemLog.hpp"
#include "platform/ne/NEDNSProxyProvider.hpp"

namespace dnsproxy {

class DNSProxyProvider final : public platform::ne::NEDNSProxyProvider,
                               public std::enable_shared_from_this<DNSProxyProvider> {
public:
    static std::shared_ptr<DNSProxyProvider> make(ProxySettings settings = {},
                                                  std::shared_ptr<AppLink> appLink = makeDefaultAppLink());

    void startProxy(const platform::ne::StartOptions& options,
                    platform::ne::StartCompletion completion) override;
    void stopProxy(platform::ne::NEProviderStopReason reason, std::function<void()> completion) override;
    void sleep(std::function<void()> completion) override;
    void wake() override;
    bool handleNewFlow(const std::shared_ptr<platform::ne::NEAppProxyFlow>& flow) override;
    bool handleNewUDPFlow(const std::shared_ptr<platform::ne::NEAppProxyUDPFlow>& flow,
                          const platform::ne::NWEndpoint& remoteEndpoint) override;

    // The completion sweep.
    void flowCompleted(DNSProxyUDPFlow& flow);
    // Re-reads what the flows take from the computer (its DNS servers) at each start.
    void refreshNetworkInterfaces();
    // Ends every flow still running, listed or not (shutdown).
    void endAllFlows();

    static DefaultConfiguration makeDefaultConfiguration(const nlohmann::json& vendorData) {
        return dnsproxy::makeDefaultConfiguration(vendorData);
    }
    static std::optional<model::ForwardingRule> makeForwardingRule(const nlohmann::json& filterEntry) {
        return dnsproxy::makeForwardingRule(filterEntry);
    }

    // Observers (tests and the host).
    bool haveValidConfig() const;
    std::optional<DefaultConfiguration> providerConfig() const;
    std::size_t flowCount() const;
    std::vector<DNSProxyUDPFlowPtr> currentFlows() const;
    const ProxySettings& settings() const { return settings_; }

    DNSProxyProvider(ProxySettings settings, std::shared_ptr<AppLink> appLink);

    const platform::SystemLog* log;
    const std::string ipAddress;

private:
    // Logs why the configuration a start brings (or its lack) leaves queries dropped
    // or rules unused. A start that brings none reuses the kept one, already judged.
    void reportConfiguration(const nlohmann::json* vendorData) const;

    struct State {
        std::optional<DefaultConfiguration> providerConfig;
        FlowConfigurationPtr flowConfig;  // built from providerConfig at each start
        bool haveValidConfig = false;
        std::unordered_set<DNSProxyUDPFlowPtr> currentFlows;
        // Flows dropped from the set by a stop; still running until they end.
        std::vector<std::weak_ptr<DNSProxyUDPFlow>> detachedFlows;
        std::int64_t lastSweep = INT64_MIN;
    };

    ProxySettings settings_;
    std::shared_ptr<AppLink> appLink_;
    mutable std::mutex mutex_;
    State state_;  // guarded by mutex_
};

}  // namespace dnsproxy
