#include "dnsproxy/FilterManager.hpp"

#include <algorithm>

#include "dnsproxy/RandomIndex.hpp"
#include "model/IPNetworkv4.hpp"

namespace dnsproxy {

namespace {

using Result = model::Expected<FilterDecision, FilterError>;

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether `name` contains `domain`, letters compared without case.
bool containsIgnoringCase(std::string_view name, std::string_view domain) {
    if (domain.size() > name.size()) return false;
    const auto it = std::search(name.begin(), name.end(), domain.begin(), domain.end(),
                                [](char a, char b) { return upper(a) == upper(b); });
    return it != name.end() || domain.empty();
}

bool hasText(const std::optional<std::string>& text) { return text && !text->empty(); }

}  // namespace

std::string localizedDescription(FilterError error) {
    return "The operation couldn’t be completed. (KIVDNSProxy.FilterError error " +
           std::to_string(static_cast<int>(error)) + ".)";
}

bool FilterManager::addressMatches(const std::string& rule, std::string_view externalIP) {
    if (rule == externalIP) return true;
    const auto network = model::IPNetworkv4::parse(rule);
    return network.has_value() && network->containsHostText(externalIP);
}

int FilterManager::ruleKind(const std::optional<std::string>& domain,
                            const std::optional<std::string>& rule) {
    return (hasText(domain) ? 2 : 0) + (hasText(rule) ? 1 : 0);
}

Result FilterManager::firstResolver(const std::vector<model::ForwardingRule>& rules) {
    if (rules.empty()) return model::unexpected(FilterError::missingRule);
    const auto& resolvers = rules.front().resolvers;
    if (!resolvers || resolvers->empty()) return model::unexpected(FilterError::missingResolver);
    return FilterDecision{resolvers->front(), true};
}

Result FilterManager::domainFilter(const std::vector<model::ForwardingRule>& rules,
                                   std::string_view externalIP, const dnscodec::DNSMessage* message) const {
    std::string_view name;
    if (message && message->questions && !message->questions->empty() && message->questions->front() &&
        message->questions->front()->name) {
        name = *message->questions->front()->name;
    }
    return domainFilter(rules, externalIP, name, nullptr);
}

Result FilterManager::domainFilter(const std::vector<model::ForwardingRule>& rules,
                                   std::string_view externalIP, std::string_view name,
                                   const std::vector<bool>* addressMatched) const {
    if (rules.empty()) return model::unexpected(FilterError::missingRule);
    if (rules.size() == 1) return firstResolver(rules);
    if (addressMatched && addressMatched->size() != rules.size()) addressMatched = nullptr;
    const auto coversAddress = [&](std::size_t index) {
        return addressMatched ? (*addressMatched)[index] : addressMatches(*rules[index].rule, externalIP);
    };
    for (std::size_t index = 0; index < rules.size(); ++index) {
        const auto& rule = rules[index];
        bool matched = false;
        switch (ruleKind(rule.domain, rule.rule)) {
            case 0:
                if (!rule.resolvers || rule.resolvers->empty())
                    return model::unexpected(FilterError::missingResolver);
                continue;
            case 1:
                matched = coversAddress(index);
                break;
            case 2:
                matched = containsIgnoringCase(name, *rule.domain);
                if (matched) log->info("domainFilter: Filtering on domain rule");
                break;
            case 3:
                matched = containsIgnoringCase(name, *rule.domain) && coversAddress(index);
                break;
        }
        if (!matched) continue;
        if (!rule.resolvers || rule.resolvers->empty()) return FilterDecision{std::nullopt, false};
        return FilterDecision{(*rule.resolvers)[randomIndex(rule.resolvers->size())], false};
    }
    return firstResolver(rules);
}

}  // namespace dnsproxy
