#include "dnsproxy/DefaultConfiguration.hpp"

#include <algorithm>
#include <asio/ip/address.hpp>

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

namespace {

constexpr const char* kNoQueries = "the proxy takes no queries";
// A file may hold thousands of bad entries; the first few tell what to mend.
constexpr std::size_t kMaxProblems = 16;

std::string inQuotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

// A resolver text the upstream connection cannot use, or nothing.
std::optional<std::string> badResolver(const std::string& resolver) {
    if (resolver.empty()) return "is an empty text";
    asio::error_code ec;
    asio::ip::make_address(resolver, ec);
    if (ec) return inQuotes(resolver) + " is not an IP address (names are not looked up)";
    return std::nullopt;
}

class ProblemList {
public:
    void add(std::string problem) {
        if (problems_.size() < kMaxProblems) {
            problems_.push_back(std::move(problem));
        } else {
            ++unsaid_;
        }
    }

    // A required text: present, text, not empty.
    void requireText(const nlohmann::json& object, const char* key) {
        const auto* value = find(object, key);
        if (!value) return add(inQuotes(key) + " is missing: " + kNoQueries);
        if (!value->is_string()) return add(inQuotes(key) + " is not a text: " + kNoQueries);
        if (value->get_ref<const std::string&>().empty()) add(inQuotes(key) + " is empty: " + kNoQueries);
    }
    // An optional text: absent or text.
    void optionalText(const nlohmann::json& object, const char* key, const std::string& where,
                      const char* consequence) {
        const auto* value = find(object, key);
        if (value && !value->is_string()) add(where + inQuotes(key) + " is not a text: " + consequence);
    }
    // An optional list of resolver texts; `required` when an empty or missing list
    // leaves the proxy without its default resolver.
    void resolverList(const nlohmann::json& object, const char* key, const std::string& where, bool required,
                      const char* notAList) {
        const auto* value = find(object, key);
        if (!value) {
            if (required) add(where + inQuotes(key) + " is missing: " + kNoQueries);
            return;
        }
        const auto list = textList(object, key);
        if (!list) return add(where + inQuotes(key) + " is not a list of texts: " + notAList);
        if (list->empty() && required) return add(where + inQuotes(key) + " is empty: " + kNoQueries);
        for (std::size_t i = 0; i < list->size(); ++i) {
            if (auto why = badResolver((*list)[i])) {
                add(where + inQuotes(key) + " entry " + std::to_string(i + 1) + " " + *why +
                    ": queries sent to it are dropped");
            }
        }
    }
    void filterEntry(const nlohmann::json& entry, std::size_t index) {
        const std::string where = inQuotes("filters") + " entry " + std::to_string(index) + ": ";
        if (!makeForwardingRule(entry)) {
            return add(where + "no " + inQuotes("filter") + " list of dictionaries: the rule is not used");
        }
        std::size_t itemIndex = 0;
        for (const auto& item : *find(entry, "filter")) {
            const std::string at = where + "item " + std::to_string(++itemIndex) + " ";
            optionalText(item, "domain", at, "taken as no domain");
            optionalText(item, "rule", at, "taken as no address rule");
            resolverList(item, "resolvers", at, false, "the item's resolvers are not used");
        }
    }

    std::vector<std::string> take() {
        if (unsaid_) problems_.push_back("and " + std::to_string(unsaid_) + " more");
        return std::move(problems_);
    }

private:
    std::vector<std::string> problems_;
    std::size_t unsaid_ = 0;
};

}  // namespace

std::vector<std::string> configurationProblems(const nlohmann::json& vendorData) {
    ProblemList problems;
    if (!vendorData.is_object()) {
        problems.add("the provider configuration is not a dictionary");
        return problems.take();
    }
    problems.requireText(vendorData, "uuid");
    problems.requireText(vendorData, "locationTag");
    problems.resolverList(vendorData, "resolvers", "", true, kNoQueries);
    problems.optionalText(vendorData, "internalIp", "", "the queries carry no internal address");
    problems.optionalText(vendorData, "externalIp", "", "no address rule matches");
    problems.resolverList(vendorData, "localDNS", "", false, "the computer's DNS servers are used instead");
    if (const auto* filters = find(vendorData, "filters")) {
        if (!dictionaryList(vendorData, "filters")) {
            problems.add(inQuotes("filters") + " is not a list of dictionaries: no forwarding rule is used");
        } else {
            std::size_t index = 0;
            for (const auto& entry : *filters) problems.filterEntry(entry, ++index);
        }
    }
    return problems.take();
}

}  // namespace dnsproxy
