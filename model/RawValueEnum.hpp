#pragma once
// What the closed enumerations with text raw values share: the cases are numbered 0, 1, ... in
// the order of their raw value table, so a raw value's position is its case. Stateless; any
// thread.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "model/Decoder.hpp"

namespace model {

// The case whose raw value equals text exactly (case-sensitive, whole text), or no value.
template <class E, std::size_t N>
std::optional<E> caseFromRawValue(const std::array<std::string_view, N>& rawValues, std::string_view text) {
    for (std::size_t i = 0; i < N; ++i) {
        if (rawValues[i] == text) return static_cast<E>(i);
    }
    return std::nullopt;
}

// A JSON string that is one of the raw values; typeMismatch for another JSON type,
// dataCorrupted "Cannot initialize <typeName> from invalid String value <text>" otherwise.
template <class E, std::size_t N>
E decodeRawValueCase(const Decoder& decoder, const std::array<std::string_view, N>& rawValues,
                     std::string_view typeName) {
    std::string text = decoder.decodeString();
    if (auto value = caseFromRawValue<E>(rawValues, text)) return *value;
    decoder.fail(CodingError::Kind::dataCorrupted,
                 "Cannot initialize " + std::string(typeName) + " from invalid String value " + text);
}

}  // namespace model
