#pragma once
// What the DNS-proxy extension must know about the device: its identifier, location
// key, filtering resolvers and the whole device configuration; the JSON payload of
// `updateConfigWithConfig:completionHandler:`. Beside it, the builders of the proxy
// configuration's derived values (the rule resolvers and the "filters" list) and the
// emptiness test of a forwarding rule. Plain values and pure functions; any thread.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/AnyJSONValue.hpp"
#include "model/Decoder.hpp"
#include "model/DeviceConfiguration.hpp"
#include "model/Encoder.hpp"
#include "model/ForwardingRule.hpp"

namespace kiv {

struct NetworkExtConfig {
    // The JSON keys; their text is the member name. Keys are texts only: one made from an
    // integer is refused.
    enum class CodingKeys { UDDID, locationKey, resolvers, deviceConfig };
    static std::string_view stringValue(CodingKeys key);
    static std::optional<CodingKeys> codingKey(std::string_view stringValue);
    static std::optional<CodingKeys> codingKey(int intValue);

    std::string UDDID;                        // "UDDID": the device identifier
    std::string locationKey;                  // "locationKey"
    std::vector<std::string> resolvers;       // "resolvers": the filtering resolvers
    model::DeviceConfiguration deviceConfig;  // "deviceConfig"

    // All four members are required; a missing one or one of the wrong type fails.
    static NetworkExtConfig decode(const model::Decoder& decoder);
    // Writes all four, in declaration order.
    model::OrderedJSONValue encode(const model::Encoder& encoder) const;

    // The resolvers of every forwarding rule of `deviceConfig`, concatenated in rule order;
    // nothing is de-duplicated or checked.
    std::vector<std::string> forwardingResolvers() const;
};

using FilterDictionary = model::AnyJSONValue::Dictionary;

// The provider configuration's "filters": one {"filter": [...]} entry per forwarding rule of
// `configuration`, in rule order. A rule that cannot go through JSON is left out.
std::vector<FilterDictionary> filterDictionaries(const model::DeviceConfiguration& configuration);
// Per rule dictionary: {"filter": items}, the items {"resolvers": [...]}, {"domain": ...}
// and {"rule": ...} in that order, each only when its value has that type.
std::vector<FilterDictionary> filterEntries(const std::vector<FilterDictionary>& rules);

// No rule text, no (or an empty) domain, and no resolvers, none, or an empty first one.
bool isEmpty(const model::ForwardingRule& rule);

}  // namespace kiv
