#include "dnsproxy/RandomIndex.hpp"

#include <sys/random.h>

#include <random>

namespace dnsproxy {

namespace {

std::uint64_t seed() {
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value))
        value = std::random_device{}();
    return value;
}

}  // namespace

std::size_t randomIndex(std::size_t count) {
    thread_local std::mt19937_64 generator{seed()};
    const auto n = static_cast<std::uint64_t>(count);
    unsigned __int128 product = static_cast<unsigned __int128>(generator()) * n;
    auto low = static_cast<std::uint64_t>(product);
    if (low < n) {
        const std::uint64_t threshold = (0 - n) % n;  // 2^64 mod n
        while (low < threshold) {
            product = static_cast<unsigned __int128>(generator()) * n;
            low = static_cast<std::uint64_t>(product);
        }
    }
    return static_cast<std::size_t>(product >> 64);
}

}  // namespace dnsproxy
