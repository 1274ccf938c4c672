#include "dnsproxy/DefaultConfiguration.hpp"

#include <algorithm>

namespace dnsproxy {

namespace {

const nlohmann::json* find(const nlohmann::json& object, const char* name) {
    if (!object.is_object()) return nullptr;
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> text(const nlohmann::json& object, const char* name) {
    const auto* value = find(object, name);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

// A list whose every element is text; absent when any element is not.
std::optional<std::vector<std::string>> textList(const nlohmann::json& object, const char* name) {
    const auto* value = find(object, name);
    if (!value || !value->is_array()) return std::nullopt;
    std::vector<std::string> result;
    result.reserve(value->size());
    for (const auto& element : *value) {
        if (!element.is_string()) return std::nullopt;
        result.push_back(element.get<std::string>());
    }
    return result;
}

// A list whose every element is a dictionary; absent when any element is not.
const nlohmann::json* dictionaryList(const nlohmann::json& object, const char* name) {
    const auto* value = find(object, name);
    if (!value || !value->is_array()) return nullptr;
    if (!std::all_of(value->begin(), value->end(), [](const auto& e) { return e.is_object(); }))
        return nullptr;
    return value;
}

}  // namespace

bool operator==(const DefaultConfiguration& a, const DefaultConfiguration& b) {
    const auto sameRules =
        std::equal(a.forwardingRules.begin(), a.forwardingRules.end(), b.forwardingRules.begin(),
                   b.forwardingRules.end(), [](const auto& x, const auto& y) {
                       return x.domain == y.domain && x.resolvers == y.resolvers && x.rule == y.rule;
                   });
    return a.uuid == b.uuid && a.locationKey == b.locationKey && a.resolvers == b.resolvers &&
           a.ipAddress == b.ipAddress && a.externalIPAddress == b.externalIPAddress &&
           a.dchpServers == b.dchpServers && sameRules;
}

DefaultConfiguration makeDefaultConfiguration(const nlohmann::json& vendorData) {
    DefaultConfiguration config;
    config.uuid = text(vendorData, "uuid").value_or("");
    config.locationKey = text(vendorData, "locationTag").value_or("");
    config.resolvers = textList(vendorData, "resolvers").value_or(std::vector<std::string>{});
    config.ipAddress = text(vendorData, "internalIp").value_or("");
    config.externalIPAddress = text(vendorData, "externalIp").value_or("");
    config.dchpServers = textList(vendorData, "localDNS").value_or(std::vector<std::string>{});
    if (const auto* filters = dictionaryList(vendorData, "filters")) {
        for (const auto& entry : *filters) {
            if (auto rule = makeForwardingRule(entry)) config.forwardingRules.push_back(std::move(*rule));
        }
    }
    return config;
}

std::optional<model::ForwardingRule> makeForwardingRule(const nlohmann::json& filterEntry) {
    if (!filterEntry.is_object() || filterEntry.empty()) return std::nullopt;
    const auto* items = dictionaryList(filterEntry, "filter");
    if (!items) return std::nullopt;
    std::string domain;
    std::string rule;
    std::vector<std::string> resolvers;
    for (const auto& item : *items) {
        if (domain.empty()) domain = text(item, "domain").value_or("");
        if (rule.empty()) rule = text(item, "rule").value_or("");
        if (auto list = textList(item, "resolvers")) resolvers = std::move(*list);
    }
    model::ForwardingRule result;
    result.domain = std::move(domain);
    result.rule = std::move(rule);
    result.resolvers = std::move(resolvers);
    return result;
}

}  // namespace dnsproxy
