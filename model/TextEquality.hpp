#pragma once
// Equality of texts as users read them: canonically equivalent Unicode texts are equal (a
// precomposed "é" equals "e" followed by a combining acute accent). Bytes that are not valid
// UTF-8 compare byte for byte.
#include <string_view>

namespace model {

bool canonicallyEqual(std::string_view left, std::string_view right);

}  // namespace model
