#include "app/server/CommmonValidator.hpp"

#include <unicode/regex.h>

#include <memory>

namespace kiv {
namespace {

enum class Mode { whole, search };

// ICU's steps are roughly milliseconds.
constexpr int32_t kTimeLimitSteps = 2000;

bool evaluate(std::string_view text, const std::string& pattern, Mode mode) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    const std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern), 0, where, status));
    if (U_FAILURE(status) || !compiled) return false;
    const icu::UnicodeString input =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    const std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(input, status));
    if (U_FAILURE(status) || !matcher) return false;
    // The URL pattern nests quantifiers; a hostile text must not keep us backtracking for long.
    matcher->setTimeLimit(kTimeLimitSteps, status);
    const bool matched = mode == Mode::whole ? matcher->matches(status) : matcher->find(status);
    return U_SUCCESS(status) && matched;
}

}  // namespace

const std::string& CommmonValidator::ipv4Pattern() {
    static const std::string pattern =
        R"(^(\d{1,2}|1\d\d|2[0-4]\d|25[0-5])\.(\d{1,2}|1\d\d|2[0-4]\d|25[0-5])\.)"
        R"((\d{1,2}|1\d\d|2[0-4]\d|25[0-5])\.(\d{1,2}|1\d\d|2[0-4]\d|25[0-5])$)";
    return pattern;
}

const std::string& CommmonValidator::emailPattern() {
    static const std::string pattern = R"([A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,64})";
    return pattern;
}

const std::string& CommmonValidator::urlPattern() {
    static const std::string pattern = std::string("^((https|http)?://)") + "(([0-9]{1,3}.){3}[0-9]{1,3}" +
                                       "|" + "([0-9a-z_!~*'()-]+.)*" + "([0-9a-z][0-9a-z-]{0,61})?[0-9a-z]." +
                                       "[a-z]{2,6})" + "(:[0-9]{1,4})?" + "((/?)|" +
                                       "(/[0-9a-z_!~*'().;?:@&=+$,%#-]+)+/?)$";
    return pattern;
}

bool CommmonValidator::isValidIPv4(std::string_view text) { return matches(text, ipv4Pattern()); }

bool CommmonValidator::isValidURL(std::string_view text) { return contains(text, urlPattern()); }

bool CommmonValidator::isValidEmail(std::string_view text) { return matches(text, emailPattern()); }

bool CommmonValidator::matches(std::string_view text, const std::string& pattern) {
    return evaluate(text, pattern, Mode::whole);
}

bool CommmonValidator::contains(std::string_view text, const std::string& pattern) {
    return evaluate(text, pattern, Mode::search);
}

}  // namespace kiv
