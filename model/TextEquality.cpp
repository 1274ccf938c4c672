#include "model/TextEquality.hpp"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "model/JSONText.hpp"

namespace model {

namespace {

bool isASCII(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

bool canonicallyEqual(std::string_view left, std::string_view right) {
    if (left == right) return true;
    if (isASCII(left) && isASCII(right)) return false;
    if (!isValidUTF8(left) || !isValidUTF8(right)) return false;
    constexpr std::size_t kLongest = 0x7fffffff;  // ICU measures text in 32-bit lengths
    if (left.size() > kLongest || right.size() > kLongest) return false;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status) || nfd == nullptr) return false;
    icu::UnicodeString a = nfd->normalize(
        icu::UnicodeString::fromUTF8(icu::StringPiece(left.data(), static_cast<int32_t>(left.size()))),
        status);
    icu::UnicodeString b = nfd->normalize(
        icu::UnicodeString::fromUTF8(icu::StringPiece(right.data(), static_cast<int32_t>(right.size()))),
        status);
    return U_SUCCESS(status) && a == b;
}

}  // namespace model
