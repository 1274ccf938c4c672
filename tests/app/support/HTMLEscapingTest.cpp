#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>

#include "HexText.hpp"
#include "app/support/HTMLEntityTable.hpp"
#include "app/support/HTMLEscaping.hpp"

namespace kiv {
namespace {

using testing_support::hexOf;

using namespace HTMLEscaping;

struct Case {
    const char* input;
    const char* expected;
};

class UnicodeEscaping : public testing::TestWithParam<Case> {};
TEST_P(UnicodeEscaping, Escapes) {
    EXPECT_EQ(stringByAddingUnicodeEntities(GetParam().input), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, UnicodeEscaping,
    testing::Values(
        Case{"", ""}, Case{"a<b & \"c\"", "a&#60;b &#38; &#34;c&#34;"},
        Case{"caf\xc3\xa9 \xf0\x9f\x92\x9a", "caf\xc3\xa9 \xf0\x9f\x92\x9a"},
        Case{"!\"$%&'+,<=>@[]`{}",
             "&#33;&#34;&#36;&#37;&#38;&#39;&#43;&#44;&#60;&#61;&#62;&#64;&#91;&#93;&#96;&#123;&#125;"},
        Case{"#()*-./:;?\\^_|~ \r\n", "#()*-./:;?\\^_|~ \r\n"},
        // A combining mark after a member does not hide it (U+0338 makes "<"
        // render as "not less than"; it must still not reach HTML raw).
        Case{"<\xcc\xb8script>", "&#60;\xcc\xb8script&#62;"}, Case{"\"\xcc\x81", "&#34;\xcc\x81"},
        // Bytes that are not UTF-8 pass untouched.
        Case{"\xff<\xc3", "\xff&#60;\xc3"}));

class ASCIIEscaping : public testing::TestWithParam<Case> {};
TEST_P(ASCIIEscaping, Escapes) {
    EXPECT_EQ(stringByAddingASCIIEntities(GetParam().input), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, ASCIIEscaping,
    testing::Values(Case{"", ""}, Case{"caf\xc3\xa9", "caf&#233;"},
                    // e + combining acute: one character of two scalars.
                    Case{"cafe\xcc\x81", "caf&#101;&#769;"}, Case{"a<b", "a&#60;b"},
                    Case{"<\xcc\xb8", "&#60;&#824;"}, Case{"line\r\nnext\n", "line\r\nnext\n"},
                    // Emoji with skin tone: one character, two scalars.
                    Case{"\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd", "&#128077;&#127997;"},
                    // Family: man ZWJ woman, one character of three scalars.
                    Case{"\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9", "&#128104;&#8205;&#128105;"},
                    // An invalid byte reads as U+FFFD.
                    Case{"a\xffz", "a&#65533;z"}));

class Unescaping : public testing::TestWithParam<Case> {};
TEST_P(Unescaping, Unescapes) {
    EXPECT_EQ(stringByRemovingHTMLEntities(GetParam().input), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, Unescaping,
    testing::Values(Case{"", ""}, Case{"&#60;&#x3C;&#X3c;&lt;", "<<<<"}, Case{"&amp;amp;", "&amp;"},
                    Case{"a & b", "a & b"}, Case{"&nosuchname;", "&nosuchname;"},
                    Case{"&#xD800;", "&#xD800;"}, Case{"&#1114112;", "&#1114112;"},
                    Case{"&#1114111;", "\xf4\x8f\xbf\xbf"}, Case{"&&amp;", "&&"}, Case{"x &amp", "x &amp"},
                    Case{"&LT;&Lt;", "<\xe2\x89\xaa"}, Case{"&lT;", "&lT;"}, Case{"&;", "&;"},
                    Case{"&#;", "&#;"}, Case{"&#x;", "&#x;"}, Case{"&#4294967295;", "&#4294967295;"},
                    Case{"&#4294967296;", "&#4294967296;"}, Case{"&#00000000000000000065;", "A"},
                    Case{"&#x1F49a;", "\xf0\x9f\x92\x9a"}, Case{"&#12a;", "&#12a;"},
                    Case{"&#x12g;", "&#x12g;"}, Case{"&#+60;", "&#+60;"}, Case{"a&b&c;d", "a&b&c;d"},
                    Case{"&amp", "&amp"}, Case{"&amp;;", "&;"}, Case{"&NewLine;&Tab;", "\n\t"},
                    Case{"&ThickSpace;", "\xe2\x81\x9f\xe2\x80\x8a"}, Case{"&bne;", "=\xe2\x83\xa5"}));

// The text with every "&#digits;" removed.
std::string withoutReferences(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 2, "&#") == 0) {
            std::size_t end = i + 2;
            while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
            if (end < text.size() && end > i + 2 && text[end] == ';') {
                i = end + 1;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

TEST(HTMLEscaping, UnescapingUndoesBothEscapings) {
    std::mt19937 rng(99);
    const char32_t pool[] = {U'a',      U'<',          U'&',          U';',      U'#',      U'!',
                             U'}',      U'\r',         U'\n',         U'\u00e9', U'\u0301', U'\u0338',
                             U'\u200d', U'\U0001F44D', U'\U0001F3FD', U'x',      U'3'};
    for (int round = 0; round < 2000; ++round) {
        std::u32string text;
        const int length = static_cast<int>(rng() % 24);
        for (int i = 0; i < length; ++i) text += pool[rng() % std::size(pool)];
        std::string utf8;
        for (char32_t c : text) {
            if (c < 0x80) {
                utf8 += static_cast<char>(c);
            } else if (c < 0x800) {
                utf8 += static_cast<char>(0xC0 | (c >> 6));
                utf8 += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                utf8 += static_cast<char>(0xE0 | (c >> 12));
                utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                utf8 += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                utf8 += static_cast<char>(0xF0 | (c >> 18));
                utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                utf8 += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        const std::string ascii = stringByAddingASCIIEntities(utf8);
        for (unsigned char c : ascii) ASSERT_LT(c, 0x80) << ascii;
        EXPECT_EQ(stringByRemovingHTMLEntities(ascii), utf8);
        const std::string unicode = stringByAddingUnicodeEntities(utf8);
        EXPECT_EQ(withoutReferences(unicode).find_first_of("!\"$%&'+,<=>@[]`{}"), std::string::npos)
            << "raw member left in " << unicode;
        EXPECT_EQ(stringByRemovingHTMLEntities(unicode), utf8);
    }
}

// Hostile bytes: references cut short, huge numbers, bad UTF-8. Nothing may crash,
// escaping stays ASCII, and text without "&" comes back unchanged.
TEST(HTMLEscaping, ArbitraryBytesAreHandled) {
    std::mt19937 rng(4242);
    const char pool[] = {'&', '#', ';',    'x',    'X',    '1',    '9',    'f',  'a',  'm',  'p',
                         'l', 't', '\x80', '\xc3', '\xa9', '\xf0', '\xff', '\0', '\r', '\n', '<'};
    for (int round = 0; round < 5000; ++round) {
        std::string text;
        const int length = static_cast<int>(rng() % 40);
        for (int i = 0; i < length; ++i) text += pool[rng() % std::size(pool)];
        const std::string unescaped = stringByRemovingHTMLEntities(text);
        if (text.find('&') == std::string::npos) {
            EXPECT_EQ(unescaped, text);
        }
        for (unsigned char c : stringByAddingASCIIEntities(text)) ASSERT_LT(c, 0x80);
        (void)stringByAddingUnicodeEntities(text);
    }
}

// The generated table against the one Python ships: same names, same values.
TEST(HTMLEntityTable, MatchesPythonsTable) {
    struct PipeClose {
        void operator()(FILE* f) const { pclose(f); }
    };
    std::unique_ptr<FILE, PipeClose> pipe(
        popen("/usr/bin/python3 -c 'import html.entities as h\n"
              "for k, v in h.html5.items():\n"
              "    if k.endswith(\";\"): print(k[:-1], v.encode().hex())'",
              "r"));
    ASSERT_TRUE(pipe);
    std::size_t count = 0;
    char name[64], value[64];
    while (std::fscanf(pipe.get(), "%63s %63s", name, value) == 2) {
        ++count;
        const auto found = htmlEntityValue(name);
        ASSERT_TRUE(found.has_value()) << name;
        EXPECT_EQ(hexOf(*found), value) << name;
        EXPECT_EQ(stringByRemovingHTMLEntities(std::string("&") + name + ";"), *found) << name;
    }
    EXPECT_EQ(count, 2125u);
    EXPECT_EQ(htmlEntityCount(), 2125u);
    EXPECT_FALSE(htmlEntityValue("").has_value());
    EXPECT_FALSE(htmlEntityValue("amp;").has_value());
    EXPECT_FALSE(htmlEntityValue("zzzz").has_value());
}

TEST(HTMLEntityTable, CheckedInFileIsCurrent) {
    EXPECT_EQ(std::system("/usr/bin/python3 " KIV_SOURCE_DIR "/tools/gen_html_entities.py --check"), 0);
}

}  // namespace
}  // namespace kiv
