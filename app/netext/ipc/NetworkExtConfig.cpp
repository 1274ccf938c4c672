#include "app/netext/ipc/NetworkExtConfig.hpp"

#include <array>

#include "model/JSONCoder.hpp"

namespace kiv {
namespace {

constexpr std::array<std::string_view, 4> kKeyTexts = {"UDDID", "locationKey", "resolvers", "deviceConfig"};

}  // namespace

std::string_view NetworkExtConfig::stringValue(CodingKeys key) {
    return kKeyTexts[static_cast<std::size_t>(key)];
}

std::optional<NetworkExtConfig::CodingKeys> NetworkExtConfig::codingKey(std::string_view text) {
    for (std::size_t i = 0; i < kKeyTexts.size(); ++i) {
        if (kKeyTexts[i] == text) return static_cast<CodingKeys>(i);
    }
    return std::nullopt;
}

std::optional<NetworkExtConfig::CodingKeys> NetworkExtConfig::codingKey(int) { return std::nullopt; }

NetworkExtConfig NetworkExtConfig::decode(const model::Decoder& decoder) {
    const auto keyed = decoder.keyedContainer();
    NetworkExtConfig config;
    config.UDDID = keyed.decode<std::string>(stringValue(CodingKeys::UDDID));
    config.locationKey = keyed.decode<std::string>(stringValue(CodingKeys::locationKey));
    config.resolvers = keyed.decode<std::vector<std::string>>(stringValue(CodingKeys::resolvers));
    config.deviceConfig = keyed.decode<model::DeviceConfiguration>(stringValue(CodingKeys::deviceConfig));
    return config;
}

model::OrderedJSONValue NetworkExtConfig::encode(const model::Encoder& encoder) const {
    model::KeyedEncoder keyed(encoder);
    keyed.encode(stringValue(CodingKeys::UDDID), UDDID);
    keyed.encode(stringValue(CodingKeys::locationKey), locationKey);
    keyed.encode(stringValue(CodingKeys::resolvers), resolvers);
    keyed.encode(stringValue(CodingKeys::deviceConfig), deviceConfig);
    return std::move(keyed).take();
}

std::vector<std::string> NetworkExtConfig::forwardingResolvers() const {
    std::vector<std::string> all;
    if (!deviceConfig.result || !deviceConfig.result->filters) return all;
    for (const auto& rule : *deviceConfig.result->filters) {
        if (rule.resolvers) all.insert(all.end(), rule.resolvers->begin(), rule.resolvers->end());
    }
    return all;
}

std::vector<FilterDictionary> filterDictionaries(const model::DeviceConfiguration& configuration) {
    std::vector<FilterDictionary> rules;
    if (configuration.result && configuration.result->filters) {
        for (const auto& rule : *configuration.result->filters) {
            // Through JSON and back, so the dictionary holds exactly the members present.
            const model::JSONEncoder encoder{.sortedKeys = true,
                                             .dateEncodingStrategy = model::DateEncodingStrategy::iso8601};
            auto json = encoder.encode(rule);
            if (!json) continue;
            auto value = model::JSONDecoder{}.decode<model::AnyJSONValue>(*json);
            if (!value) continue;
            if (const auto* dictionary = value->get<FilterDictionary>()) rules.push_back(*dictionary);
        }
    }
    return filterEntries(rules);
}

std::vector<FilterDictionary> filterEntries(const std::vector<FilterDictionary>& rules) {
    using model::AnyJSONValue;
    std::vector<FilterDictionary> entries;
    entries.reserve(rules.size());
    for (const auto& rule : rules) {
        AnyJSONValue::List items;
        if (auto it = rule.find("resolvers"); it != rule.end()) {
            if (auto texts = it->second.asStringList()) {
                AnyJSONValue::List list(texts->begin(), texts->end());
                items.emplace_back(FilterDictionary{{"resolvers", AnyJSONValue(std::move(list))}});
            }
        }
        for (const char* key : {"domain", "rule"}) {
            if (auto it = rule.find(key); it != rule.end()) {
                if (const auto* text = it->second.asString())
                    items.emplace_back(FilterDictionary{{key, *text}});
            }
        }
        entries.push_back(FilterDictionary{{"filter", AnyJSONValue(std::move(items))}});
    }
    return entries;
}

bool isEmpty(const model::ForwardingRule& rule) {
    if (rule.rule) return false;
    if (rule.domain && !rule.domain->empty()) return false;
    return !rule.resolvers || rule.resolvers->empty() || rule.resolvers->front().empty();
}

}  // namespace kiv
