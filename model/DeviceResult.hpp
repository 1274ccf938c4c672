#pragma once
// The "result" member of the device configuration: actions, configuration and forwarding rules.
#include <optional>
#include <vector>

#include "model/Actions.hpp"
#include "model/Configuration.hpp"
#include "model/Decoder.hpp"
#include "model/Encoder.hpp"
#include "model/ForwardingRule.hpp"

namespace model {

struct DeviceResult {
    std::optional<Actions> actions;                      // "actions"
    std::optional<Configuration> cfg;                    // "cfg"
    std::optional<std::vector<ForwardingRule>> filters;  // "filters"

    static DeviceResult decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;
};

}  // namespace model
