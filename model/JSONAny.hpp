#pragma once
// One JSON value of any kind, as the other side sent it (the "data" of a JSON-RPC error). Built
// by decoding and never changed; copies are independent values. Arrays and objects nest at most
// kMaxJSONNesting levels: deeper input fails the decode instead of exhausting the stack.
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"
#include "model/JSONNull.hpp"

namespace model {

struct JSONAnyValue;
using JSONAnyArray = std::vector<JSONAnyValue>;
// Object members have no order of their own; they are kept by key.
using JSONAnyObject = std::map<std::string, JSONAnyValue>;

// A plain JSON value: exactly one of the seven kinds.
struct JSONAnyValue {
    using Kind = std::variant<bool, std::int64_t, double, std::string, JSONNull, JSONAnyArray, JSONAnyObject>;
    Kind kind;

    template <class T>
    const T* get() const {
        return std::get_if<T>(&kind);
    }
};

class JSONAny {
public:
    explicit JSONAny(JSONAnyValue value) : value_(std::move(value)) {}

    const JSONAnyValue& value() const { return value_; }

    // Any JSON value: true/false are booleans, numbers written as integers within the signed
    // 64-bit range are integers, every other number a double. Fails only for a value of no JSON
    // kind (typeMismatch "Cannot decode JSONAny") or nesting beyond the cap.
    static JSONAny decode(const Decoder& decoder);
    // Writes the value back; a non-finite double fails with invalidValue "Cannot encode JSONAny".
    OrderedJSONValue encode(const Encoder& encoder) const;

    static JSONAnyArray decodeArray(const Decoder& array);
    static JSONAnyObject decodeDictionary(const Decoder& object);
    static OrderedJSONValue encodeArray(const JSONAnyArray& array, const Encoder& encoder);
    static OrderedJSONValue encodeDictionary(const JSONAnyObject& object, const Encoder& encoder);

private:
    JSONAnyValue value_;
};

}  // namespace model
