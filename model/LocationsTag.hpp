#pragma once
// One location rule of the runtime configuration: name and tag are always present.
#include <optional>
#include <string>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"

namespace model {

struct LocationsTag {
    std::string name;                 // "name", required
    std::optional<std::string> rule;  // "rule"
    std::string tag;                  // "tag", required

    static LocationsTag decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;

    // Equal names, rules (both absent, or both present and equal) and tags; texts compare under
    // canonical equivalence.
    bool operator==(const LocationsTag& other) const;
};

}  // namespace model
