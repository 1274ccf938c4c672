#pragma once
// Typed, strict reading of a parsed JSON document. A Decoder is one position in the document
// (a value and its coding path); KeyedDecoder reads the members of an object. Every refusal
// throws CodingError with the coding path of the position; JSONDecoder catches it at the top,
// so a failure anywhere fails the whole value and no partial value is returned.
//
// Rules (the same for every type of the model):
// - Booleans are only true and false, never numbers.
// - An Int64 is only a number written as an integer (no fraction, no exponent) within the signed
//   64-bit range; 4.5, 1e2 and 9223372036854775808 are refused, never truncated or wrapped.
// - A Double is any number.
// - null where a value is required is valueNotFound; a missing required member is keyNotFound.
// - decodeIfPresent treats a missing member and a null alike as absent.
// Decoders borrow the document and the path of their caller: use them only within the call
// that made them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "model/CodingError.hpp"
#include "model/JSONText.hpp"

namespace model {

class KeyedDecoder;

namespace detail {
template <class T>
struct IsVector : std::false_type {};
template <class U, class A>
struct IsVector<std::vector<U, A>> : std::true_type {};
}  // namespace detail

// "a string", "a number", "an array", ... for error texts.
std::string_view describeJSONType(const JSONValue& value);

class Decoder {
public:
    explicit Decoder(const JSONValue& value) : Decoder(value, nullptr, 0) {}

    const JSONValue& value() const { return *value_; }
    CodingPath codingPath() const { return materialize(link_); }
    // Number of arrays and objects that enclose this position.
    int depth() const { return depth_; }

    bool decodeNil() const { return value_->is_null(); }
    bool decodeBool() const;
    std::int64_t decodeInt64() const;
    std::uint64_t decodeUInt64() const;
    double decodeDouble() const;
    std::string decodeString() const;

    // bool, std::int64_t, std::uint64_t, double, std::string, std::vector<T>, an enumeration
    // with `decodeJSONEnum(const Decoder&, std::type_identity<E>)` beside it, or a type with
    // `static T decode(const Decoder&)`.
    template <class T>
    T decode() const;

    // The members of the object at this position; typeMismatch when it is not an object,
    // valueNotFound when it is null.
    KeyedDecoder keyedContainer() const;

    // Calls visit(const Decoder& element) for each element of the array at this position, in
    // order; typeMismatch when it is not an array, valueNotFound when it is null.
    template <class F>
    void forEachElement(F&& visit) const;

    // Throws when an array or object at this position would be nested deeper than
    // kMaxJSONNesting (for generic values, whose shape the input chooses).
    void checkNesting(std::string_view typeName) const;

    [[noreturn]] void fail(CodingError::Kind kind, std::string debugDescription,
                           std::string subject = {}) const;
    [[noreturn]] void failTypeMismatch(std::string_view expectedType) const;

    // A decoder for a value reached through link (whose parent must be this position's link).
    Decoder child(const JSONValue& value, const CodingPathLink& link) const {
        return Decoder(value, &link, depth_ + 1);
    }
    const CodingPathLink* link() const { return link_; }

private:
    friend class KeyedDecoder;
    Decoder(const JSONValue& value, const CodingPathLink* link, int depth)
        : value_(&value), link_(link), depth_(depth) {}
    void requireArray() const;

    const JSONValue* value_;
    const CodingPathLink* link_;
    int depth_;
};

class KeyedDecoder {
public:
    bool contains(std::string_view key) const;
    // The object's keys in ascending order.
    std::vector<std::string> allKeys() const;
    CodingPath codingPath() const { return materialize(link_); }

    // A required member: keyNotFound when missing; otherwise decoded as T (so null is
    // valueNotFound unless T accepts null).
    template <class T>
    T decode(std::string_view key) const {
        const JSONValue& member = find(key);
        CodingPathLink link{link_, key, -1};
        return Decoder(member, &link, depth_ + 1).template decode<T>();
    }

    // An optional member: absent when missing or null; any other value must decode as T.
    template <class T>
    std::optional<T> decodeIfPresent(std::string_view key) const {
        const JSONValue* member = lookup(key);
        if (member == nullptr || member->is_null()) return std::nullopt;
        CodingPathLink link{link_, key, -1};
        return Decoder(*member, &link, depth_ + 1).template decode<T>();
    }

    // Calls read(const Decoder&) on the member at key, which must be present.
    template <class F>
    auto withMember(std::string_view key, F&& read) const {
        const JSONValue& member = find(key);
        CodingPathLink link{link_, key, -1};
        return read(Decoder(member, &link, depth_ + 1));
    }

    // Calls visit(const std::string& key, const Decoder& member) for every member, keys ascending.
    template <class F>
    void forEachMember(F&& visit) const {
        for (const auto& [key, member] : object_->items()) {
            CodingPathLink link{link_, key, -1};
            visit(key, Decoder(member, &link, depth_ + 1));
        }
    }

private:
    friend class Decoder;
    KeyedDecoder(const JSONValue& object, const CodingPathLink* link, int depth)
        : object_(&object), link_(link), depth_(depth) {}
    const JSONValue* lookup(std::string_view key) const;
    const JSONValue& find(std::string_view key) const;

    const JSONValue* object_;
    const CodingPathLink* link_;
    int depth_;
};

template <class F>
void Decoder::forEachElement(F&& visit) const {
    requireArray();
    int index = 0;
    for (const JSONValue& element : *value_) {
        CodingPathLink link{link_, {}, index++};
        visit(Decoder(element, &link, depth_ + 1));
    }
}

template <class T>
T Decoder::decode() const {
    if constexpr (std::is_same_v<T, bool>) {
        return decodeBool();
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return decodeInt64();
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return decodeUInt64();
    } else if constexpr (std::is_same_v<T, double>) {
        return decodeDouble();
    } else if constexpr (std::is_same_v<T, std::string>) {
        return decodeString();
    } else if constexpr (std::is_enum_v<T>) {
        return decodeJSONEnum(*this, std::type_identity<T>{});
    } else if constexpr (detail::IsVector<T>::value) {
        T elements;
        if (value_->is_array()) elements.reserve(value_->size());
        forEachElement(
            [&](const Decoder& element) { elements.push_back(element.decode<typename T::value_type>()); });
        return elements;
    } else {
        return T::decode(*this);
    }
}

}  // namespace model
