#pragma once
// The one address type the rest of the library uses: it wraps an IPv4 or an IPv6
// object, picks the family itself when made from text or raw bytes, and forwards every
// question to the wrapped object. A value (copying copies the wrapped object); one
// thread at a time per object. Moving copies, so no object is ever left empty.
#include <memory>
#include <string_view>

#include "dnscodec/address/IPBaseAddress.hpp"

namespace dnscodec {

class IPAddress final : public IPBaseAddress {
public:
    // initWithAddress: IPv4 when the text is a valid IPv4 address, else IPv6 (8 groups);
    // when both fail it holds the invalid IPv6, so error() gives the IPv6 message.
    explicit IPAddress(std::string_view address);
    // initWithIP: wraps `address` unchanged (a null pointer wraps an invalid IPv6 of "").
    explicit IPAddress(IPBaseAddressPtr address);

    IPAddress(const IPAddress& other);
    IPAddress& operator=(const IPAddress& other);
    ~IPAddress() override = default;

    static IPAddress addressFromString(std::string_view address) { return IPAddress(address); }
    // 4 bytes make an IPv4 address, 16 an IPv6 one, both most significant byte first.
    // Any other length throws NamedException "ipInvalidLength".
    static IPAddress addressWithData(const Bytes& data);

    // The wrapped object.
    const IPBaseAddress& underlyingAddress() const { return *addrs_; }

    IPBaseAddressPtr clone() const override { return std::make_unique<IPAddress>(*this); }
    int addressBits() const override { return addrs_->addressBits(); }
    bool valid() const override { return addrs_->valid(); }
    const std::optional<std::string>& error() const override { return addrs_->error(); }
    bool correct() const override { return addrs_->correct(); }
    const std::string& address() const override { return addrs_->address(); }
    std::uint8_t groups() const override { return addrs_->groups(); }
    bool v4() const override { return addrs_->v4(); }
    const std::string& subnet() const override { return addrs_->subnet(); }
    std::uint8_t subnetMask() const override { return addrs_->subnetMask(); }
    const std::optional<std::string>& parsedSubnet() const override { return addrs_->parsedSubnet(); }
    const std::optional<std::vector<std::string>>& parsedAddress() const override {
        return addrs_->parsedAddress();
    }
    std::optional<std::string> correctForm() const override { return addrs_->correctForm(); }
    BigInt bigInteger() const override { return addrs_->bigInteger(); }
    IPBaseAddressPtr startAddress() const override { return addrs_->startAddress(); }
    IPBaseAddressPtr endAddress() const override { return addrs_->endAddress(); }
    std::string reversedForm() const override { return addrs_->reversedForm(); }
    Bytes data() const override { return addrs_->data(); }
    std::string binaryZeroPad() const override { return addrs_->binaryZeroPad(); }
    std::string bitsBase2WithStart(int start, int end) const override {
        return addrs_->bitsBase2WithStart(start, end);
    }
    std::string maskWith(int bits) const override { return addrs_->maskWith(bits); }
    std::string mask() const override { return addrs_->mask(); }
    bool isInSubnet(const IPBaseAddress& other) const override { return addrs_->isInSubnet(other); }

private:
    IPBaseAddressPtr addrs_;
};

}  // namespace dnscodec
