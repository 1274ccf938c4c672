#include "platform/http/URL.hpp"

#include <curl/curl.h>

#include <charconv>
#include <memory>

namespace platform {
namespace {

struct URLCleanup {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using URLHandle = std::unique_ptr<CURLU, URLCleanup>;

struct CurlFree {
    void operator()(char* text) const { curl_free(text); }
};

constexpr unsigned int kFlags = CURLU_NON_SUPPORT_SCHEME;

// The part, or none when the URL has none (or libcurl fails).
std::optional<std::string> part(CURLU* handle, CURLUPart which) {
    char* raw = nullptr;
    if (curl_url_get(handle, which, &raw, 0) != CURLUE_OK || raw == nullptr) return std::nullopt;
    const std::unique_ptr<char, CurlFree> owned(raw);
    return std::string(owned.get());
}

bool set(CURLU* handle, CURLUPart which, const std::string& value) {
    return curl_url_set(handle, which, value.c_str(), kFlags) == CURLUE_OK;
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
    // libcurl reads C strings: a NUL inside would cut the text short unseen.
    if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
    URLHandle handle(curl_url());
    if (!handle || !set(handle.get(), CURLUPART_URL, std::string(text))) return std::nullopt;
    auto whole = part(handle.get(), CURLUPART_URL);
    auto scheme = part(handle.get(), CURLUPART_SCHEME);
    if (!whole || !scheme) return std::nullopt;
    URL url;
    url.text_ = std::move(*whole);
    url.scheme_ = std::move(*scheme);
    url.host_ = part(handle.get(), CURLUPART_HOST).value_or("");
    if (const auto port = part(handle.get(), CURLUPART_PORT)) {
        int number = 0;
        const auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), number);
        if (error != std::errc() || end != port->data() + port->size()) return std::nullopt;
        url.port_ = number;
    }
    url.path_ = part(handle.get(), CURLUPART_PATH).value_or("");
    url.query_ = part(handle.get(), CURLUPART_QUERY).value_or("");
    url.fragment_ = part(handle.get(), CURLUPART_FRAGMENT).value_or("");
    url.user_ = part(handle.get(), CURLUPART_USER).value_or("");
    return url;
}

std::optional<URL> URL::make(std::string_view scheme, std::string_view host, std::optional<int> port,
                             std::string_view path) {
    if (scheme.empty() || host.empty() || (port && (*port < 1 || *port > 65535))) return std::nullopt;
    for (const auto text : {scheme, host, path}) {
        if (text.find('\0') != std::string_view::npos) return std::nullopt;
    }
    std::string hostText(host);
    if (hostText.find(':') != std::string::npos && hostText.front() != '[') hostText = "[" + hostText + "]";
    URLHandle handle(curl_url());
    if (!handle || !set(handle.get(), CURLUPART_SCHEME, std::string(scheme)) ||
        !set(handle.get(), CURLUPART_HOST, hostText) ||
        (port && !set(handle.get(), CURLUPART_PORT, std::to_string(*port))) ||
        !set(handle.get(), CURLUPART_PATH, path.empty() ? std::string("/") : std::string(path))) {
        return std::nullopt;
    }
    const auto text = part(handle.get(), CURLUPART_URL);
    if (!text) return std::nullopt;
    // Read back, so that a made URL has the same parts as the same text parsed.
    return parse(*text);
}

std::optional<URL> URL::withPathAndNoPort(std::string_view path) const {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    URLHandle handle(curl_url());
    if (!handle || !set(handle.get(), CURLUPART_URL, text_) ||
        !set(handle.get(), CURLUPART_PATH, path.empty() ? std::string("/") : std::string(path)) ||
        curl_url_set(handle.get(), CURLUPART_PORT, nullptr, 0) != CURLUE_OK) {
        return std::nullopt;
    }
    const auto text = part(handle.get(), CURLUPART_URL);
    if (!text) return std::nullopt;
    return parse(*text);
}

}  // namespace platform
