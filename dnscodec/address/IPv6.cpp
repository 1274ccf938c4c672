#include "dnscodec/address/IPv6.hpp"

#include <algorithm>
#include <cctype>

#include "dnscodec/address/AddressText.hpp"
#include "dnscodec/address/IPv4.hpp"

namespace dnscodec {

using address_text::Regex;

namespace {

const Regex& prefixPattern() {
    static const Regex pattern("\\/\\d{1,3}(?=%|$)");
    return pattern;
}
// The line terminators of the regex engine ("." stops at them, "$" matches before one
// that ends the text): U+000A-U+000D, U+0085, U+2028 and U+2029. Returns the byte
// length of the one starting at `at`, 0 when there is none.
std::size_t lineTerminatorAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (byte(at) >= 0x0A && byte(at) <= 0x0D) return 1;
    if (byte(at) == 0xC2 && at + 1 < text.size() && byte(at + 1) == 0x85) return 2;
    if (byte(at) == 0xE2 && at + 2 < text.size() && byte(at + 1) == 0x80 &&
        (byte(at + 2) == 0xA8 || byte(at + 2) == 0xA9)) {
        return 3;
    }
    return 0;
}

// The first match of "%.*$" in `text`, found in one pass: matching it with the
// backtracking engine takes quadratic time on hostile text (many "%" before a line
// break). The answer is the same: "." cannot cross a line terminator and "$" matches
// only at the end or before one final terminator ("\r\n" counts as one), so the match
// is the first "%" after the last terminator that does not end the text, running to
// that final terminator.
struct ZoneMatch {
    std::string before;
    std::string zone;
};
std::optional<ZoneMatch> findZone(std::string_view text) {
    std::size_t bodyEnd = text.size();
    if (text.ends_with("\r\n")) {
        bodyEnd -= 2;
    } else {
        for (std::size_t length = 1; length <= 3 && length <= text.size(); ++length) {
            if (lineTerminatorAt(text, text.size() - length) == length) {
                bodyEnd -= length;
                break;
            }
        }
    }
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < bodyEnd;) {
        const std::size_t terminator = lineTerminatorAt(text, i);
        if (terminator != 0) {
            i += terminator;
            lineStart = i;
        } else {
            ++i;
        }
    }
    if (lineStart > bodyEnd) return std::nullopt;
    const std::size_t percent = text.substr(0, bodyEnd).find('%', lineStart);
    if (percent == std::string_view::npos) return std::nullopt;
    return ZoneMatch{std::string(text.substr(0, percent)),
                     std::string(text.substr(percent, bodyEnd - percent))};
}
const Regex& leadingZeroPattern() {
    static const Regex pattern("^0[0-9]+");
    return pattern;
}
const Regex& badCharacterPattern() {
    static const Regex pattern("([^0-9a-f:\\/%])", true);
    return pattern;
}
const Regex& malformedPattern() {
    static const Regex pattern("([0-9a-f]{5,}|:{3,}|[^:]:$|^:[^:]|\\/$)", true);
    return pattern;
}
const Regex& compactAlonePattern() {
    static const Regex pattern("^compact$");
    return pattern;
}
const Regex& compactAtEdgePattern() {
    static const Regex pattern("^compact|compact$");
    return pattern;
}
const Regex& compactPattern() {
    static const Regex pattern("compact");
    return pattern;
}

constexpr const char* kCompactMarker = "compact";

std::uint8_t toGroupCount(std::size_t value) {
    return static_cast<std::uint8_t>(std::min<std::size_t>(value, 255));
}

// The groups of one side of "::"; an empty side has none.
std::vector<std::string> groupsOf(const std::string& half) {
    if (half.empty()) return {};
    return address_text::split(half, ":");
}

}  // namespace

IPv6::IPv6(std::string_view address, std::uint8_t groups) : address_(address), groups_(groups) {
    std::string rest(address);
    if (auto prefix = prefixPattern().find(rest)) {
        const std::string digits = prefix->text.substr(1);
        const int value = std::max(address_text::decimalDigitsValue(digits), 0);
        parsedSubnet_ = digits;
        subnet_ = "/" + address_text::formatDecimal(value);
        subnetMask_ = static_cast<std::uint8_t>(std::min(value, 255));
        // Checked on the full value: "/300" must not wrap to a valid 44.
        if (value > 128) {
            fail("Invalid subnet mask");
            return;
        }
        // A zone written after the prefix stays with the address.
        rest = prefix->before + (prefix->after.starts_with("%") ? prefix->after : std::string());
    } else if (rest.find('/') != std::string::npos) {
        fail("Invalid subnet mask");
        return;
    }
    if (auto zone = findZone(rest)) {
        zone_ = zone->zone;
        rest = zone->before;
    }
    addressMinusSuffix_ = rest;
    parsedAddress_ = parse(rest);
}

