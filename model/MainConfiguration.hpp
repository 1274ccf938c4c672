#pragma once
// The device server's reply to a JSON-RPC call, as the transport decodes every reply body, and
// the stored registration answer (config.json). A plain value: decoded whole or not at all,
// copied freely, used on any thread. Only "jsonrpc" is required; a reply may carry both "error"
// and "result", and what they mean is up to the caller.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/DCResult.hpp"
#include "model/Decoder.hpp"
#include "model/DeviceError.hpp"
#include "model/Encoder.hpp"
#include "model/ErrorValue.hpp"
#include "model/Expected.hpp"
#include "model/JSONText.hpp"

namespace model {

struct MainConfiguration {
    std::optional<DeviceError> error;  // "error"
    std::optional<std::int64_t> id;    // "id"
    std::string jsonrpc;               // "jsonrpc", required
    std::optional<DCResult> result;    // "result"

    static MainConfiguration decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;

    // The reply as JSON text: sorted keys at every depth, compact, absent members left out. No
    // text when the JSON cannot be represented in the encoding; the encoder's error otherwise.
    Expected<std::optional<std::string>, ErrorValue> jsonString(TextEncoding encoding) const;

    // Reads a reply from JSON text: ErrorValue::jsonReaderError() when the text is not valid in
    // the encoding, otherwise the decoder's error as an ErrorValue.
    static Expected<MainConfiguration, ErrorValue> fromJSONString(std::string_view text,
                                                                  TextEncoding encoding);

    // Member by member; error data compares as JSON values of the same kind (1 and 1.0 differ,
    // object members by key).
    bool operator==(const MainConfiguration& other) const;
};

}  // namespace model
