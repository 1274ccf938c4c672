#pragma once
// An IPv4 address parsed from dotted-quad text with an optional prefix ("/" and one or
// two digits), with its textual, numeric and binary forms and subnet membership. A
// value; parsing never throws (see IPBaseAddress).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dnscodec/address/IPBaseAddress.hpp"

namespace dnscodec {

class IPv4 final : public IPBaseAddress {
public:
    // initWithAddress: the text, prefix included.
    explicit IPv4(std::string_view address);

    // Hexadecimal text ("c0a80102", colons ignored), left-padded with "0" to 8 digits;
    // the 2-digit pieces at positions 0, 2, 4 and 6 are the four components.
    static IPv4 ipv4FromHex(std::string_view hex);
    static IPv4 ipv4FromInteger(std::uint32_t value);
    // From the number's low 32 bits (intValue).
    static IPv4 fromBigInteger(const BigInt& value);

    IPBaseAddressPtr clone() const override { return std::make_unique<IPv4>(*this); }
    int addressBits() const override { return 32; }

    bool valid() const override { return valid_; }
    const std::optional<std::string>& error() const override { return error_; }
    bool correct() const override;
    const std::string& address() const override { return address_; }
    std::uint8_t groups() const override { return 4; }
    bool v4() const override { return true; }
    const std::string& subnet() const override { return subnet_; }
    std::uint8_t subnetMask() const override { return subnetMask_; }
    const std::optional<std::string>& parsedSubnet() const override { return parsedSubnet_; }
    const std::optional<std::vector<std::string>>& parsedAddress() const override { return parsedAddress_; }
    // The address text without its prefix; absent when the prefix was refused.
    const std::optional<std::string>& addressMinusSufix() const { return addressMinusSufix_; }

    // The components as decimal numbers (leading zeros dropped) joined by ".".
    std::optional<std::string> correctForm() const override;
    BigInt bigInteger() const override;
    IPBaseAddressPtr startAddress() const override;
    IPBaseAddressPtr endAddress() const override;
    // "2.1.168.192.in-addr.arpa." for 192.168.1.2.
    std::string reversedForm() const override;
    Bytes data() const override;

    // "c0:a8:01:02" for 192.168.1.2.
    std::string hex() const;
    // The address as two IPv6 groups: "c0a8:102" for 192.168.1.2.
    std::string v6Group() const;

private:
    // Splits at "." and checks the dotted-quad form; sets valid_ and error_.
    std::vector<std::string> parse(std::string_view text);
    // Component i as a number (0 when missing), as the forms read it.
    std::int64_t component(std::size_t index) const;

    bool valid_ = false;
    std::string address_;
    std::string subnet_ = "/32";
    std::uint8_t subnetMask_ = 32;
    std::optional<std::string> parsedSubnet_;
    std::optional<std::string> error_;
    std::optional<std::string> addressMinusSufix_;
    std::optional<std::vector<std::string>> parsedAddress_;
};

}  // namespace dnscodec
