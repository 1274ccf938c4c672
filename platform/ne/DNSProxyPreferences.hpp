#pragma once
// The DNS-proxy preferences: what the application saves through its DNS-proxy
// manager and what starts and stops the proxy. On Linux they are one JSON file:
//
//   {
//     "localizedDescription": "KIV DNS Proxy ",
//     "enabled": true,
//     "providerProtocol": {
//       "providerBundleIdentifier": "com.kiv.veltrax.KIVDNSProxy",
//       "serverAddress": "203.0.113.1",          // optional
//       "disconnectOnSleep": false,
//       "enforceRoutes": true,
//       "providerConfiguration": { ... }        // the provider's "VendorData"
//     },
//     "intercept": false                        // optional, see below
//   }
//
// "intercept" false keeps the daemon listening only: the computer's DNS is not
// sent to it (true or absent: it is, when the daemon intercepts at all). The
// application does not manage it: a save without it keeps the file's own.
//
// Saving writes a temporary file in the same folder and renames it over the old
// one, so a reader sees either the old or the new file whole. Loading refuses
// symbolic links, non-regular files and files over 1 MiB.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace platform::ne {

struct DNSProxyPreferences {
    std::string localizedDescription;
    bool enabled = false;
    std::string providerBundleIdentifier;
    std::optional<std::string> serverAddress;
    bool disconnectOnSleep = false;
    bool enforceRoutes = false;
    // The provider configuration; absent when the file has none (or not an object).
    std::optional<nlohmann::json> providerConfiguration;
    // "intercept"; absent when the file has none (or not a Boolean).
    std::optional<bool> intercept;

    nlohmann::json toJSON() const;
    // Lenient about missing members (defaults above); wrong types count as missing.
    static DNSProxyPreferences fromJSON(const nlohmann::json& json);
};

// The default file: $KIV_DNSPROXY_PREFERENCES, else /var/lib/kiv/dnsproxy/preferences.json.
std::string defaultDNSProxyPreferencesPath();

struct PreferencesLoad {
    enum class Status { loaded, missing, unreadable };
    Status status = Status::missing;
    DNSProxyPreferences preferences;
    std::string error;  // for unreadable
    // For loaded: what in the file was taken otherwise than written (wrong types).
    std::vector<std::string> problems;
};

PreferencesLoad loadDNSProxyPreferences(const std::string& path);
// Empty on success, else the failure's text.
std::string saveDNSProxyPreferences(const std::string& path, const DNSProxyPreferences& preferences);
// Empty on success (a missing file counts as removed), else the failure's text.
std::string removeDNSProxyPreferences(const std::string& path);

// JSON values are copied and compared recursively, so a text nested deeper than any
// configuration needs is refused when it is read, before it could exhaust the stack.
inline constexpr int kMaxJSONDepth = 64;
// The parsed text, or a discarded value (is_discarded()) for text that is not JSON
// or is nested more than `maxDepth` deep.
nlohmann::json parseBoundedJSON(const std::string& text, int maxDepth = kMaxJSONDepth);

// Reads a whole regular file (no symbolic link) of at most `limit` bytes.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit, std::string& error);

}  // namespace platform::ne
