#pragma once
// What every flow of one proxy start reads: the provider configuration, the
// client-identification option built from it once (it depends on nothing else),
// and the computer's own DNS servers. Immutable once made and shared by the
// flows (each flow sees the configuration of the moment it was admitted).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dnsproxy/DefaultConfiguration.hpp"
#include "dnsproxy/ProxySettings.hpp"

namespace dnsproxy {

struct FlowConfiguration {
    DefaultConfiguration providerConfig;
    std::optional<std::vector<std::uint8_t>> clientIdentification;
    // The OPT record every tagged query carries, encoded once (it depends only on
    // the option): type 41, UDP payload size 4096, extended RCODE 0, version 0,
    // the option as its data.
    std::vector<std::uint8_t> optRecord;
    // The resolv.conf name servers, without any that would reach this proxy.
    std::vector<std::string> computerDNSServers;
    // For each forwarding rule, whether its address rule covers the configuration's
    // external address (FilterManager::addressMatches), so that no query parses
    // the rule's text again.
    std::vector<bool> ruleAddressMatches;
};

using FlowConfigurationPtr = std::shared_ptr<const FlowConfiguration>;

// The encoded OPT record carrying `option` (no data when there is none).
std::vector<std::uint8_t> encodeOPTRecord(const std::optional<std::vector<std::uint8_t>>& option);

FlowConfigurationPtr makeFlowConfiguration(DefaultConfiguration config, const ProxySettings& settings);

// The "nameserver" addresses of a resolv.conf text that are IP literals, in order.
std::vector<std::string> parseResolvConf(const std::string& text);

}  // namespace dnsproxy
