#pragma once
// Typed writing of JSON documents. An Encoder is one position being written (its coding path and
// the encoder's settings); KeyedEncoder builds one object, members in the order they are
// written. A value that JSON cannot express throws CodingError (invalidValue); JSONEncoder
// catches it at the top. Encoders borrow their caller's path: use them only within the call
// that made them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "model/CodingError.hpp"
#include "model/Decoder.hpp"
#include "model/JSONText.hpp"

namespace model {

// How a date is written: as seconds since 2001-01-01T00:00:00Z (a number, the platform's
// default) or as ISO 8601 text ("2001-01-01T00:00:00Z").
enum class DateEncodingStrategy { deferredToDate, iso8601 };

class Encoder {
public:
    explicit Encoder(DateEncodingStrategy dates = DateEncodingStrategy::deferredToDate) : dates_(dates) {}

    DateEncodingStrategy dateEncodingStrategy() const { return dates_; }
    CodingPath codingPath() const { return materialize(link_); }
    int depth() const { return depth_; }

    // bool, std::int64_t, std::uint64_t, double, std::string, std::vector<T>, an enumeration
    // with `encodeJSONEnum(E)` beside it, or a type with `OrderedJSONValue encode(const Encoder&) const`.
    template <class T>
    OrderedJSONValue encode(const T& value) const;

    // A finite number; NaN and the infinities are refused (JSON has no text for them).
    OrderedJSONValue encodeDouble(double value) const;

    // Encodes elements[i] with write(const Encoder&, const Element&) into an array.
    template <class Range, class F>
    OrderedJSONValue encodeElements(const Range& elements, F&& write) const {
        OrderedJSONValue array(OrderedJSONValue::value_t::array);
        int index = 0;
        for (const auto& element : elements) {
            CodingPathLink link{link_, {}, index++};
            array.push_back(write(child(link), element));
        }
        return array;
    }

    // Throws when an array or object written here would be nested deeper than kMaxJSONNesting.
    void checkNesting(std::string_view typeName) const;

    [[noreturn]] void failInvalidValue(std::string debugDescription) const;

    Encoder child(const CodingPathLink& link) const { return Encoder(dates_, &link, depth_ + 1); }
    const CodingPathLink* link() const { return link_; }

private:
    Encoder(DateEncodingStrategy dates, const CodingPathLink* link, int depth)
        : dates_(dates), link_(link), depth_(depth) {}

    DateEncodingStrategy dates_;
    const CodingPathLink* link_ = nullptr;
    int depth_ = 0;
};

class KeyedEncoder {
public:
    explicit KeyedEncoder(const Encoder& encoder)
        : encoder_(encoder), object_(OrderedJSONValue::value_t::object) {}

    // Writes a member. Keys must be distinct (they are fixed per type or come from a dictionary).
    template <class T>
    void encode(std::string_view key, const T& value) {
        CodingPathLink link{encoder_.link(), key, -1};
        appendUniqueMember(object_, std::string(key), encoder_.child(link).encode(value));
    }

    // Writes a member only when the value is present: an absent value writes no key, never null.
    template <class T>
    void encodeIfPresent(std::string_view key, const std::optional<T>& value) {
        if (value) encode(key, *value);
    }

    // Writes the member that write(const Encoder&) returns.
    template <class F>
    void encodeWith(std::string_view key, F&& write) {
        CodingPathLink link{encoder_.link(), key, -1};
        appendUniqueMember(object_, std::string(key), write(encoder_.child(link)));
    }

    OrderedJSONValue take() && { return std::move(object_); }

private:
    const Encoder& encoder_;
    OrderedJSONValue object_;
};

template <class T>
OrderedJSONValue Encoder::encode(const T& value) const {
    if constexpr (std::is_same_v<T, bool>) {
        return OrderedJSONValue(value);
    } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t> ||
                         std::is_same_v<T, std::string>) {
        return OrderedJSONValue(value);
    } else if constexpr (std::is_same_v<T, double>) {
        return encodeDouble(value);
    } else if constexpr (std::is_enum_v<T>) {
        return encodeJSONEnum(value);
    } else if constexpr (detail::IsVector<T>::value) {
        return encodeElements(value,
                              [](const Encoder& at, const auto& element) { return at.encode(element); });
    } else {
        return value.encode(*this);
    }
}

}  // namespace model
