#pragma once
// Forwarding-rule selection: which upstream resolver a query goes to, and whether
// it gets the client-identification option (it does when the decision isDefault).
// With one rule, that rule's first resolver is the default for every query; with
// more, the first rule whose domain is part of the query name (any case) and/or
// whose address rule covers the external address decides. Pure apart from the
// random choice among a rule's resolvers; any thread.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dnscodec/DNSMessage.hpp"
#include "model/Expected.hpp"
#include "model/ForwardingRule.hpp"
#include "platform/SystemLog.hpp"

namespace dnsproxy {

struct FilterDecision {
    std::optional<std::string> resolver;
    bool isDefault = false;
    friend bool operator==(const FilterDecision&, const FilterDecision&) = default;
};

enum class FilterError { missingResolver, missingRule, missingDomain };
// The platform's text for an error without a description of its own.
std::string localizedDescription(FilterError error);

class FilterManager {
public:
    explicit FilterManager(const platform::SystemLog& log) : log(&log) {}

    model::Expected<FilterDecision, FilterError> domainFilter(const std::vector<model::ForwardingRule>& rules,
                                                              std::string_view externalIP,
                                                              const dnscodec::DNSMessage* message) const;
    // The same for a query whose first question names `name` (empty: none).
    // `addressMatches`, when given, holds for each rule what addressMatches() says
    // of that rule and `externalIP`, worked out once per configuration.
    model::Expected<FilterDecision, FilterError> domainFilter(const std::vector<model::ForwardingRule>& rules,
                                                              std::string_view externalIP,
                                                              std::string_view name,
                                                              const std::vector<bool>* addressMatches) const;
    // Whether the address rule `rule` (an address, or a network in any form
    // model::IPNetworkv4 reads) covers `externalIP`.
    static bool addressMatches(const std::string& rule, std::string_view externalIP);
    // 2 × (domain present and non-empty) + (rule present and non-empty).
    static int ruleKind(const std::optional<std::string>& domain, const std::optional<std::string>& rule);
    // The first resolver of the first rule, isDefault true; missingResolver when it has none.
    static model::Expected<FilterDecision, FilterError> firstResolver(
        const std::vector<model::ForwardingRule>& rules);

    const platform::SystemLog* log;
};

}  // namespace dnsproxy
