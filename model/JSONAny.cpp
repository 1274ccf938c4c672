#include "model/JSONAny.hpp"

#include <cmath>

namespace model {

namespace {

constexpr const char* kCannotDecode = "Cannot decode JSONAny";
constexpr const char* kCannotEncode = "Cannot encode JSONAny";

bool isScalar(const JSONValue& value) {
    return value.is_boolean() || value.is_number() || value.is_string() || value.is_null();
}

// The scalar kinds, tried in the order boolean, integer, double, text, null (isScalar(value)).
JSONAnyValue decodeScalar(const JSONValue& value) {
    switch (value.type()) {
        case JSONValue::value_t::boolean:
            return JSONAnyValue{value.get<bool>()};
        case JSONValue::value_t::number_integer:
            return JSONAnyValue{value.get<std::int64_t>()};
        case JSONValue::value_t::number_unsigned: {
            auto magnitude = value.get<std::uint64_t>();
            if (magnitude <= static_cast<std::uint64_t>(INT64_MAX)) {
                return JSONAnyValue{static_cast<std::int64_t>(magnitude)};
            }
            return JSONAnyValue{static_cast<double>(magnitude)};  // too large for an integer
        }
        case JSONValue::value_t::number_float:
            return JSONAnyValue{value.get<double>()};
        case JSONValue::value_t::string:
            return JSONAnyValue{value.get_ref<const std::string&>()};
        default:
            return JSONAnyValue{JSONNull{}};
    }
}

// An element or member: the scalars, then a nested array, then a nested object. `container`
// is the enclosing array or object, whose path a failure names.
JSONAnyValue decodeNested(const Decoder& at, const Decoder& container) {
    if (isScalar(at.value())) return decodeScalar(at.value());
    if (at.value().is_array()) return JSONAnyValue{JSONAny::decodeArray(at)};
    if (at.value().is_object()) return JSONAnyValue{JSONAny::decodeDictionary(at)};
    container.fail(CodingError::Kind::typeMismatch, kCannotDecode, "JSONAny");
}

OrderedJSONValue encodeNested(const JSONAnyValue& value, const Encoder& at, const Encoder& container) {
    return std::visit(
        [&](const auto& kind) -> OrderedJSONValue {
            using K = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<K, JSONAnyArray>) {
                return JSONAny::encodeArray(kind, at);
            } else if constexpr (std::is_same_v<K, JSONAnyObject>) {
                return JSONAny::encodeDictionary(kind, at);
            } else if constexpr (std::is_same_v<K, double>) {
                if (!std::isfinite(kind)) container.failInvalidValue(kCannotEncode);
                return OrderedJSONValue(kind);
            } else if constexpr (std::is_same_v<K, JSONNull>) {
                return OrderedJSONValue(nullptr);
            } else {
                return OrderedJSONValue(kind);
            }
        },
        value.kind);
}

}  // namespace

JSONAny JSONAny::decode(const Decoder& decoder) {
    // Containers first, the scalars last.
    if (decoder.value().is_array()) return JSONAny(JSONAnyValue{decodeArray(decoder)});
    if (decoder.value().is_object()) return JSONAny(JSONAnyValue{decodeDictionary(decoder)});
    if (isScalar(decoder.value())) return JSONAny(decodeScalar(decoder.value()));
    decoder.fail(CodingError::Kind::typeMismatch, kCannotDecode, "JSONAny");
}

JSONAnyArray JSONAny::decodeArray(const Decoder& array) {
    array.checkNesting("JSONAny");
    JSONAnyArray elements;
    elements.reserve(array.value().size());
    array.forEachElement([&](const Decoder& element) { elements.push_back(decodeNested(element, array)); });
    return elements;
}

JSONAnyObject JSONAny::decodeDictionary(const Decoder& object) {
    object.checkNesting("JSONAny");
    JSONAnyObject members;
    object.keyedContainer().forEachMember([&](const std::string& key, const Decoder& member) {
        members.insert_or_assign(key, decodeNested(member, object));
    });
    return members;
}

OrderedJSONValue JSONAny::encode(const Encoder& encoder) const {
    return encodeNested(value_, encoder, encoder);
}

OrderedJSONValue JSONAny::encodeArray(const JSONAnyArray& array, const Encoder& encoder) {
    encoder.checkNesting("JSONAny");
    return encoder.encodeElements(array, [&](const Encoder& at, const JSONAnyValue& element) {
        return encodeNested(element, at, encoder);
    });
}

OrderedJSONValue JSONAny::encodeDictionary(const JSONAnyObject& object, const Encoder& encoder) {
    encoder.checkNesting("JSONAny");
    KeyedEncoder members(encoder);
    // Not a structured binding: clang before 16 cannot capture one in the lambda.
    for (const auto& member : object) {
        const JSONAnyValue& value = member.second;
        members.encodeWith(member.first, [&](const Encoder& at) { return encodeNested(value, at, encoder); });
    }
    return std::move(members).take();
}

}  // namespace model
