#pragma once
// A type-erased JSON value: holds one value of one of the listed types and is decoded from and
// encoded to any JSON position. A value type; copies are independent. Decoding nests at most
// kMaxJSONNesting levels. Lists and dictionaries hold AnyJSONValue elements and compare element
// by element.
#include <any>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"

namespace model {

class AnyJSONValue {
public:
    // The absent value ("nil"): what a null decodes to and what a value made from nothing holds.
    struct Empty {
        bool operator==(const Empty&) const = default;
    };
    using Date = std::chrono::system_clock::time_point;
    struct URL {
        std::string absoluteString;
        bool operator==(const URL&) const = default;
    };
    using List = std::vector<AnyJSONValue>;
    using Dictionary = std::map<std::string, AnyJSONValue>;
    // A value of a type outside the list: kept, but it never encodes and never compares equal.
    struct Other {
        std::any value;
    };

    using Value = std::variant<Empty, bool, std::int8_t, std::int16_t, std::int32_t, std::int64_t,
                               std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t, float, double,
                               std::string, Date, URL, List, Dictionary, Other>;

    // The empty marker.
    AnyJSONValue() = default;
    AnyJSONValue(std::nullptr_t) {}
    AnyJSONValue(std::nullopt_t) {}
    AnyJSONValue(bool value) : value_(value) {}
    // Integer literals are kept as signed 64-bit integers; unsigned ones as unsigned 64-bit.
    template <std::signed_integral I>
    AnyJSONValue(I value) : value_(static_cast<std::int64_t>(value)) {}
    template <std::unsigned_integral U>
    requires(!std::is_same_v<U, bool>) AnyJSONValue(U value) : value_(static_cast<std::uint64_t>(value)) {}
    // Floating-point literals are kept as 64-bit doubles.
    template <std::floating_point F>
    AnyJSONValue(F value) : value_(static_cast<double>(value)) {}
    AnyJSONValue(std::string value) : value_(std::move(value)) {}
    AnyJSONValue(const char* value) : value_(std::string(value)) {}
    AnyJSONValue(std::string_view value) : value_(std::string(value)) {}
    AnyJSONValue(List value) : value_(std::move(value)) {}
    AnyJSONValue(Dictionary value) : value_(std::move(value)) {}

    // A value of exactly type T (an 8-bit integer stays 8-bit); a type outside the list is kept
    // as Other. An absent optional gives the empty marker.
    template <class T>
    static AnyJSONValue of(T value);
    template <class T>
    static AnyJSONValue of(std::optional<T> value) {
        return value ? of(std::move(*value)) : AnyJSONValue();
    }
    // The elements in order.
    static AnyJSONValue list(std::initializer_list<AnyJSONValue> elements) {
        return AnyJSONValue(List(elements));
    }
    // For a repeated key the first pair's value wins.
    static AnyJSONValue dictionary(std::initializer_list<std::pair<std::string, AnyJSONValue>> pairs);

    const Value& value() const { return value_; }
    bool isEmpty() const { return std::holds_alternative<Empty>(value_); }
    template <class T>
    const T* get() const {
        return std::get_if<T>(&value_);
    }
    // The text, when the value is text.
    const std::string* asString() const { return get<std::string>(); }
    // The texts, when the value is a list whose every element is text (an empty list included).
    std::optional<std::vector<std::string>> asStringList() const;

    // Null gives the empty marker, then in this order: Boolean, signed 64-bit integer, unsigned
    // 64-bit integer, double, text, list, dictionary.
    static AnyJSONValue decode(const Decoder& decoder);
    // By the held type; Other fails with invalidValue "AnyJSONValue value cannot be encoded",
    // a non-finite number with the encoder's error. Dates follow the encoder's date strategy.
    OrderedJSONValue encode(const Encoder& encoder) const;

    // Same held type and equal as that type; lists and dictionaries element by element. Values
    // of different types are unequal (an integer 1 and a double 1.0, an 8-bit and a 64-bit 1).
    bool operator==(const AnyJSONValue& other) const;

    // "nil", "true", "42", the text itself, "[1, \"a\"]", "[\"k\": 2.5]".
    std::string description() const;
    // "AnyJSONValue(" + the value's debug form (text quoted) + ")".
    std::string debugDescription() const;

private:
    explicit AnyJSONValue(Value value, int) : value_(std::move(value)) {}

    Value value_;
};

template <class T>
AnyJSONValue AnyJSONValue::of(T value) {
    if constexpr (std::is_same_v<T, AnyJSONValue>) {
        return value;
    } else if constexpr (std::is_same_v<T, const char*>) {
        return AnyJSONValue(std::string(value));
    } else if constexpr (std::is_constructible_v<Value, std::in_place_type_t<T>, T> &&
                         !std::is_same_v<T, Other>) {
        return AnyJSONValue(Value(std::in_place_type<T>, std::move(value)), 0);
    } else if constexpr (std::is_same_v<T, long long> || std::is_same_v<T, unsigned long long>) {
        // Distinct from int64_t/uint64_t on this platform but of the same width.
        return AnyJSONValue(
            Value(std::in_place_type<std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>>,
                  value),
            0);
    } else {
        return AnyJSONValue(Value(Other{std::any(std::move(value))}), 0);
    }
}

}  // namespace model
