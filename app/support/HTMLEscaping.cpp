#include "app/support/HTMLEscaping.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "app/support/HTMLEntityTable.hpp"

namespace kiv::HTMLEscaping {
namespace {

constexpr bool inEscapeSet(char32_t c) {
    switch (c) {
        case U'!':
        case U'"':
        case U'$':
        case U'%':
        case U'&':
        case U'\'':
        case U'+':
        case U',':
        case U'<':
        case U'=':
        case U'>':
        case U'@':
        case U'[':
        case U']':
        case U'`':
        case U'{':
        case U'}':
            return true;
        default:
            return false;
    }
}

void appendReference(std::string& out, char32_t c) {
    out += "&#";
    out += std::to_string(static_cast<std::uint32_t>(c));
    out += ';';
}

void appendUTF8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// One grapheme-cluster iterator per thread: making one loads ICU's rules, which is
// far dearer than the text it usually splits.
icu::BreakIterator* characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it{
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status)};
        if (U_FAILURE(status)) it.reset();
        return it;
    }();
    return iterator.get();
}

void appendCluster(std::string& out, const icu::UnicodeString& text, int32_t start, int32_t end) {
    if (end - start == 1 && text.charAt(start) < 0x80) {
        const char32_t c = text.charAt(start);
        if (inEscapeSet(c)) {
            appendReference(out, c);
        } else {
            out += static_cast<char>(c);
        }
        return;
    }
    if (end - start == 2 && text.charAt(start) == u'\r' && text.charAt(start + 1) == u'\n') {
        out += "\r\n";
        return;
    }
    for (int32_t i = start; i < end; i = text.moveIndex32(i, 1)) {
        appendReference(out, static_cast<char32_t>(text.char32At(i)));
    }
}

// Reads the digits of a numeric reference; absent unless every character is a digit
// of the radix, there is at least one, and the value fits 32 bits at every step.
std::optional<std::uint32_t> parseDigits(std::string_view digits, unsigned radix) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char ch : digits) {
        unsigned digit;
        if (ch >= '0' && ch <= '9') {
            digit = static_cast<unsigned>(ch - '0');
        } else if (ch >= 'a' && ch <= 'z') {
            digit = static_cast<unsigned>(ch - 'a') + 10;
        } else if (ch >= 'A' && ch <= 'Z') {
            digit = static_cast<unsigned>(ch - 'A') + 10;
        } else {
            return std::nullopt;
        }
        if (digit >= radix) return std::nullopt;
        value = value * radix + digit;
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<char32_t> numericReference(std::string_view body) {
    if (body.empty() || body.front() != '#') return std::nullopt;
    std::string_view digits = body.substr(1);
    unsigned radix = 10;
    if (!digits.empty() && (digits.front() == 'x' || digits.front() == 'X')) {
        radix = 16;
        digits.remove_prefix(1);
    }
    const auto value = parseDigits(digits, radix);
    if (!value || *value >= 0x110000 || (*value >= 0xD800 && *value <= 0xDFFF)) return std::nullopt;
    return static_cast<char32_t>(*value);
}

}  // namespace

std::string stringByAddingUnicodeEntities(std::string_view text) {
    // The escape set is ASCII, and ASCII bytes never occur inside a multi-byte UTF-8
    // sequence, so a byte scan finds every member wherever it stands, including in
    // front of a combining mark, and leaves every other byte untouched.
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (inEscapeSet(byte)) {
            appendReference(out, byte);
        } else {
            out += ch;
        }
    }
    return out;
}

std::string stringByAddingASCIIEntities(std::string_view text) {
    const icu::UnicodeString unicode =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::string out;
    out.reserve(text.size());
    icu::BreakIterator* clusters = characterIterator();
    if (clusters == nullptr) {
        // Without segmentation rules every scalar stands alone.
        for (int32_t i = 0; i < unicode.length(); i = unicode.moveIndex32(i, 1)) {
            appendCluster(out, unicode, i, unicode.moveIndex32(i, 1));
        }
        return out;
    }
    clusters->setText(unicode);
    int32_t start = clusters->first();
    for (int32_t end = clusters->next(); end != icu::BreakIterator::DONE;
         start = end, end = clusters->next()) {
        appendCluster(out, unicode, start, end);
    }
    return out;
}

std::string stringByRemovingHTMLEntities(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t amp = text.find('&', position);
        if (amp == std::string_view::npos) break;
        // The candidate is the last "&" before the next ";".
        std::size_t semicolon = std::string_view::npos;
        for (std::size_t i = amp + 1; i < text.size(); ++i) {
            if (text[i] == '&') {
                amp = i;
            } else if (text[i] == ';') {
                semicolon = i;
                break;
            }
        }
        if (semicolon == std::string_view::npos) break;
        out.append(text.substr(position, amp - position));
        const std::string_view body = text.substr(amp + 1, semicolon - amp - 1);
        if (const auto scalar = numericReference(body)) {
            appendUTF8(out, *scalar);
            position = semicolon + 1;
        } else if (const auto named = htmlEntityValue(body)) {
            out.append(*named);
            position = semicolon + 1;
        } else {
            out += '&';
            position = amp + 1;
        }
    }
    out.append(text.substr(position));
    return out;
}

}  // namespace kiv::HTMLEscaping
