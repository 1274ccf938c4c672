#include "dnscodec/address/IPAddress.hpp"

#include "dnscodec/address/AddressText.hpp"
#include "dnscodec/address/IPv4.hpp"
#include "dnscodec/address/IPv6.hpp"
#include "dnscodec/address/NamedException.hpp"

namespace dnscodec {

IPAddress::IPAddress(std::string_view address) {
    auto v4 = std::make_unique<IPv4>(address);
    if (v4->valid()) {
        addrs_ = std::move(v4);
    } else {
        addrs_ = std::make_unique<IPv6>(address, 8);
    }
}

IPAddress::IPAddress(IPBaseAddressPtr address)
    : addrs_(address ? std::move(address) : std::make_unique<IPv6>(std::string_view())) {}

IPAddress::IPAddress(const IPAddress& other) : IPBaseAddress(other), addrs_(other.addrs_->clone()) {}

IPAddress& IPAddress::operator=(const IPAddress& other) {
    if (this != &other) addrs_ = other.addrs_->clone();
    return *this;
}

IPAddress IPAddress::addressWithData(const Bytes& data) {
    if (data.size() == 4) {
        return IPAddress(std::make_unique<IPv4>(IPv4::ipv4FromInteger(loadUInt32(data.data()))));
    }
    if (data.size() == 16) {
        std::string digits;
        for (const std::uint8_t byte : data) digits += address_text::formatHex2(byte);
        return IPAddress(std::make_unique<IPv6>(IPv6::fromBigInteger(BigInt(digits, 16))));
    }
    throw NamedException(
        "ipInvalidLength",
        "The provided data length does not correspond to neighter a IPv4 nor a IPv6 address");
}

}  // namespace dnscodec
