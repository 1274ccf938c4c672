#include "dnsproxy/FlowConfiguration.hpp"

#include <asio/ip/address.hpp>
#include <sstream>

#include "dnscodec/DNSOPTResourceRecord.hpp"
#include "dnsproxy/ClientIdentificationOption.hpp"
#include "dnsproxy/FilterManager.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"
#include "platform/ne/OwnEndpoints.hpp"

namespace dnsproxy {

namespace {
constexpr std::size_t kMaxResolvConf = 1 << 16;
constexpr std::uint16_t kEDNSPayloadSize = 4096;
}  // namespace

std::vector<std::uint8_t> encodeOPTRecord(const std::optional<std::vector<std::uint8_t>>& option) {
    dnscodec::DNSResourceRecord base;
    base.type = dnscodec::kDNSTypeOPT;
    auto opt = dnscodec::DNSOPTResourceRecord::fromResource(base);
    opt->udpPayloadSize = kEDNSPayloadSize;
    opt->extendedRCode = 0;
    opt->version = 0;
    if (option) opt->data = *option;
    std::vector<std::uint8_t> bytes;
    opt->appendTo(bytes);  // the option is at most 104 bytes: always fits
    return bytes;
}

std::vector<std::string> parseResolvConf(const std::string& text) {
    std::vector<std::string> servers;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string keyword;
        std::string address;
        if (!(words >> keyword) || keyword != "nameserver" || !(words >> address)) continue;
        asio::error_code ec;
        asio::ip::make_address(address, ec);
        if (!ec) servers.push_back(address);
    }
    return servers;
}

FlowConfigurationPtr makeFlowConfiguration(DefaultConfiguration config, const ProxySettings& settings) {
    auto result = std::make_shared<FlowConfiguration>();
    result->clientIdentification =
        makeClientIdentificationOption(config.uuid, config.ipAddress, config.locationKey);
    result->optRecord = encodeOPTRecord(result->clientIdentification);
    for (const auto& rule : config.forwardingRules) {
        result->ruleAddressMatches.push_back(
            rule.rule && !rule.rule->empty() &&
            FilterManager::addressMatches(*rule.rule, config.externalIPAddress));
    }
    result->providerConfig = std::move(config);
    std::string error;
    if (const auto text = platform::ne::readSmallFile(settings.resolvConfPath, kMaxResolvConf, error)) {
        for (auto& server : parseResolvConf(*text)) {
            asio::error_code ec;
            const auto address = asio::ip::make_address(server, ec);
            if (ec) continue;
            if (platform::ne::OwnEndpoints::shared().wouldLoop(
                    asio::ip::udp::endpoint(address, settings.upstreamPort))) {
                continue;
            }
            result->computerDNSServers.push_back(std::move(server));
        }
    }
    return result;
}

}  // namespace dnsproxy
