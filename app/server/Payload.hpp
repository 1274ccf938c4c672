#pragma once
// The body of the registration call "account_add_device": the JSON-RPC envelope `Payload` and its
// parameters `PayloadParams`. Each type maps JSON keys to its members (only "id" differs: it is
// the member `identifier`); unset texts are written as JSON null, members in no promised order.
// The reading side (fromData, setValue) exists for symmetry; the application only writes.
//
// Plain values; any thread.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/ErrorValue.hpp"
#include "model/Expected.hpp"
#include "model/JSONText.hpp"

namespace kiv {

// Serialisation failures: domain "JSONSerialization", code -1, the reason as the message.
inline constexpr const char* kJSONSerializationDomain = "JSONSerialization";

class PayloadParams {
public:
    std::optional<std::string> key;
    std::optional<std::string> name;
    std::optional<std::string> type;
    std::optional<std::string> version;

    // JSON key to member name: "key", "name", "type", "version", each to itself.
    static const std::vector<std::pair<std::string, std::string>>& properties();

    nlohmann::json JSONDictionary() const;
    // Nothing for nothing; otherwise every entry applied through setValue.
    static model::Expected<std::optional<PayloadParams>, model::ErrorValue> fromJSONDictionary(
        const std::optional<nlohmann::json>& dictionary);

    // Sets the member that `jsonKey` maps to; a key of no member changes nothing. A value of the
    // wrong JSON type is refused (the error) and changes nothing; null unsets the member.
    std::optional<model::ErrorValue> setValue(const nlohmann::json& value, std::string_view jsonKey);
};

class Payload {
public:
    std::optional<std::string> jsonrpc;
    std::int64_t identifier = 0;
    std::optional<std::string> method;
    std::optional<PayloadParams> params;

    // JSON key to member name: "jsonrpc", "id" to "identifier", "method", "params".
    static const std::vector<std::pair<std::string, std::string>>& properties();

    // The object: the members under their JSON keys, "params" as its own dictionary. Refused
    // (domain "JSONSerialization", code -1) when there are no params.
    model::Expected<nlohmann::json, model::ErrorValue> JSONDictionary() const;
    // The dictionary as compact JSON bytes. Refused like JSONDictionary(), and when a text is not
    // valid UTF-8.
    model::Expected<std::string, model::ErrorValue> toData() const;
    model::Expected<std::optional<std::string>, model::ErrorValue> toJSON(model::TextEncoding encoding) const;

    // Any JSON value is parsed (not only objects); anything but an object cannot be a Payload and
    // is refused with domain "JSONSerialization", code -1. Unknown keys are ignored; "params"
    // becomes PayloadParams.
    static model::Expected<Payload, model::ErrorValue> fromData(std::string_view bytes);
    static model::Expected<Payload, model::ErrorValue> fromJSON(std::string_view text,
                                                                model::TextEncoding encoding);

    // As PayloadParams::setValue; null for "id" makes the identifier 0 (setNilValueForKey).
    std::optional<model::ErrorValue> setValue(const nlohmann::json& value, std::string_view jsonKey);
    void setNilValueForKey(std::string_view jsonKey);
};

}  // namespace kiv
