#pragma once
// Text helpers of the address classes. stringByPaddingLeftToLength is part of the
// library's interface; the rest are internal: the regular-expression steps run on ICU
// (its semantics: `$` also matches before a final line terminator, `\d` matches any
// Unicode decimal digit), and integer reading follows the platform's lenient rules.
// All functions are safe from any thread.
#include <unicode/uversion.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

namespace dnscodec {

// `text` left-padded to `length` characters with `pad` repeated (cut to fit); text of
// `length` or more characters, or an empty pad, gives the text unchanged.
std::string stringByPaddingLeftToLength(std::string_view text, std::size_t length, std::string_view pad);

namespace address_text {

// A compiled ICU pattern, shared read-only between threads.
class Regex {
public:
    explicit Regex(std::string_view pattern, bool caseInsensitive = false);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    struct Match {
        std::string before;  // the text before the match
        std::string text;    // the matched text
        std::string after;   // the text after the match
    };
    // The first match in `text`.
    std::optional<Match> find(std::string_view text) const;
    // Every non-overlapping match, in order.
    std::vector<std::string> findAll(std::string_view text) const;
    bool test(std::string_view text) const { return find(text).has_value(); }
    // Every match replaced by `replacement` (taken literally).
    std::string replaceAll(std::string_view text, std::string_view replacement) const;

private:
    std::unique_ptr<icu::RegexPattern> pattern_;
};

// The dotted-quad form (four decimal components of 0-255, leading zeros allowed),
// anchored at both ends.
const Regex& dottedQuadPattern();

// Splits at every `separator`; always at least one (possibly empty) piece.
std::vector<std::string> split(std::string_view text, std::string_view separator);
std::string join(const std::vector<std::string>& pieces, std::string_view separator);

// Leading whitespace, an optional sign and decimal digits; 0 when there are none,
// saturated at the 64-bit limits.
std::int64_t integerValue(std::string_view text);
// Leading hexadecimal digits; 0 when there are none, saturated at the 64-bit limit.
std::uint64_t hexValue(std::string_view text);
// True when every character is a hexadecimal digit (the empty text included).
bool isHexDigits(std::string_view text);

// The value of a run of Unicode decimal digits (as ICU's \d matches them); -1 when the
// text holds anything else or the value exceeds 999,999.
int decimalDigitsValue(std::string_view text);

// printf-style renderings: "%x", "%02x", "%04x", "%05d" and "%d".
std::string formatHex(std::uint64_t value);
std::string formatHex2(std::uint64_t value);
std::string formatHex4(std::uint64_t value);
std::string formatDecimal5(std::int64_t value);
std::string formatDecimal(std::int64_t value);

}  // namespace address_text
}  // namespace dnscodec
