#pragma once
// The runtime part of the configuration: the location rules (always present, maybe empty), the
// agent's settings, the reconfigure interval and the device's user id.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"
#include "model/Kiv.hpp"
#include "model/LocationsTag.hpp"

namespace model {

struct Runtime {
    std::vector<LocationsTag> locations;      // "locations", required
    std::optional<Kiv> kiv;                   // "kiv"
    std::optional<std::int64_t> reconfigure;  // "reconfigure"
    std::optional<std::string> user;          // "user"

    static Runtime decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;

    // Equal exactly when the location lists are equal element by element, in order; kiv,
    // reconfigure and user take no part.
    bool operator==(const Runtime& other) const { return locations == other.locations; }
};

}  // namespace model
