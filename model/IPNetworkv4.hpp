#pragma once
// The set of IPv4 addresses one rule text covers: a single address ("10.1.2.3"), an address with
// a prefix length ("10.1.2.0/24") or a range of a first and a last address
// ("10.1.2.10-10.1.2.20"). Host lists are lazy (IPv4HostList), so a rule of any size costs
// constant memory, and membership is a constant-time test:
//
//     auto network = IPNetworkv4::parse(ruleText);
//     if (network && network->containsHostText(externalAddress)) { ... }
//
// A plain value, read-only once made; safe to read from any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/Expected.hpp"
#include "model/IPAddressv4.hpp"
#include "model/IPv4HostList.hpp"

namespace model {

class IPNetworkv4 {
public:
    // Reads the rule: prefixed form when the text contains "/" anywhere, else range form when it
    // contains "-", else single form. Any rejection is invalidValue.
    static Expected<IPNetworkv4, IPAddressParsingError> parse(std::string_view text);

    static constexpr int version = 4;
    static constexpr int maxPrefixLen = 32;

    // Number of entries of hosts().
    std::int64_t count() const { return hosts_.count(); }
    // Every covered address, ascending (the single form: its one entry with the rule's text).
    const IPv4HostList& hosts() const { return hosts_; }
    // Prefixed form: hosts() without its first and last entry (empty below three entries);
    // otherwise the same entries as hosts().
    const IPv4HostList& usableHosts() const { return usableHosts_; }
    const std::optional<int>& prefix() const { return prefix_; }
    const std::optional<IPAddressv4>& netMask() const { return netMask_; }
    const IPAddressv4& networkAddress() const { return networkAddress_; }
    const IPAddressv4& broadcastAddress() const { return broadcastAddress_; }
    const std::optional<std::string>& withPrefix() const { return withPrefix_; }
    const std::optional<std::string>& withNetMask() const { return withNetMask_; }
    bool isRange() const { return isRange_; }

    // True exactly when some entry of hosts() has `address` equal to text (see
    // IPv4HostList::containsHostText).
    bool containsHostText(std::string_view text) const { return hosts_.containsHostText(text); }

private:
    IPNetworkv4(IPAddressv4 network, IPAddressv4 broadcast)
        : networkAddress_(std::move(network)), broadcastAddress_(std::move(broadcast)) {}

    static std::optional<IPNetworkv4> parsePrefixed(std::string_view text);
    static std::optional<IPNetworkv4> parseRange(std::string_view text);
    static std::optional<IPNetworkv4> parseSingle(std::string_view text);

    IPv4HostList hosts_ = IPv4HostList::none();
    IPv4HostList usableHosts_ = IPv4HostList::none();
    std::optional<int> prefix_;
    std::optional<IPAddressv4> netMask_;
    IPAddressv4 networkAddress_;
    IPAddressv4 broadcastAddress_;
    std::optional<std::string> withPrefix_;
    std::optional<std::string> withNetMask_;
    bool isRange_ = false;
    std::optional<std::string> address_;  // the address part of a prefixed rule
};

}  // namespace model
