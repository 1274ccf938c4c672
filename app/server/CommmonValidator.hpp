#pragma once
// The installer's text checks: IPv4 addresses, e-mail addresses and server URLs, by ICU regular
// expressions. The IPv4 and e-mail checks match the whole text; the URL check searches the text,
// and its pattern's anchors make that a whole-text match too, except that "$" also matches before
// a line terminator at the very end. The URL pattern has no case-insensitive flag and unescaped
// dots (any character) in its host part.
//
// Stateless; any thread.
#include <string>
#include <string_view>

namespace kiv {

struct CommmonValidator {
    static const std::string& ipv4Pattern();
    static const std::string& emailPattern();
    static const std::string& urlPattern();

    static bool isValidIPv4(std::string_view text);
    static bool isValidURL(std::string_view text);
    static bool isValidEmail(std::string_view text);
    // The whole of `text` matches `pattern`; false for a pattern that does not compile.
    static bool matches(std::string_view text, const std::string& pattern);
    // Some part of `text` matches `pattern`; false for a pattern that does not compile.
    static bool contains(std::string_view text, const std::string& pattern);
};

}  // namespace kiv
