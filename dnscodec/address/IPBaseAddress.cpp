#include "dnscodec/address/IPBaseAddress.hpp"

#include <algorithm>

#include "dnscodec/address/AddressText.hpp"

namespace dnscodec {

std::string IPBaseAddress::binaryZeroPad() const {
    return stringByPaddingLeftToLength(bigInteger().toStringWithRadix(2),
                                       static_cast<std::size_t>(addressBits()), "0");
}

std::string IPBaseAddress::bitsBase2WithStart(int start, int end) const {
    const std::string bits = binaryZeroPad();
    const int length = static_cast<int>(bits.size());
    const int from = std::clamp(start, 0, length);
    const int to = std::clamp(end, 0, length);
    if (from >= to) return std::string();
    return bits.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from));
}

std::string IPBaseAddress::maskWith(int bits) const { return bitsBase2WithStart(0, bits); }

std::string IPBaseAddress::mask() const { return maskWith(subnetMask()); }

bool IPBaseAddress::isInSubnet(const IPBaseAddress& other) const {
    if (!valid() || !other.valid() || addressBits() != other.addressBits()) return false;
    return subnetMask() >= other.subnetMask() && maskWith(other.subnetMask()) == other.mask();
}

BigInt IPBaseAddress::prefixBoundary(char pad) const {
    std::string bits = mask();
    bits.append(static_cast<std::size_t>(std::max(0, addressBits() - static_cast<int>(bits.size()))), pad);
    return BigInt(bits, 2);
}

}  // namespace dnscodec
