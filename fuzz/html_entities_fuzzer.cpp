// libFuzzer target for the HTML escaping: any bytes may be escaped and unescaped without a
// crash. Unicode escaping leaves no raw member of the escape set and unescaping undoes it for
// any bytes; ASCII escaping gives pure ASCII and unescaping undoes it for UTF-8 text; text
// without "&" unescapes to itself; and UTF-8 stays UTF-8 through every operation. The UTF-8
// test here is ICU's, not the code's own. Aborts on any difference.
#include <unicode/utf8.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/support/HTMLEscaping.hpp"
#include "fuzz/FuzzCheck.hpp"

using namespace kiv::HTMLEscaping;
using fuzz::check;
using fuzz::isASCII;

namespace {

bool isUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

// Every '&' of the text must start a decimal reference "&#digits;".
bool onlyReferencesUseAmpersand(std::string_view text) {
    for (std::size_t at = text.find('&'); at != std::string_view::npos; at = text.find('&', at + 1)) {
        std::size_t end = at + 1;
        if (end >= text.size() || text[end] != '#') return false;
        ++end;
        const std::size_t digits = end;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end == digits || end >= text.size() || text[end] != ';') return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // ICU measures text in 32-bit lengths; the fuzzer's inputs are far shorter.
    if (size > 0x100000) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool utf8 = isUTF8(text);

    const std::string unescaped = stringByRemovingHTMLEntities(text);
    if (utf8) check(isUTF8(unescaped), "unescaping broke UTF-8");
    if (text.find('&') == std::string_view::npos) check(unescaped == text, "text without '&' changed");

    const std::string unicode = stringByAddingUnicodeEntities(text);
    check(unicode.find_first_of("!\"$%'+,<=>@[]`{}") == std::string::npos, "raw member left");
    check(onlyReferencesUseAmpersand(unicode), "'&' outside a reference");
    check(utf8 == isUTF8(unicode), "Unicode escaping changed UTF-8 validity");
    check(stringByRemovingHTMLEntities(unicode) == text, "Unicode escaping does not round-trip");

    const std::string ascii = stringByAddingASCIIEntities(text);
    check(isASCII(ascii), "ASCII escaping left a non-ASCII byte");
    check(ascii.find_first_of("!\"$%'+,<=>@[]`{}") == std::string::npos, "raw member left in ASCII");
    check(onlyReferencesUseAmpersand(ascii), "'&' outside a reference in ASCII");
    const std::string asciiBack = stringByRemovingHTMLEntities(ascii);
    check(isUTF8(asciiBack), "ASCII escaping does not unescape to UTF-8");
    if (utf8) check(asciiBack == text, "ASCII escaping does not round-trip");
    return 0;
}
