#pragma once
// One DNS forwarding rule: a domain, the resolvers to use for it, and an address rule (an IPv4
// address, prefix or range as IPNetworkv4 reads it). Every member is optional; absent members
// are not written.
#include <optional>
#include <string>
#include <vector>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"
#include "model/ErrorValue.hpp"
#include "model/Expected.hpp"
#include "model/JSONText.hpp"

namespace model {

struct ForwardingRule {
    std::optional<std::string> domain;                  // "domain"
    std::optional<std::vector<std::string>> resolvers;  // "resolvers"
    std::optional<std::string> rule;                    // "rule"

    static ForwardingRule decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;

    // This one rule as one JSON object with sorted keys, compact; no text when the JSON cannot be
    // represented in the encoding.
    Expected<std::optional<std::string>, ErrorValue> jsonString(TextEncoding encoding) const;
};

}  // namespace model
