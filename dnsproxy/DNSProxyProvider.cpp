#include "dnsproxy/DNSProxyProvider.hpp"

#include <algorithm>

#include "dnsproxy/ProxyLog.hpp"

namespace dnsproxy {

using platform::ne::NEProviderStopReason;

std::shared_ptr<DNSProxyProvider> DNSProxyProvider::make(ProxySettings settings,
                                                         std::shared_ptr<AppLink> appLink) {
    return std::make_shared<DNSProxyProvider>(std::move(settings), std::move(appLink));
}

DNSProxyProvider::DNSProxyProvider(ProxySettings settings, std::shared_ptr<AppLink> appLink)
    : log(&providerLog()), ipAddress(""), settings_(std::move(settings)), appLink_(std::move(appLink)) {
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
}

void DNSProxyProvider::stopProxy(NEProviderStopReason reason, std::function<void()> completion) {
    logDebug(*log, [&] {
        return "KIVDNSProxyProvider: stopProxy " + std::to_string(static_cast<std::int64_t>(reason));
    });
    appLink_->proxyStopped(static_cast<std::int64_t>(reason));
    {
        std::lock_guard lock(mutex_);
        state_.haveValidConfig = false;
        auto& detached = state_.detachedFlows;
        detached.erase(
            std::remove_if(detached.begin(), detached.end(), [](const auto& w) { return w.expired(); }),
            detached.end());
        for (const auto& flow : state_.currentFlows) detached.push_back(flow);
        state_.currentFlows.clear();
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
    DNSProxyUDPFlowPtr proxyFlow;
    {
        std::lock_guard lock(mutex_);
        if (!state_.haveValidConfig) return false;
        proxyFlow = std::make_shared<DNSProxyUDPFlow>(flow, *log, state_.flowConfig, settings_);
        // Weak: a flow listed in the set must not keep the provider alive in turn.
        proxyFlow->flowCompletion = [provider = weak_from_this()](DNSProxyUDPFlow& completed,
                                                                  std::optional<platform::ne::FlowError>) {
            if (auto strong = provider.lock()) strong->flowCompleted(completed);
        };
        state_.currentFlows.insert(proxyFlow);
    }
    proxyFlow->open();
    return true;
}

void DNSProxyProvider::flowCompleted(DNSProxyUDPFlow& flow) {
    const std::int64_t now = settings_.clock->monotonic().count();
    const std::int64_t limit = settings_.sweepIdleLimit.count();
    std::vector<DNSProxyUDPFlowPtr> idle;
    {
        std::lock_guard lock(mutex_);
        state_.currentFlows.erase(flow.shared_from_this());
        // A scan costs a look at every live flow: at most one per sweep interval.
        if (state_.lastSweep != INT64_MIN && now - state_.lastSweep < settings_.sweepInterval.count()) return;
        state_.lastSweep = now;
        for (const auto& other : state_.currentFlows) {
            const auto since = other->upstreamReceiveTime();
            if (since != kNoUpstream && now - since > limit) idle.push_back(other);
        }
    }
    for (const auto& other : idle) other->cancelIdleUpstream(now, limit);
}

void DNSProxyProvider::endAllFlows() {
    std::vector<DNSProxyUDPFlowPtr> flows;
    {
        std::lock_guard lock(mutex_);
        flows.assign(state_.currentFlows.begin(), state_.currentFlows.end());
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
    std::lock_guard lock(mutex_);
    return state_.currentFlows.size();
}

std::vector<DNSProxyUDPFlowPtr> DNSProxyProvider::currentFlows() const {
    std::lock_guard lock(mutex_);
    return {state_.currentFlows.begin(), state_.currentFlows.end()};
}

}  // namespace dnsproxy
