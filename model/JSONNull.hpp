#pragma once
// The JSON null inside a generic JSON value (JSONAny). Every instance means the same thing.
#include <cstddef>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"

namespace model {

struct JSONNull {
    bool operator==(const JSONNull&) const { return true; }
    // Every null hashes alike; nothing is fed into a hasher.
    std::size_t hashValue() const { return 0; }

    // A null marker, or typeMismatch "Wrong type for JSONNull" for anything but null.
    static JSONNull decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder&) const { return OrderedJSONValue(nullptr); }
};

}  // namespace model

template <>
struct std::hash<model::JSONNull> {
    std::size_t operator()(const model::JSONNull& value) const noexcept { return value.hashValue(); }
};
