#pragma once
// The device server's answer to "device_configure" (a JSON-RPC 2.0 response) and the stored
// device configuration. A plain value: decoded whole or not at all, copied freely, used on any
// thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/Decoder.hpp"
#include "model/DeviceError.hpp"
#include "model/DeviceResult.hpp"
#include "model/Encoder.hpp"
#include "model/ErrorValue.hpp"
#include "model/Expected.hpp"
#include "model/JSONText.hpp"
#include "model/LocationsTag.hpp"

namespace model {

struct DeviceConfiguration {
    std::optional<DeviceError> error;    // "error"
    std::optional<std::int64_t> id;      // "id"
    std::optional<std::string> jsonrpc;  // "jsonrpc"
    std::optional<DeviceResult> result;  // "result"

    static DeviceConfiguration decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;

    // The configuration as JSON text: sorted keys at every depth, compact, absent members left
    // out; the same tree always gives the same text. No text when the JSON cannot be represented
    // in the encoding; the encoder's error otherwise.
    Expected<std::optional<std::string>, ErrorValue> jsonString(TextEncoding encoding) const;

    // Reads a configuration from JSON text: ErrorValue::jsonReaderError() when the text is not
    // valid in the encoding, otherwise the decoder's error as an ErrorValue.
    static Expected<DeviceConfiguration, ErrorValue> fromJSONString(std::string_view text,
                                                                    TextEncoding encoding);

    // result.cfg.runtime.locations, or nothing when result, cfg or runtime is absent.
    const std::vector<LocationsTag>* locations() const;

    // Equal exactly when both have no location list, or both have one and the lists are equal
    // element by element, in order. Nothing else takes part.
    bool operator==(const DeviceConfiguration& other) const;
};

}  // namespace model
