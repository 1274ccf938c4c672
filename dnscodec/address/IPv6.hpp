#pragma once
// An IPv6 address parsed from text with optional "::" elision, a dotted-quad IPv4 tail,
// a zone ("%" and a name) and a prefix ("/" and up to three digits), with its
// compressed, canonical, decimal, binary, reverse-lookup and IPv4-embedded forms and
// subnet membership. A value; parsing never throws (see IPBaseAddress). The numeric
// forms of an address made with more than 139 groups do not fit BigInt and throw.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dnscodec/address/IPBaseAddress.hpp"

namespace dnscodec {

class IPv6 final : public IPBaseAddress {
public:
    // initWithAddress:andGroups: `groups` is the expected number of groups.
    explicit IPv6(std::string_view address, std::uint8_t groups = 8);

    // From the number written as 32 lower-case hexadecimal digits in eight groups.
    static IPv6 fromBigInteger(const BigInt& value);
    // The groups before slice[0], the marker "compact", then the groups after slice[1].
    static std::vector<std::string> compact(const std::vector<std::string>& groups, std::array<int, 2> slice);

    IPBaseAddressPtr clone() const override { return std::make_unique<IPv6>(*this); }
    int addressBits() const override { return 128; }

    bool valid() const override { return valid_; }
    const std::optional<std::string>& error() const override { return error_; }
    bool correct() const override;
    const std::string& address() const override { return address_; }
    std::uint8_t groups() const override { return groups_; }
    // True when the text ended in a dotted-quad IPv4 tail.
    bool v4() const override { return v4_; }
    const std::string& subnet() const override { return subnet_; }
    std::uint8_t subnetMask() const override { return subnetMask_; }
    const std::optional<std::string>& parsedSubnet() const override { return parsedSubnet_; }
    // The groups in lower-case hexadecimal without leading zeros.
    const std::optional<std::vector<std::string>>& parsedAddress() const override { return parsedAddress_; }
    // "%en0", or "" without a zone.
    const std::string& zone() const { return zone_; }
    // The address text without prefix and zone; absent when the prefix was refused.
    const std::optional<std::string>& addressMinusSuffix() const { return addressMinusSuffix_; }
    std::uint8_t elidedGroups() const { return elidedGroups_; }
    std::uint8_t elisionBegin() const { return elisionBegin_; }
    std::uint8_t elisionEnd() const { return elisionEnd_; }

    // The compressed form: the longest run (the first on a tie) of two or more zero
    // groups becomes "::".
    std::optional<std::string> correctForm() const override;
    // Every group as four digits: "0000:0000:0000:0000:0000:0000:0000:0001".
    std::string canonicalForm() const;
    bool canonical() const;
    // Every group as a five-digit decimal; absent when invalid.
    std::optional<std::string> decimal() const;
    BigInt bigInteger() const override;
    // Bits [start, end) of binaryZeroPad as a number (0 for an empty slice).
    BigInt bitsWithStart(int start, int end) const;
    // The same bits in upper-case base 16 padded to (end - start) / 4 digits; absent
    // unless end - start is a non-negative multiple of 4.
    std::optional<std::string> bitsBase16WithStart(int start, int end) const;
    // The form with the last 32 bits as a dotted quad: "::ffff:192.168.1.2".
    std::string v4inv6() const;
    IPBaseAddressPtr startAddress() const override;
    IPBaseAddressPtr endAddress() const override;
    // The first subnetMask / 4 hexadecimal digits reversed, each followed by ".", then
    // "ip6.arpa.".
    std::string reversedForm() const override;
    Bytes data() const override;

private:
    std::optional<std::vector<std::string>> parse(std::string_view text);
    // Replaces a dotted-quad tail by its two groups.
    std::string parsev4inv6(std::string_view text);
    void fail(std::string message);

    std::string subnet_ = "/128";
    std::uint8_t subnetMask_ = 128;
    std::string zone_;
    std::string address_;
    std::optional<std::string> parsedSubnet_;
    bool valid_ = false;
    bool v4_ = false;
    std::optional<std::string> error_;
    std::optional<std::string> addressMinusSuffix_;
    std::optional<std::vector<std::string>> parsedAddress_;
    std::uint8_t groups_ = 8;
    std::uint8_t elidedGroups_ = 0;
    std::uint8_t elisionBegin_ = 0;
    std::uint8_t elisionEnd_ = 0;
};

}  // namespace dnscodec
