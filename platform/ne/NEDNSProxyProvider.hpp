#pragma once
// The base of a DNS-proxy provider, as the provider host drives it. The host calls
// startProxy/stopProxy one at a time from its control queue and offers flows from
// its receive threads (handleNewUDPFlow may run on several threads at once).
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/ne/NEAppProxyFlow.hpp"
#include "platform/ne/NWEndpoint.hpp"

namespace platform::ne {

// The platform's stop reasons, with their numbers.
enum class NEProviderStopReason : std::int64_t {
    none = 0,
    userInitiated = 1,
    providerFailed = 2,
    noNetworkAvailable = 3,
    unrecoverableNetworkChange = 4,
    providerDisabled = 5,
    authenticationCanceled = 6,
    configurationFailed = 7,
    idleTimeout = 8,
    configurationDisabled = 9,
    configurationRemoved = 10,
    superceded = 11,
    userLogout = 12,
    userSwitch = 13,
    connectionFailed = 14,
    sleep = 15,
    appUpdate = 16,
};

// The start options: a JSON object with text keys ("VendorData" holds the provider
// configuration); absent when the platform gives none.
using StartOptions = std::optional<nlohmann::json>;
// Absent on success, else the failure's text.
using StartCompletion = std::function<void(std::optional<std::string>)>;

class NEDNSProxyProvider {
public:
    virtual ~NEDNSProxyProvider() = default;
    virtual void startProxy(const StartOptions& options, StartCompletion completion) = 0;
    virtual void stopProxy(NEProviderStopReason reason, std::function<void()> completion) = 0;
    // NOLINTNEXTLINE(performance-unnecessary-value-param): the overrides keep the completion
    virtual void sleep(std::function<void()> completion) { completion(); }
    virtual void wake() {}
    // True when the provider takes the flow; a refused flow is dropped by the host.
    virtual bool handleNewFlow(const std::shared_ptr<NEAppProxyFlow>& flow) = 0;
    virtual bool handleNewUDPFlow(const std::shared_ptr<NEAppProxyUDPFlow>& flow,
                                  const NWEndpoint& remoteEndpoint) = 0;
};

}  // namespace platform::ne
