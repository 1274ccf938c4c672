#include "dnsproxy/DNSProxyProvider.hpp"

#include <algorithm>

#include "dnsproxy/ProxyLog.hpp"

namespace dnsproxy {

using platform::ne::NEProviderStopReason;

namespace {

std::atomic<std::uint64_t> nextGeneration{1};

std::uint64_t newGeneration() { return nextGeneration.fetch_add(1, std::memory_order_relaxed); }

// The shard of the flow set a thread admits into. Threads take turns, so that the
// host's threads, each serving its own socket, each get a shard to themselves.
std::size_t threadShard(std::size_t shards) {
    static std::atomic<std::size_t> next{0};
    thread_local const std::size_t mine = next.fetch_add(1, std::memory_order_relaxed);
    return mine % shards;
}

}  // namespace

struct DNSProxyProvider::Admission {
    std::uint64_t generation = 0;  // no provider's
    bool valid = false;
    FlowConfigurationPtr flowConfig;
};

std::shared_ptr<DNSProxyProvider> DNSProxyProvider::make(ProxySettings settings,
                                                         std::shared_ptr<AppLink> appLink) {
    return std::make_shared<DNSProxyProvider>(std::move(settings), std::move(appLink));
}

DNSProxyProvider::DNSProxyProvider(ProxySettings settings, std::shared_ptr<AppLink> appLink)
    : log(&providerLog()),
      ipAddress(""),
      settings_(std::move(settings)),
      appLink_(std::move(appLink)),
      generation_(newGeneration()) {
    if (!appLink_) appLink_ = makeDefaultAppLink();
}

void DNSProxyProvider::startProxy(const platform::ne::StartOptions& options,
                                  platform::ne::StartCompletion completion) {
    log->debug("KIVDNSProxyProvider: startProxy");
    std::optional<DefaultConfiguration> parsed;
    const nlohmann::json* vendorData = nullptr;
    if (options && options->is_object() && !options->empty()) {
        const auto found = options->find("VendorData");
        if (found != options->end()) vendorData = &*found;
        if (vendorData && vendorData->is_object()) parsed = makeDefaultConfiguration(*vendorData);
    }
    reportConfiguration(vendorData);
    // What the flows derive from the configuration (its option bytes, the computer's
    // DNS servers) is made before the configuration is published, so that no flow is
    // admitted with half of it.
    std::optional<DefaultConfiguration> effective = parsed;
    if (!effective) effective = providerConfig();
    FlowConfigurationPtr flowConfig = effective ? makeFlowConfiguration(*effective, settings_) : nullptr;
    {
        std::lock_guard lock(mutex_);
        if (parsed) state_.providerConfig = std::move(parsed);
        if (state_.providerConfig) {
            state_.haveValidConfig = state_.providerConfig->isValid();
            state_.flowConfig = std::move(flowConfig);
            publishLocked();
        }
    }
    if (completion) completion(std::nullopt);
}

void DNSProxyProvider::reportConfiguration(const nlohmann::json* vendorData) const {
    // Said once per start, as errors: a start never fails, so these lines are the
    // only sign of a proxy that drops every query or leaves a rule unused.
    if (vendorData && vendorData->is_object()) {
        for (const auto& problem : configurationProblems(*vendorData)) {
            log->error("Provider configuration: " + problem);
        }
        return;
    }
    const bool kept = providerConfig().has_value();
    if (vendorData) {
        log->error(std::string("Provider configuration: \"VendorData\" is not a dictionary: ") +
                   (kept ? "the earlier configuration stays" : "the proxy takes no queries"));
    } else if (!kept) {
        log->error("Provider configuration: none was given: the proxy takes no queries");
    }
}

void DNSProxyProvider::refreshNetworkInterfaces() {
    const auto config = providerConfig();
    if (!config) return;
    auto flowConfig = makeFlowConfiguration(*config, settings_);
    std::lock_guard lock(mutex_);
    state_.flowConfig = std::move(flowConfig);
    publishLocked();
}

void DNSProxyProvider::publishLocked() { generation_.store(newGeneration()); }

const DNSProxyProvider::Admission& DNSProxyProvider::admission() {
    // Generations are unique in the process, so a copy made for another provider is
    // never taken for this one's.
    thread_local Admission cached;
    if (cached.generation != generation_.load()) {
        std::lock_guard lock(mutex_);
        cached.generation = generation_.load();
        cached.valid = state_.haveValidConfig;
        cached.flowConfig = state_.flowConfig;
    }
    return cached;
}

std::vector<DNSProxyUDPFlowPtr> DNSProxyProvider::takeAllFlows() {
    std::vector<DNSProxyUDPFlowPtr> flows;
    for (auto& shard : shards_) {
        std::lock_guard lock(shard.mutex);
        flows.insert(flows.end(), shard.flows.begin(), shard.flows.end());
        shard.flows.clear();
    }
    return flows;
}

void DNSProxyProvider::stopProxy(NEProviderStopReason reason, std::function<void()> completion) {
    logDebug(*log, [&] {
        return "KIVDNSProxyProvider: stopProxy " + std::to_string(static_cast<std::int64_t>(reason));
    });
    appLink_->proxyStopped(static_cast<std::int64_t>(reason));
    {
        std::lock_guard lock(mutex_);
        state_.haveValidConfig = false;
        publishLocked();
    }
    // From here on no admission lists a flow: one that read the configuration before
    // is either taken here or sees the change and withdraws.
    const auto taken = takeAllFlows();
    {
        std::lock_guard lock(mutex_);
        auto& detached = state_.detachedFlows;
        detached.erase(
            std::remove_if(detached.begin(), detached.end(), [](const auto& w) { return w.expired(); }),
            detached.end());
        detached.insert(detached.end(), taken.begin(), taken.end());
    }
    if (completion) completion();
}

void DNSProxyProvider::sleep(std::function<void()> completion) {
    log->debug("KIVDDNSProxyProvider: sleep");
    if (completion) completion();
}

void DNSProxyProvider::wake() { log->debug("KIVDDNSProxyProvider: wake"); }

bool DNSProxyProvider::handleNewFlow(const std::shared_ptr<platform::ne::NEAppProxyFlow>&) { return false; }

bool DNSProxyProvider::handleNewUDPFlow(const std::shared_ptr<platform::ne::NEAppProxyUDPFlow>& flow,
                                        const platform::ne::NWEndpoint&) {
    if (!flow) return false;
    const Admission& admitted = admission();
    if (!admitted.valid) return false;
    auto proxyFlow = platform::makePooled<DNSProxyUDPFlow>(flow, *log, admitted.flowConfig, settings_);
    // Weak: a flow listed in the set must not keep the provider alive in turn.
    proxyFlow->flowCompletion = [provider = weak_from_this()](DNSProxyUDPFlow& completed,
                                                              std::optional<platform::ne::FlowError>) {
        if (auto strong = provider.lock()) strong->flowCompleted(completed);
    };
    proxyFlow->shard = threadShard(kShards);
    {
        auto& shard = shards_[proxyFlow->shard];
        std::lock_guard lock(shard.mutex);
        // The configuration changed since it was read: a stop in between has taken
        // (or will take) this shard's flows without this one, which is refused; a
        // new configuration is the one this flow serves with.
        if (generation_.load() != admitted.generation) {
            std::lock_guard configLock(mutex_);
            if (!state_.haveValidConfig) return false;
            proxyFlow->providerConfig = state_.flowConfig;
        }
        shard.flows.insert(proxyFlow);
    }
    proxyFlow->open();
    return true;
}

void DNSProxyProvider::flowCompleted(DNSProxyUDPFlow& flow) {
    const std::int64_t now = settings_.clock->monotonic().count();
    const std::int64_t limit = settings_.sweepIdleLimit.count();
    {
        auto& shard = shards_[flow.shard % kShards];
        std::lock_guard lock(shard.mutex);
        shard.flows.erase(flow.shared_from_this());
    }
    // A scan costs a look at every live flow: at most one per sweep interval.
    std::int64_t last = lastSweep_.load();
    if (last != INT64_MIN && now - last < settings_.sweepInterval.count()) return;
    if (!lastSweep_.compare_exchange_strong(last, now)) return;
    std::vector<DNSProxyUDPFlowPtr> idle;
    for (auto& shard : shards_) {
        std::lock_guard lock(shard.mutex);
        for (const auto& other : shard.flows) {
            const auto since = other->upstreamReceiveTime();
            if (since != kNoUpstream && now - since > limit) idle.push_back(other);
        }
    }
    for (const auto& other : idle) other->cancelIdleUpstream(now, limit);
}

void DNSProxyProvider::endAllFlows() {
    auto flows = currentFlows();
    {
        std::lock_guard lock(mutex_);
        for (const auto& weak : state_.detachedFlows) {
            if (auto flow = weak.lock()) flows.push_back(std::move(flow));
        }
        state_.detachedFlows.clear();
    }
    for (const auto& flow : flows) flow->abandon();
}

bool DNSProxyProvider::haveValidConfig() const {
    std::lock_guard lock(mutex_);
    return state_.haveValidConfig;
}

std::optional<DefaultConfiguration> DNSProxyProvider::providerConfig() const {
    std::lock_guard lock(mutex_);
    return state_.providerConfig;
}

std::size_t DNSProxyProvider::flowCount() const {
    std::size_t count = 0;
    for (const auto& shard : shards_) {
        std::lock_guard lock(shard.mutex);
        count += shard.flows.size();
    }
    return count;
}

std::vector<DNSProxyUDPFlowPtr> DNSProxyProvider::currentFlows() const {
    std::vector<DNSProxyUDPFlowPtr> flows;
    for (const auto& shard : shards_) {
        std::lock_guard lock(shard.mutex);
        flows.insert(flows.end(), shard.flows.begin(), shard.flows.end());
    }
    return flows;
}

}  // namespace dnsproxy
