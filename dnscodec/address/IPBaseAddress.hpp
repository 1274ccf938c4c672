#pragma once
// The questions every address object answers (IPv4, IPv6 and the IPAddress facade that
// wraps either). Address objects are values: parsing happens in the constructor, never
// throws, and reports failure through valid() and error(). One thread at a time per
// object; distinct objects are independent.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dnscodec/Bytes.hpp"
#include "dnscodec/address/BigInt.hpp"

namespace dnscodec {

class IPBaseAddress;
using IPBaseAddressPtr = std::unique_ptr<IPBaseAddress>;

class IPBaseAddress {
public:
    virtual ~IPBaseAddress() = default;

    // A copy of the same dynamic type.
    virtual IPBaseAddressPtr clone() const = 0;
    // 32 for an IPv4 object, 128 for an IPv6 one: which family the object belongs to.
    virtual int addressBits() const = 0;

    virtual bool valid() const = 0;
    // The first failure's message; absent when valid.
    virtual const std::optional<std::string>& error() const = 0;
    // The text is the address's preferred form (and its prefix is written plainly).
    virtual bool correct() const = 0;
    // The text the object was made from.
    virtual const std::string& address() const = 0;
    virtual std::uint8_t groups() const = 0;
    virtual bool v4() const = 0;
    // "/" and the prefix length.
    virtual const std::string& subnet() const = 0;
    virtual std::uint8_t subnetMask() const = 0;
    // The prefix digits as written; absent without a prefix.
    virtual const std::optional<std::string>& parsedSubnet() const = 0;
    // The address components; absent when the text was not parsed into them.
    virtual const std::optional<std::vector<std::string>>& parsedAddress() const = 0;

    // The preferred text form; absent without components.
    virtual std::optional<std::string> correctForm() const = 0;
    // The address as a number; 0 when invalid.
    virtual BigInt bigInteger() const = 0;
    // First and last address of the prefix, as new objects of the same family.
    virtual IPBaseAddressPtr startAddress() const = 0;
    virtual IPBaseAddressPtr endAddress() const = 0;
    // The reverse-lookup name.
    virtual std::string reversedForm() const = 0;
    // The raw address bytes (4 or 16), most significant first.
    virtual Bytes data() const = 0;

    // bigInteger in base 2, left-padded with "0" to addressBits characters.
    virtual std::string binaryZeroPad() const;
    // Characters [start, end) of binaryZeroPad, clamped to the string.
    virtual std::string bitsBase2WithStart(int start, int end) const;
    // The first `bits` bits (clamped) as "0"/"1" characters.
    virtual std::string maskWith(int bits) const;
    // maskWith(subnetMask()).
    virtual std::string mask() const;
    // True when both addresses are valid and of one family, this prefix is at least as
    // long as the other's, and this address's first other.subnetMask() bits equal the
    // other's mask.
    virtual bool isInSubnet(const IPBaseAddress& other) const;

protected:
    IPBaseAddress() = default;
    IPBaseAddress(const IPBaseAddress&) = default;
    IPBaseAddress& operator=(const IPBaseAddress&) = default;

    // The first (pad '0') or last (pad '1') address of the prefix as a number: mask,
    // then the pad character for the remaining bits.
    BigInt prefixBoundary(char pad) const;
};

}  // namespace dnscodec
