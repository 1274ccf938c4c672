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
// threads; flows complete on their queues. The configuration is guarded by one
// lock, which a flow's admission takes only after the configuration changed (each
// thread keeps what it last read, checked against a generation number). The flow
// set is split in shards, each with its own lock, and a thread admits into a shard
// of its own, so that threads serving queries at once do not wait for each other.
// No callback runs under a lock. Made with make().
#include <array>
#include <atomic>
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
        // Flows dropped from the set by a stop; still running until they end.
        std::vector<std::weak_ptr<DNSProxyUDPFlow>> detachedFlows;
    };
    struct alignas(64) Shard {
        mutable std::mutex mutex;
        // Guarded by mutex; its nodes come from the thread's pool of blocks.
        std::unordered_set<DNSProxyUDPFlowPtr, std::hash<DNSProxyUDPFlowPtr>,
                           std::equal_to<DNSProxyUDPFlowPtr>, platform::PoolAllocator<DNSProxyUDPFlowPtr>>
            flows;
    };
    static constexpr std::size_t kShards = 16;

    // Under mutex_, after haveValidConfig or flowConfig changed.
    void publishLocked();
    // What an admission reads: the calling thread's copy, renewed when stale.
    struct Admission;
    const Admission& admission();
    std::vector<DNSProxyUDPFlowPtr> takeAllFlows();

    ProxySettings settings_;
    std::shared_ptr<AppLink> appLink_;
    mutable std::mutex mutex_;
    State state_;  // guarded by mutex_
    // Unique in the process (a provider made later never reuses one), set under mutex_.
    std::atomic<std::uint64_t> generation_;
    std::array<Shard, kShards> shards_;
    std::atomic<std::int64_t> lastSweep_{INT64_MIN};
};

}  // namespace dnsproxy