void IPv6::fail(std::string message) {
    valid_ = false;
    error_ = std::move(message);
}

std::string IPv6::parsev4inv6(std::string_view text) {
    std::vector<std::string> pieces = address_text::split(text, ":");
    if (!address_text::dottedQuadPattern().test(pieces.back())) return std::string(text);
    const IPv4 tail(pieces.back());
    for (const std::string& component : tail.parsedAddress().value_or(std::vector<std::string>{})) {
        if (leadingZeroPattern().test(component)) {
            fail("IPv4 addresses cannot have leading zeroes");
            return std::string(text);
        }
    }
    v4_ = true;
    pieces.back() = tail.v6Group();
    return address_text::join(pieces, ":");
}

std::optional<std::vector<std::string>> IPv6::parse(std::string_view input) {
    const std::string text = parsev4inv6(input);
    if (error_) return std::nullopt;

    const std::vector<std::string> bad = badCharacterPattern().findAll(text);
    if (!bad.empty()) {
        fail(std::string("Bad character") + (bad.size() == 1 ? "" : "s") +
             " detected in address: " + address_text::join(bad, ""));
        return std::nullopt;
    }
    const std::vector<std::string> malformed = malformedPattern().findAll(text);
    if (!malformed.empty()) {
        fail("Address failed regex: " + address_text::join(malformed, " "));
        return std::nullopt;
    }

    std::vector<std::string> result;
    const std::vector<std::string> halves = address_text::split(text, "::");
    if (halves.size() == 2) {
        const std::vector<std::string> first = groupsOf(halves[0]);
        const std::vector<std::string> second = groupsOf(halves[1]);
        const long elided = static_cast<long>(groups_) - static_cast<long>(first.size() + second.size());
        if (elided == 0) {
            fail("Error parsing groups");
            return std::nullopt;
        }
        const std::size_t zeros = elided > 0 ? static_cast<std::size_t>(elided) : 0;
        elidedGroups_ = toGroupCount(zeros);
        elisionBegin_ = toGroupCount(first.size());
        elisionEnd_ = toGroupCount(first.size() + zeros);
        result = first;
        result.insert(result.end(), zeros, "0");
        result.insert(result.end(), second.begin(), second.end());
    } else if (halves.size() == 1) {
        result = address_text::split(text, ":");
        elidedGroups_ = 0;
    } else {
        fail("Too many :: groups found");
        return std::nullopt;
    }

    for (std::string& group : result) {
        // A "/" can only stand for the prefix, which is gone by now: one left inside a
        // group ("1/2::3/64") is not part of any group's digits.
        if (group.find('/') != std::string::npos) {
            fail("Invalid subnet mask");
            return std::nullopt;
        }
        group = address_text::formatHex(address_text::hexValue(group));
    }
    if (result.size() != groups_) {
        fail("Incorrect number of groups found");
        return std::nullopt;
    }
    valid_ = true;
    return result;
}

IPv6 IPv6::fromBigInteger(const BigInt& value) {
    std::string digits = stringByPaddingLeftToLength(value.toStringWithRadix(16), 32, "0");
    std::transform(digits.begin(), digits.end(), digits.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < 8; ++i) pieces.push_back(digits.substr(i * 4, 4));
    return IPv6(address_text::join(pieces, ":"));
}

std::vector<std::string> IPv6::compact(const std::vector<std::string>& groups, std::array<int, 2> slice) {
    const int size = static_cast<int>(groups.size());
    const int start = std::clamp(slice[0], 0, size);
    const int after = std::clamp(slice[1] + 1, start, size);
    std::vector<std::string> result(groups.begin(), groups.begin() + start);
    result.emplace_back(kCompactMarker);
    result.insert(result.end(), groups.begin() + after, groups.end());
    return result;
}

bool IPv6::correct() const {
    const auto form = correctForm();
    if (!addressMinusSuffix_ || !form || *addressMinusSuffix_ != *form) return false;
    return subnetMask_ == 128 || (parsedSubnet_ && *parsedSubnet_ == subnet_.substr(1));
}

