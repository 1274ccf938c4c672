#pragma once
// The error object of a JSON-RPC reply ("error"): code, optional data of any JSON shape, message.
#include <cstdint>
#include <optional>
#include <string>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"
#include "model/JSONAny.hpp"

namespace model {

struct DeviceError {
    std::int64_t code = 0;        // "code", required
    std::optional<JSONAny> data;  // "data", read when present and not null, written when set
    std::string message;          // "message", required

    static DeviceError decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;
};

}  // namespace model
