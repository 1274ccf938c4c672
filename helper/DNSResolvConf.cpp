#include "helper/DNSResolvConf.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <optional>

namespace helper {
namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The words of a line, or nothing for a comment.
std::vector<std::string> wordsOf(const std::string& line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && blank(line[at])) ++at;
        if (at >= line.size() || line[at] == '#' || line[at] == ';') break;
        const std::size_t start = at;
        while (at < line.size() && !blank(line[at])) ++at;
        words.push_back(line.substr(start, at - start));
    }
    return words;
}

bool isNameserverLine(const std::string& line) {
    const auto words = wordsOf(line);
    return !words.empty() && words[0] == "nameserver";
}

}  // namespace

bool isServerAddress(const std::string& text) {
    if (text.empty() || text.find('\0') != std::string::npos) return false;
    unsigned char bytes[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, text.c_str(), bytes) == 1 || ::inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

DNSResolvConf::DNSResolvConf(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines_.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::vector<std::string> DNSResolvConf::servers() const {
    std::vector<std::string> servers;
    for (const auto& line : lines_) {
        const auto words = wordsOf(line);
        if (words.size() >= 2 && words[0] == "nameserver") servers.push_back(words[1]);
    }
    return servers;
}

void DNSResolvConf::setServers(const std::vector<std::string>& servers) {
    std::vector<std::string> lines;
    std::optional<std::size_t> block;
    for (const auto& line : lines_) {
        if (!isNameserverLine(line)) {
            lines.push_back(line);
        } else if (!block) {
            block = lines.size();
        }
    }
    std::vector<std::string> serverLines;
    for (const auto& server : servers) serverLines.push_back("nameserver " + server);
    const auto at = lines.begin() + static_cast<std::ptrdiff_t>(block.value_or(lines.size()));
    lines.insert(at, serverLines.begin(), serverLines.end());
    lines_ = std::move(lines);
}

nlohmann::json DNSResolvConf::configuration() const {
    nlohmann::json configuration = nlohmann::json::object();
    configuration["ServerAddresses"] = servers();
    std::vector<std::string> options;
    for (const auto& line : lines_) {
        const auto words = wordsOf(line);
        if (words.size() < 2) continue;
        if (words[0] == "domain") {
            configuration["DomainName"] = words[1];
        } else if (words[0] == "search") {
            configuration["SearchDomains"] = std::vector<std::string>(words.begin() + 1, words.end());
        } else if (words[0] == "options") {
            options.insert(options.end(), words.begin() + 1, words.end());
        }
    }
    if (!options.empty()) configuration["Options"] = options;
    return configuration;
}

std::string DNSResolvConf::text() const {
    std::string text;
    for (const auto& line : lines_) text += line + "\n";
    return text;
}

}  // namespace helper