std::optional<std::string> IPv6::correctForm() const {
    if (!parsedAddress_) return std::nullopt;
    const std::vector<std::string>& groups = *parsedAddress_;
    int bestStart = -1;
    int bestLength = 0;
    for (int i = 0; i < static_cast<int>(groups.size());) {
        int end = i;
        while (end < static_cast<int>(groups.size()) &&
               address_text::hexValue(groups[static_cast<std::size_t>(end)]) == 0) {
            ++end;
        }
        const int length = end - i;
        if (length >= 2 && length > bestLength) {
            bestStart = i;
            bestLength = length;
        }
        i = end > i ? end : i + 1;
    }
    std::vector<std::string> parts =
        bestStart >= 0 ? compact(groups, {bestStart, bestStart + bestLength - 1}) : groups;
    for (std::string& part : parts) {
        if (part != kCompactMarker) part = address_text::formatHex(address_text::hexValue(part));
    }
    std::string text = address_text::join(parts, ":");
    text = compactAlonePattern().replaceAll(text, "::");
    text = compactAtEdgePattern().replaceAll(text, ":");
    return compactPattern().replaceAll(text, "");
}

std::string IPv6::canonicalForm() const {
    std::vector<std::string> parts;
    for (const std::string& group : parsedAddress_.value_or(std::vector<std::string>{})) {
        parts.push_back(address_text::formatHex4(address_text::hexValue(group)));
    }
    return address_text::join(parts, ":");
}

bool IPv6::canonical() const {
    return addressMinusSuffix_ && parsedAddress_ && *addressMinusSuffix_ == canonicalForm();
}

std::optional<std::string> IPv6::decimal() const {
    if (!valid_ || !parsedAddress_) return std::nullopt;
    std::vector<std::string> parts;
    for (const std::string& group : *parsedAddress_) {
        parts.push_back(
            address_text::formatDecimal5(static_cast<std::int64_t>(address_text::hexValue(group))));
    }
    return address_text::join(parts, ":");
}

BigInt IPv6::bigInteger() const {
    if (!valid_ || !parsedAddress_) return BigInt();
    std::string digits;
    for (const std::string& group : *parsedAddress_)
        digits += address_text::formatHex4(address_text::hexValue(group));
    return BigInt(digits, 16);
}

BigInt IPv6::bitsWithStart(int start, int end) const {
    const std::string bits = bitsBase2WithStart(start, end);
    return bits.empty() ? BigInt() : BigInt(bits, 2);
}

std::optional<std::string> IPv6::bitsBase16WithStart(int start, int end) const {
    if (end < start || (end - start) % 4 != 0) return std::nullopt;
    return stringByPaddingLeftToLength(bitsWithStart(start, end).toStringWithRadix(16),
                                       static_cast<std::size_t>((end - start) / 4), "0");
}

std::string IPv6::v4inv6() const {
    if (!parsedAddress_) return std::string();
    const IPv4 tail = IPv4::ipv4FromHex(bitsBase16WithStart(96, 128).value_or(std::string()));
    const std::size_t headCount = std::min<std::size_t>(6, parsedAddress_->size());
    const std::vector<std::string> headGroups(
        parsedAddress_->begin(), parsedAddress_->begin() + static_cast<std::ptrdiff_t>(headCount));
    const std::string head =
        IPv6(address_text::join(headGroups, ":"), 6).correctForm().value_or(std::string());
    return head + (head.ends_with(":") ? "" : ":") + tail.address();
}

IPBaseAddressPtr IPv6::startAddress() const {
    return std::make_unique<IPv6>(fromBigInteger(prefixBoundary('0')));
}

IPBaseAddressPtr IPv6::endAddress() const {
    return std::make_unique<IPv6>(fromBigInteger(prefixBoundary('1')));
}

std::string IPv6::reversedForm() const {
    std::string digits;
    for (const char c : canonicalForm()) {
        if (c != ':') digits.push_back(c);
    }
    const std::size_t keep = std::min<std::size_t>(digits.size(), subnetMask_ / 4u);
    std::string name;
    for (std::size_t i = keep; i-- > 0;) {
        name.push_back(digits[i]);
        name.push_back('.');
    }
    // With no digits kept the name is the zone itself, not an empty label before it.
    return name + "ip6.arpa.";
}

Bytes IPv6::data() const {
    const BigInt value = bigInteger();
    Bytes bytes;
    for (int word = 3; word >= 0; --word) {
        const std::uint32_t bits = value.getDataAtIndex(word);
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
    return bytes;
}

}  // namespace dnscodec
