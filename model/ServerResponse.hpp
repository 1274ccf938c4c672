#pragma once
// Marks the types that stand for a whole reply of the device server: each is built from the
// reply's JSON by its own decoder.
#include <concepts>

#include "model/Decoder.hpp"

namespace model {

template <class T>
concept ServerResponse = requires(const Decoder& decoder) {
    { T::decode(decoder) } -> std::same_as<T>;
};

}  // namespace model
