#include "model/MainConfiguration.hpp"

#include <algorithm>
#include <type_traits>
#include <variant>

#include "model/JSONCoder.hpp"
#include "model/ServerResponse.hpp"

namespace model {

static_assert(ServerResponse<MainConfiguration>);

namespace {

// JSONAnyValue has no equality of its own; nesting is capped by the decoder, so the recursion is
// bounded.
bool sameJSON(const JSONAnyValue& left, const JSONAnyValue& right) {
    if (left.kind.index() != right.kind.index()) return false;
    return std::visit(
        [&](const auto& mine) {
            using Kind = std::decay_t<decltype(mine)>;
            const Kind& theirs = *right.get<Kind>();
            if constexpr (std::is_same_v<Kind, JSONAnyArray>) {
                return std::ranges::equal(mine, theirs, sameJSON);
            } else if constexpr (std::is_same_v<Kind, JSONAnyObject>) {
                return std::ranges::equal(mine, theirs, [](const auto& a, const auto& b) {
                    return a.first == b.first && sameJSON(a.second, b.second);
                });
            } else {
                return mine == theirs;
            }
        },
        left.kind);
}

bool sameError(const DeviceError& left, const DeviceError& right) {
    if (left.code != right.code || left.message != right.message) return false;
    if (left.data.has_value() != right.data.has_value()) return false;
    return !left.data || sameJSON(left.data->value(), right.data->value());
}

}  // namespace

MainConfiguration MainConfiguration::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    MainConfiguration configuration;
    configuration.error = keyed.decodeIfPresent<DeviceError>("error");
    configuration.id = keyed.decodeIfPresent<std::int64_t>("id");
    configuration.jsonrpc = keyed.decode<std::string>("jsonrpc");
    configuration.result = keyed.decodeIfPresent<DCResult>("result");
    return configuration;
}

OrderedJSONValue MainConfiguration::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encodeIfPresent("error", error);
    keyed.encodeIfPresent("id", id);
    keyed.encode("jsonrpc", jsonrpc);
    keyed.encodeIfPresent("result", result);
    return std::move(keyed).take();
}

Expected<std::optional<std::string>, ErrorValue> MainConfiguration::jsonString(TextEncoding encoding) const {
    return encodeJSONString(*this, encoding);
}

Expected<MainConfiguration, ErrorValue> MainConfiguration::fromJSONString(std::string_view text,
                                                                          TextEncoding encoding) {
    return decodeJSONString<MainConfiguration>(text, encoding);
}

bool MainConfiguration::operator==(const MainConfiguration& other) const {
    if (id != other.id || jsonrpc != other.jsonrpc || result != other.result) return false;
    if (error.has_value() != other.error.has_value()) return false;
    return !error || sameError(*error, *other.error);
}

}  // namespace model
