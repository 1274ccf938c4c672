#include "dnsproxy/FlowConfiguration.hpp"

#include <asio/ip/address.hpp>
#include <sstream>

#include "dnsproxy/ClientIdentificationOption.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"
#include "platform/ne/OwnEndpoints.hpp"

namespace dnsproxy {

namespace {
constexpr std::size_t kMaxResolvConf = 1 << 16;
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
