#include "app/server/Payload.hpp"

#include <exception>
#include <limits>

namespace kiv {
namespace {

model::ErrorValue serializationError(std::string reason) {
    return model::ErrorValue{kJSONSerializationDomain, -1, std::move(reason)};
}

nlohmann::json textOrNull(const std::optional<std::string>& text) {
    return text ? nlohmann::json(*text) : nlohmann::json(nullptr);
}

std::optional<model::ErrorValue> assignText(std::optional<std::string>& member, const nlohmann::json& value,
                                            std::string_view jsonKey) {
    if (value.is_null()) {
        member.reset();
    } else if (value.is_string()) {
        member = value.get<std::string>();
    } else {
        return serializationError("value for key " + std::string(jsonKey) + " is not a text");
    }
    return std::nullopt;
}

const std::string* memberFor(const std::vector<std::pair<std::string, std::string>>& properties,
                             std::string_view jsonKey) {
    for (const auto& [key, member] : properties) {
        if (key == jsonKey) return &member;
    }
    return nullptr;
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& PayloadParams::properties() {
    static const std::vector<std::pair<std::string, std::string>> map{
        {"key", "key"}, {"name", "name"}, {"type", "type"}, {"version", "version"}};
    return map;
}

nlohmann::json PayloadParams::JSONDictionary() const {
    return nlohmann::json{{"key", textOrNull(key)},
                          {"name", textOrNull(name)},
                          {"type", textOrNull(type)},
                          {"version", textOrNull(version)}};
}

model::Expected<std::optional<PayloadParams>, model::ErrorValue> PayloadParams::fromJSONDictionary(
    const std::optional<nlohmann::json>& dictionary) {
    if (!dictionary) return std::optional<PayloadParams>();
    if (!dictionary->is_object()) return model::unexpected(serializationError("params is not an object"));
    PayloadParams params;
    for (const auto& [key, value] : dictionary->items()) {
        if (auto error = params.setValue(value, key)) return model::unexpected(std::move(*error));
    }
    return std::optional<PayloadParams>(std::move(params));
}

std::optional<model::ErrorValue> PayloadParams::setValue(const nlohmann::json& value,
                                                         std::string_view jsonKey) {
    const std::string* member = memberFor(properties(), jsonKey);
    if (member == nullptr) return std::nullopt;
    if (*member == "key") return assignText(key, value, jsonKey);
    if (*member == "name") return assignText(name, value, jsonKey);
    if (*member == "type") return assignText(type, value, jsonKey);
    return assignText(version, value, jsonKey);
}

const std::vector<std::pair<std::string, std::string>>& Payload::properties() {
    static const std::vector<std::pair<std::string, std::string>> map{
        {"jsonrpc", "jsonrpc"}, {"id", "identifier"}, {"method", "method"}, {"params", "params"}};
    return map;
}

model::Expected<nlohmann::json, model::ErrorValue> Payload::JSONDictionary() const {
    if (!params)
        return model::unexpected(serializationError("params is nil: nothing to store under \"params\""));
    return nlohmann::json{{"jsonrpc", textOrNull(jsonrpc)},
                          {"id", identifier},
                          {"method", textOrNull(method)},
                          {"params", params->JSONDictionary()}};
}

model::Expected<std::string, model::ErrorValue> Payload::toData() const {
    auto dictionary = JSONDictionary();
    if (!dictionary) return model::unexpected(dictionary.error());
    try {
        return dictionary->dump();
    } catch (const std::exception& error) {
        return model::unexpected(serializationError(error.what()));
    }
}

model::Expected<std::optional<std::string>, model::ErrorValue> Payload::toJSON(
    model::TextEncoding encoding) const {
    auto data = toData();
    if (!data) return model::unexpected(data.error());
    if (!model::isRepresentable(*data, encoding)) return std::optional<std::string>();
    return std::optional<std::string>(std::move(*data));
}

model::Expected<Payload, model::ErrorValue> Payload::fromData(std::string_view bytes) {
    auto parsed = model::parseJSON(bytes);
    if (!parsed) return model::unexpected(parsed.error().errorValue());
    if (!parsed->is_object()) return model::unexpected(serializationError("the JSON value is not an object"));
    Payload payload;
    for (const auto& [key, value] : parsed->items()) {
        if (auto error = payload.setValue(value, key)) return model::unexpected(std::move(*error));
    }
    return payload;
}

model::Expected<Payload, model::ErrorValue> Payload::fromJSON(std::string_view text,
                                                              model::TextEncoding encoding) {
    if (!model::isRepresentable(text, encoding))
        return model::unexpected(model::ErrorValue::jsonReaderError());
    return fromData(text);
}

std::optional<model::ErrorValue> Payload::setValue(const nlohmann::json& value, std::string_view jsonKey) {
    const std::string* member = memberFor(properties(), jsonKey);
    if (member == nullptr) return std::nullopt;
    if (*member == "jsonrpc") return assignText(jsonrpc, value, jsonKey);
    if (*member == "method") return assignText(method, value, jsonKey);
    if (*member == "identifier") {
        if (value.is_null()) {
            setNilValueForKey(jsonKey);
        } else if (value.is_number_integer() &&
                   (value.is_number_unsigned() ? value.get<std::uint64_t>() <=
                                                     std::uint64_t(std::numeric_limits<std::int64_t>::max())
                                               : true)) {
            identifier = value.get<std::int64_t>();
        } else {
            return serializationError("value for key id is not an integer");
        }
        return std::nullopt;
    }
    auto decoded = PayloadParams::fromJSONDictionary(value.is_null() ? std::nullopt : std::optional(value));
    if (!decoded) return decoded.error();
    params = std::move(*decoded);
    return std::nullopt;
}

void Payload::setNilValueForKey(std::string_view jsonKey) {
    const std::string* member = memberFor(properties(), jsonKey);
    if (member != nullptr && *member == "identifier") identifier = 0;
}

}  // namespace kiv
