#pragma once
// What the fuzz targets share: a broken invariant stops the run with its description, and
// libFuzzer keeps the input that broke it.
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void mismatch(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what) {
    if (!condition) mismatch(what);
}

inline bool isASCII(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace fuzz
