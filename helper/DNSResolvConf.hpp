#pragma once
// The text of a resolv.conf as the DNS settings modifier edits it: the "nameserver" lines are
// replaced as a block (where the first one stood, else at the end); every other line (comments,
// "search", "domain", "options", blank lines, what we do not know) stays as it was, byte for byte.
//
// Value type; no I/O.
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace helper {

class DNSResolvConf {
public:
    DNSResolvConf() = default;
    explicit DNSResolvConf(const std::string& text);

    // The addresses of the "nameserver" lines, in order.
    std::vector<std::string> servers() const;
    // Replaces the "nameserver" lines by one line per server (none: they are removed).
    void setServers(const std::vector<std::string>& servers);

    // The settings as a dictionary: "ServerAddresses" always, "DomainName", "SearchDomains" and
    // "Options" when the file has such lines (the last "domain"/"search" line wins, as for glibc).
    nlohmann::json configuration() const;

    std::string text() const;

private:
    std::vector<std::string> lines_;  // without their line feeds
};

// True for a plain IPv4 or IPv6 address literal: what may follow "nameserver" or go to resolved.
bool isServerAddress(const std::string& text);

}  // namespace helper
