// libFuzzer target for the provider configuration ("VendorData") as the daemon reads it from
// the file the application writes: the bounded parser, the working configuration, the list
// of problems the provider reports, and the client-identification option built from the
// configuration. Aborts when
// - a configuration said to have no problems would leave the proxy without queries or send
//   to a resolver that is no IP address, or drops one of its forwarding rules;
// - the configuration, written out again, reads back as another one;
// - the option is not the fixed 104 bytes with its header, or its logged text differs.
#include <asio/ip/address.hpp>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dnsproxy/ClientIdentificationOption.hpp"
#include "dnsproxy/DefaultConfiguration.hpp"
#include "fuzz/FuzzCheck.hpp"
#include "platform/SystemLog.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"

// The option's builder logs through nsLog when the provider makes it; the target calls the
// pure builder only, and leaves the logging (and the dispatch layer it needs) unlinked.
void platform::nsLog(std::string_view /*message*/) {}

using dnsproxy::DefaultConfiguration;
using fuzz::check;

namespace {

bool isAddress(const std::string& text) {
    asio::error_code error;
    asio::ip::make_address(text, error);
    return !error;
}

bool allAddresses(const std::vector<std::string>& texts) {
    for (const auto& text : texts) {
        if (!isAddress(text)) return false;
    }
    return true;
}

// The configuration in the form the application writes it.
nlohmann::json vendorData(const DefaultConfiguration& config) {
    nlohmann::json filters = nlohmann::json::array();
    for (const auto& rule : config.forwardingRules) {
        const nlohmann::json item = {{"domain", rule.domain.value_or("")},
                                     {"rule", rule.rule.value_or("")},
                                     {"resolvers", rule.resolvers.value_or(std::vector<std::string>{})}};
        filters.push_back({{"filter", {item}}});
    }
    return {{"uuid", config.uuid},
            {"locationTag", config.locationKey},
            {"resolvers", config.resolvers},
            {"internalIp", config.ipAddress},
            {"externalIp", config.externalIPAddress},
            {"localDNS", config.dchpServers},
            {"filters", filters}};
}

void problemsAgreeWithTheConfiguration(const nlohmann::json& data, const DefaultConfiguration& config) {
    const auto problems = dnsproxy::configurationProblems(data);
    check(problems.size() <= 17, "problem list is not bounded");
    for (const auto& problem : problems) check(!problem.empty(), "an empty problem");
    if (!problems.empty()) return;
    check(config.isValid(), "a configuration without problems takes no queries");
    check(allAddresses(config.resolvers) && allAddresses(config.dchpServers), "resolver is no address");
    const auto filters = data.find("filters");
    const std::size_t entries = filters == data.end() ? 0 : filters->size();
    check(config.forwardingRules.size() == entries, "a forwarding rule was dropped unreported");
    for (const auto& rule : config.forwardingRules) {
        check(allAddresses(rule.resolvers.value_or(std::vector<std::string>{})),
              "rule resolver is no address");
    }
}

void optionIsWellFormed(const DefaultConfiguration& config) {
    const auto option =
        dnsproxy::buildClientIdentification(config.uuid, config.ipAddress, config.locationKey);
    constexpr std::uint8_t header[] = {0xFE, 0x78, 0x00, 0x64, 'V', 'Q', 'Z', 0x10};
    for (std::size_t i = 0; i < sizeof header; ++i) check(option.bytes[i] == header[i], "option header");
    check(option.hex.size() == 2 * option.bytes.size(), "option text length");
    static constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < option.bytes.size(); ++i) {
        const auto high = static_cast<char>(std::tolower(static_cast<unsigned char>(option.hex[2 * i])));
        const auto low = static_cast<char>(std::tolower(static_cast<unsigned char>(option.hex[2 * i + 1])));
        check(high == digits[option.bytes[i] >> 4] && low == digits[option.bytes[i] & 0xF],
              "option text differs from its bytes");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const nlohmann::json parsed = platform::ne::parseBoundedJSON(text);
    if (parsed.is_discarded()) return 0;
    const DefaultConfiguration config = dnsproxy::makeDefaultConfiguration(parsed);
    if (!parsed.is_object()) {
        check(config == DefaultConfiguration{}, "a value that is no dictionary configures something");
        check(dnsproxy::configurationProblems(parsed).size() == 1, "a non-dictionary has one problem");
        return 0;
    }
    problemsAgreeWithTheConfiguration(parsed, config);
    const DefaultConfiguration again = dnsproxy::makeDefaultConfiguration(vendorData(config));
    check(again == config, "configuration written out reads back differently");
    optionIsWellFormed(config);
    return 0;
}
