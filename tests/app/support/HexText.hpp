#pragma once
// Test helper: bytes as lower-case hexadecimal text, for oracles that speak hex
// (openssl's -K and -iv, Python's bytes.hex()).
#include <string>
#include <string_view>

namespace kiv::testing_support {

inline std::string hexOf(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace kiv::testing_support
