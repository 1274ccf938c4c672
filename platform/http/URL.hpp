#pragma once
// An absolute URL, split into its parts by libcurl's URL parser (the one that the HTTP client's
// requests go through, so both read a text the same way). A plain value: copy freely, any thread.
//
// Parts are as they appear in the text (not percent-decoded); an absent part is empty (port():
// none). The host of an IPv6 literal keeps its brackets, as libcurl gives it ("[2001:db8::1]"),
// so that host() + ":" + port stays a valid authority. Any scheme of the form "name://" is
// accepted, not only those libcurl can fetch.
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class URL {
public:
    // The URL in `text`; none for a relative or malformed text (or one with spaces or controls).
    static std::optional<URL> parse(std::string_view text);
    // scheme://host[:port]path. An IPv6 host may be given with or without brackets; `path` is
    // taken as it is (percent-encoded by the caller), "/" when empty. None when libcurl refuses a
    // part or the port is outside 1...65535.
    static std::optional<URL> make(std::string_view scheme, std::string_view host, std::optional<int> port,
                                   std::string_view path);

    // The same URL with `path` as its path and no port; everything else (user, query, fragment)
    // kept. Nothing when the path cannot be set.
    std::optional<URL> withPathAndNoPort(std::string_view path) const;

    const std::string& scheme() const { return scheme_; }  // lower case
    const std::string& host() const { return host_; }
    std::optional<int> port() const { return port_; }  // only when the text names one
    const std::string& path() const { return path_; }
    const std::string& query() const { return query_; }        // without the '?'
    const std::string& fragment() const { return fragment_; }  // without the '#'
    const std::string& user() const { return user_; }
    // The whole URL as libcurl writes it out (the scheme in lower case, "/" for an empty path;
    // the host as written).
    std::string text() const { return text_; }

    bool operator==(const URL&) const = default;

private:
    URL() = default;

    std::string text_;
    std::string scheme_;
    std::string host_;
    std::optional<int> port_;
    std::string path_;
    std::string query_;
    std::string fragment_;
    std::string user_;
};

}  // namespace platform
