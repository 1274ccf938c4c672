#pragma once
// The extension's working configuration, read from the provider configuration
// ("VendorData") that the application saves with the proxy preferences. Reading
// never fails: a missing key, or a value of another type, gives the field's
// default. A plain value.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "model/ForwardingRule.hpp"

namespace dnsproxy {

struct DefaultConfiguration {
    std::string uuid;                                    // "uuid"
    std::string locationKey;                             // "locationTag"
    std::vector<std::string> resolvers;                  // "resolvers"
    std::string ipAddress;                               // "internalIp"
    std::string externalIPAddress;                       // "externalIp"
    std::vector<std::string> dchpServers;                // "localDNS"
    std::vector<model::ForwardingRule> forwardingRules;  // "filters"

    // A uuid, a location key and at least one resolver (whatever its text).
    bool isValid() const { return !uuid.empty() && !locationKey.empty() && !resolvers.empty(); }

    friend bool operator==(const DefaultConfiguration&, const DefaultConfiguration&);
};

// `vendorData` is a JSON object (a dictionary with text keys).
DefaultConfiguration makeDefaultConfiguration(const nlohmann::json& vendorData);
// One "filters" entry folded into a rule; absent for an entry without keys or
// without a "filter" list of dictionaries.
std::optional<model::ForwardingRule> makeForwardingRule(const nlohmann::json& filterEntry);

// Why `vendorData` would have the proxy drop queries or leave a rule unused: one
// sentence per cause (what is wrong, then what follows), in key order; empty when
// nothing is. Reading stays lenient: makeDefaultConfiguration takes the same data
// as it always did, and the provider only says these. Resolvers must be IP
// literals, as upstream connections never look a name up.
std::vector<std::string> configurationProblems(const nlohmann::json& vendorData);

}  // namespace dnsproxy
