#include "dnscodec/address/IPv4.hpp"

#include <algorithm>

#include "dnscodec/address/AddressText.hpp"

namespace dnscodec {

using address_text::Regex;

namespace {

const Regex& prefixPattern() {
    static const Regex pattern("/\\d{1,2}$");
    return pattern;
}

}  // namespace

namespace address_text {
const Regex& dottedQuadPattern() {
    static const Regex pattern(
        "^(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)$");
    return pattern;
}
}  // namespace address_text

IPv4::IPv4(std::string_view address) : address_(address) {
    std::string addressPart(address);
    if (auto prefix = prefixPattern().find(address)) {
        const std::string digits = prefix->text.substr(1);
        const int value = address_text::decimalDigitsValue(digits);
        parsedSubnet_ = digits;
        subnetMask_ = static_cast<std::uint8_t>(std::max(value, 0));
        subnet_ = "/" + address_text::formatDecimal(subnetMask_);
        if (subnetMask_ > 32) {
            error_ = "Invalid subnet mask";
            return;
        }
        addressPart = prefix->before;
    }
    addressMinusSufix_ = addressPart;
    parsedAddress_ = parse(addressPart);
}

std::vector<std::string> IPv4::parse(std::string_view text) {
    std::vector<std::string> pieces = address_text::split(text, ".");
    if (address_text::dottedQuadPattern().test(text)) {
        valid_ = true;
        error_.reset();
    } else {
        valid_ = false;
        error_ = "Invalid IPv4 Address";
    }
    return pieces;
}

IPv4 IPv4::ipv4FromHex(std::string_view hex) {
    std::string digits;
    for (const char c : hex) {
        if (c != ':') digits.push_back(c);
    }
    digits = stringByPaddingLeftToLength(digits, 8, "0");
    std::vector<std::string> parts;
    for (std::size_t at = 0; at < 8; at += 2) {
        parts.push_back(address_text::formatDecimal(static_cast<std::int64_t>(
            std::min<std::uint64_t>(address_text::hexValue(digits.substr(at, 2)), 255))));
    }
    return IPv4(address_text::join(parts, "."));
}

IPv4 IPv4::ipv4FromInteger(std::uint32_t value) { return ipv4FromHex(address_text::formatHex2(value)); }

IPv4 IPv4::fromBigInteger(const BigInt& value) {
    return ipv4FromInteger(static_cast<std::uint32_t>(value.intValue()));
}

std::int64_t IPv4::component(std::size_t index) const {
    if (!parsedAddress_ || index >= parsedAddress_->size()) return 0;
    return address_text::integerValue((*parsedAddress_)[index]);
}

bool IPv4::correct() const {
    const auto form = correctForm();
    // An address that did not parse is never in its preferred form.
    if (!valid_ || !addressMinusSufix_ || !form || *addressMinusSufix_ != *form) return false;
    return subnetMask_ == 32 || (parsedSubnet_ && *parsedSubnet_ == subnet_.substr(1));
}

std::optional<std::string> IPv4::correctForm() const {
    if (!parsedAddress_) return std::nullopt;
    std::vector<std::string> parts;
    for (std::size_t i = 0; i < parsedAddress_->size(); ++i)
        parts.push_back(address_text::formatDecimal(component(i)));
    return address_text::join(parts, ".");
}

BigInt IPv4::bigInteger() const {
    if (!valid_) return BigInt();
    std::string hexDigits;
    for (std::size_t i = 0; i < 4; ++i)
        hexDigits += address_text::formatHex2(static_cast<std::uint64_t>(component(i) & 0xFF));
    return BigInt(hexDigits, 16);
}

IPBaseAddressPtr IPv4::startAddress() const {
    return std::make_unique<IPv4>(fromBigInteger(prefixBoundary('0')));
}

IPBaseAddressPtr IPv4::endAddress() const {
    return std::make_unique<IPv4>(fromBigInteger(prefixBoundary('1')));
}

std::string IPv4::reversedForm() const {
    std::vector<std::string> parts = parsedAddress_.value_or(std::vector<std::string>{});
    std::reverse(parts.begin(), parts.end());
    return address_text::join(parts, ".") + ".in-addr.arpa.";
}

Bytes IPv4::data() const {
    Bytes bytes;
    for (std::size_t i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(component(i)));
    return bytes;
}

std::string IPv4::hex() const {
    std::vector<std::string> parts;
    for (std::size_t i = 0; i < 4; ++i)
        parts.push_back(address_text::formatHex2(static_cast<std::uint64_t>(component(i) & 0xFF)));
    return address_text::join(parts, ":");
}

std::string IPv4::v6Group() const {
    const auto group = [this](std::size_t high) {
        return address_text::formatHex(
            static_cast<std::uint64_t>(((component(high) & 0xFF) << 8) | (component(high + 1) & 0xFF)));
    };
    return group(0) + ":" + group(2);
}

}  // namespace dnscodec
