#pragma once
// A location name and a randomise flag (in the server's "move" command and in the client's
// configuration request).
#include <optional>
#include <string>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"

namespace model {

struct Location {
    std::optional<std::string> name;  // "name"
    std::optional<bool> randomize;    // "randomize"

    static Location decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;
};

}  // namespace model
