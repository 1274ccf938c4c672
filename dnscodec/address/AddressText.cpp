#include "dnscodec/address/AddressText.hpp"

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>

namespace dnscodec {

std::string stringByPaddingLeftToLength(std::string_view text, std::size_t length, std::string_view pad) {
    if (text.size() >= length || pad.empty()) return std::string(text);
    std::string result;
    const std::size_t missing = length - text.size();
    result.reserve(length);
    while (result.size() < missing) result.append(pad.substr(0, missing - result.size()));
    result.append(text);
    return result;
}

namespace address_text {

namespace {

icu::UnicodeString toUnicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUtf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace

Regex::Regex(std::string_view pattern, bool caseInsensitive) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    pattern_.reset(icu::RegexPattern::compile(
        toUnicode(pattern), caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0, parseError, status));
    if (U_FAILURE(status) || !pattern_) {
        // The patterns are constants of this library: a failure is a build defect.
        std::cerr << "address regex does not compile: " << pattern << " (" << u_errorName(status) << ")\n";
        std::abort();
    }
}

Regex::~Regex() = default;

std::optional<Regex::Match> Regex::find(std::string_view text) const {
    const icu::UnicodeString input = toUnicode(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(input, status));
    if (U_FAILURE(status) || !matcher || !matcher->find()) return std::nullopt;
    const int32_t start = matcher->start(status);
    const int32_t end = matcher->end(status);
    if (U_FAILURE(status)) return std::nullopt;
    return Match{toUtf8(input.tempSubString(0, start)), toUtf8(input.tempSubString(start, end - start)),
                 toUtf8(input.tempSubString(end))};
}

std::vector<std::string> Regex::findAll(std::string_view text) const {
    std::vector<std::string> matches;
    const icu::UnicodeString input = toUnicode(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(input, status));
    if (U_FAILURE(status) || !matcher) return matches;
    while (matcher->find()) {
        const icu::UnicodeString group = matcher->group(status);
        if (U_FAILURE(status)) break;
        matches.push_back(toUtf8(group));
    }
    return matches;
}

std::string Regex::replaceAll(std::string_view text, std::string_view replacement) const {
    const icu::UnicodeString input = toUnicode(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(input, status));
    if (U_FAILURE(status) || !matcher) return std::string(text);
    // "$" and "\" are special in ICU replacement text; the callers' replacements are
    // literal, so quote them.
    icu::UnicodeString literal;
    for (const char c : replacement) {
        if (c == '$' || c == '\\') literal.append(u'\\');
        literal.append(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    const icu::UnicodeString result = matcher->replaceAll(literal, status);
    return U_FAILURE(status) ? std::string(text) : toUtf8(result);
}

std::vector<std::string> split(std::string_view text, std::string_view separator) {
    std::vector<std::string> pieces;
    if (separator.empty()) {
        pieces.emplace_back(text);
        return pieces;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) break;
        pieces.emplace_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    pieces.emplace_back(text.substr(start));
    return pieces;
}

std::string join(const std::vector<std::string>& pieces, std::string_view separator) {
    std::string out;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i != 0) out.append(separator);
        out.append(pieces[i]);
    }
    return out;
}

std::int64_t integerValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > kLimit) {
            return negative ? std::numeric_limits<std::int64_t>::min()
                            : std::numeric_limits<std::int64_t>::max();
        }
    }
    return negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
}

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::uint64_t hexValue(std::string_view text) {
    std::uint64_t value = 0;
    for (const char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0) break;
        if (value > (std::numeric_limits<std::uint64_t>::max() >> 4))
            return std::numeric_limits<std::uint64_t>::max();
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    return value;
}

bool isHexDigits(std::string_view text) {
    for (const char c : text) {
        if (hexDigit(c) < 0) return false;
    }
    return true;
}

int decimalDigitsValue(std::string_view text) {
    const icu::UnicodeString digits = toUnicode(text);
    if (digits.isEmpty()) return -1;
    long value = 0;
    for (int32_t i = 0; i < digits.length(); i = digits.moveIndex32(i, 1)) {
        const int32_t digit = u_charDigitValue(digits.char32At(i));
        if (digit < 0 || digit > 9) return -1;
        value = value * 10 + digit;
        if (value > 999999) return -1;
    }
    return static_cast<int>(value);
}

namespace {
std::string format(const char* spec, auto value) {
    std::array<char, 32> buffer{};
    const int written = std::snprintf(buffer.data(), buffer.size(), spec, value);
    if (written < 0) return std::string();
    return std::string(buffer.data(), std::min(static_cast<std::size_t>(written), buffer.size() - 1));
}
}  // namespace

std::string formatHex(std::uint64_t value) { return format("%llx", static_cast<unsigned long long>(value)); }
std::string formatHex2(std::uint64_t value) {
    return format("%02llx", static_cast<unsigned long long>(value));
}
std::string formatHex4(std::uint64_t value) {
    return format("%04llx", static_cast<unsigned long long>(value));
}
std::string formatDecimal5(std::int64_t value) { return format("%05lld", static_cast<long long>(value)); }
std::string formatDecimal(std::int64_t value) { return format("%lld", static_cast<long long>(value)); }

}  // namespace address_text
}  // namespace dnscodec
