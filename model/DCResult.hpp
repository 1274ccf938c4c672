#pragma once
// The "result" of the registration call "account_add_device": the device the server made for us,
// its name and its type. A plain value; every member is required.
#include <string>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"

namespace model {

struct DCResult {
    std::string device;  // "device"
    std::string name;    // "name"
    std::string type;    // "type"

    static DCResult decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;

    bool operator==(const DCResult&) const = default;
};

}  // namespace model
