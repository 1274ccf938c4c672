// URLs as libcurl's parser splits them.
#include <gtest/gtest.h>

#include "platform/http/URL.hpp"

namespace platform {
namespace {

struct Parsed {
    const char* text;
    const char* scheme;
    const char* host;
    std::optional<int> port;
    const char* path;
    const char* query;
    const char* fragment;
    const char* user;
    const char* normalised;
};

TEST(URL, SplitsAbsoluteURLsIntoTheirParts) {
    const Parsed table[] = {
        {"https://192.0.2.10:8443/base", "https", "192.0.2.10", 8443, "/base", "", "", "",
         "https://192.0.2.10:8443/base"},
        {"HTTPS://Example.COM", "https", "Example.COM", std::nullopt, "/", "", "", "",
         "https://Example.COM/"},
        {"http://[2001:db8::1]:53/dns-query?dns=AAAB#top", "http", "[2001:db8::1]", 53, "/dns-query",
         "dns=AAAB", "top", "", "http://[2001:db8::1]:53/dns-query?dns=AAAB#top"},
        {"https://agent@api.example.com/v1/devices?id=7", "https", "api.example.com", std::nullopt,
         "/v1/devices", "id=7", "", "agent", "https://agent@api.example.com/v1/devices?id=7"},
        {"kiv://open/settings", "kiv", "open", std::nullopt, "/settings", "", "", "", "kiv://open/settings"},
    };
    for (const auto& row : table) {
        const auto url = URL::parse(row.text);
        ASSERT_TRUE(url) << row.text;
        EXPECT_EQ(url->scheme(), row.scheme) << row.text;
        EXPECT_EQ(url->host(), row.host) << row.text;
        EXPECT_EQ(url->port(), row.port) << row.text;
        EXPECT_EQ(url->path(), row.path) << row.text;
        EXPECT_EQ(url->query(), row.query) << row.text;
        EXPECT_EQ(url->fragment(), row.fragment) << row.text;
        EXPECT_EQ(url->user(), row.user) << row.text;
        EXPECT_EQ(url->text(), row.normalised) << row.text;
    }
}

TEST(URL, RefusesWhatIsNotAnAbsoluteURL) {
    using namespace std::string_literals;
    for (const std::string& text :
         {""s, "not a url"s, "/relative/path"s, "example.com/path"s, "https://"s, "https://host:99999/"s,
          "https://ho st/"s, "https://a\0b.com/"s, "https://[::1/"s, "://host/"s}) {
        EXPECT_FALSE(URL::parse(text)) << text;
    }
}

TEST(URL, BuildsFromParts) {
    struct Made {
        const char* scheme;
        const char* host;
        std::optional<int> port;
        const char* path;
        std::optional<std::string> text;
    };
    const Made table[] = {
        {"https", "192.0.2.10", 8443, "/base", "https://192.0.2.10:8443/base"},
        {"https", "api.example.com", std::nullopt, "", "https://api.example.com/"},
        {"http", "::1", 8053, "/dns-query", "http://[::1]:8053/dns-query"},
        {"http", "[::1]", std::nullopt, "/x", "http://[::1]/x"},
        {"https", "host", 0, "/", std::nullopt},
        {"https", "host", 65536, "/", std::nullopt},
        {"https", "", 443, "/", std::nullopt},
        {"", "host", 443, "/", std::nullopt},
        {"https", "bad host", std::nullopt, "/", std::nullopt},
    };
    for (const auto& row : table) {
        const auto url = URL::make(row.scheme, row.host, row.port, row.path);
        EXPECT_EQ(url ? std::optional(url->text()) : std::nullopt, row.text) << row.scheme << " " << row.host;
        if (url) {
            EXPECT_EQ(URL::parse(url->text()), url);  // a made URL reads back the same
        }
    }
}

}  // namespace
}  // namespace platform
