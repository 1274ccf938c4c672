#pragma once
// The "cfg" member of the device configuration: the persistent key and the runtime settings.
// It is also read on its own from JSON text.
#include <optional>
#include <string>
#include <string_view>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"
#include "model/ErrorValue.hpp"
#include "model/Expected.hpp"
#include "model/JSONText.hpp"
#include "model/Runtime.hpp"

namespace model {

struct Persistent {
    std::string key;  // "key", required

    static Persistent decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;
};

struct Configuration {
    std::optional<Persistent> persistent;  // "persistent"
    std::optional<Runtime> runtime;        // "runtime"

    static Configuration decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;

    // Reads a Configuration from JSON text: ErrorValue::jsonReaderError() when the text is not
    // valid in the encoding, otherwise the decoder's error as an ErrorValue.
    static Expected<Configuration, ErrorValue> fromJSONString(std::string_view text, TextEncoding encoding);
};

}  // namespace model
