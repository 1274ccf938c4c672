#include "model/Decoder.hpp"

#include <limits>

namespace model {

std::string_view describeJSONType(const JSONValue& value) {
    switch (value.type()) {
        case JSONValue::value_t::null:
            return "null";
        case JSONValue::value_t::boolean:
            return "a boolean";
        case JSONValue::value_t::number_integer:
        case JSONValue::value_t::number_unsigned:
        case JSONValue::value_t::number_float:
            return "a number";
        case JSONValue::value_t::string:
            return "a string";
        case JSONValue::value_t::array:
            return "an array";
        case JSONValue::value_t::object:
            return "a dictionary";
        default:
            return "an unsupported value";
    }
}

void Decoder::fail(CodingError::Kind kind, std::string debugDescription, std::string subject) const {
    throw CodingError(kind, codingPath(), std::move(debugDescription), std::move(subject));
}

void Decoder::failTypeMismatch(std::string_view expectedType) const {
    if (value_->is_null()) {
        fail(CodingError::Kind::valueNotFound,
             "Expected " + std::string(expectedType) + " value but found null instead.",
             std::string(expectedType));
    }
    fail(CodingError::Kind::typeMismatch,
         "Expected to decode " + std::string(expectedType) + " but found " +
             std::string(describeJSONType(*value_)) + " instead.",
         std::string(expectedType));
}

bool Decoder::decodeBool() const {
    if (!value_->is_boolean()) failTypeMismatch("Bool");
    return value_->get<bool>();
}

std::int64_t Decoder::decodeInt64() const {
    switch (value_->type()) {
        case JSONValue::value_t::number_integer:
            return value_->get<std::int64_t>();
        case JSONValue::value_t::number_unsigned: {
            auto magnitude = value_->get<std::uint64_t>();
            if (magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return static_cast<std::int64_t>(magnitude);
            }
            break;
        }
        case JSONValue::value_t::number_float:
            break;
        default:
            failTypeMismatch("Int64");
    }
    fail(CodingError::Kind::dataCorrupted,
         "Parsed JSON number <" + value_->dump() + "> does not fit in Int64.", "Int64");
}

std::uint64_t Decoder::decodeUInt64() const {
    switch (value_->type()) {
        case JSONValue::value_t::number_unsigned:
            return value_->get<std::uint64_t>();
        case JSONValue::value_t::number_integer: {
            auto signedValue = value_->get<std::int64_t>();
            if (signedValue >= 0) return static_cast<std::uint64_t>(signedValue);
            break;
        }
        case JSONValue::value_t::number_float:
            break;
        default:
            failTypeMismatch("UInt64");
    }
    fail(CodingError::Kind::dataCorrupted,
         "Parsed JSON number <" + value_->dump() + "> does not fit in UInt64.", "UInt64");
}

double Decoder::decodeDouble() const {
    switch (value_->type()) {
        case JSONValue::value_t::number_float:
            return value_->get<double>();
        case JSONValue::value_t::number_integer:
            return static_cast<double>(value_->get<std::int64_t>());
        case JSONValue::value_t::number_unsigned:
            return static_cast<double>(value_->get<std::uint64_t>());
        default:
            failTypeMismatch("Double");
    }
}

std::string Decoder::decodeString() const {
    if (!value_->is_string()) failTypeMismatch("String");
    return value_->get_ref<const std::string&>();
}

KeyedDecoder Decoder::keyedContainer() const {
    if (value_->is_null()) {
        fail(CodingError::Kind::valueNotFound,
             "Cannot get keyed decoding container -- found null value instead.", "Dictionary<String, Any>");
    }
    if (!value_->is_object()) failTypeMismatch("Dictionary<String, Any>");
    return KeyedDecoder(*value_, link_, depth_);
}

void Decoder::requireArray() const {
    if (value_->is_null()) {
        fail(CodingError::Kind::valueNotFound,
             "Cannot get unkeyed decoding container -- found null value instead.", "Array<Any>");
    }
    if (!value_->is_array()) failTypeMismatch("Array<Any>");
}

void Decoder::checkNesting(std::string_view typeName) const {
    if (depth_ >= kMaxJSONNesting && (value_->is_array() || value_->is_object())) {
        fail(CodingError::Kind::dataCorrupted, std::string(typeName) + " is nested deeper than " +
                                                   std::to_string(kMaxJSONNesting) + " levels.");
    }
}

bool KeyedDecoder::contains(std::string_view key) const { return lookup(key) != nullptr; }

std::vector<std::string> KeyedDecoder::allKeys() const {
    std::vector<std::string> keys;
    keys.reserve(object_->size());
    for (const auto& [key, member] : object_->items()) keys.push_back(key);
    return keys;
}

const JSONValue* KeyedDecoder::lookup(std::string_view key) const {
    const auto& members = object_->get_ref<const JSONValue::object_t&>();
    auto found = members.find(key);
    return found == members.end() ? nullptr : &found->second;
}

const JSONValue& KeyedDecoder::find(std::string_view key) const {
    const JSONValue* member = lookup(key);
    if (member == nullptr) {
        throw CodingError(CodingError::Kind::keyNotFound, materialize(link_),
                          "No value associated with key \"" + std::string(key) + "\".", std::string(key));
    }
    return *member;
}

}  // namespace model
