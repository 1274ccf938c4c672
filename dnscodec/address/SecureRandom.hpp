#pragma once
// The source of 32-bit random values behind BigInt's random numbers. The default reads
// the kernel's generator; tests pass a seeded source of their own for repeatable runs.
#include <cstdint>
#include <functional>

namespace dnscodec {

using Random32 = std::function<std::uint32_t()>;

// Reads getrandom(2) (std::random_device where that call is unavailable). Any thread.
std::uint32_t secureRandom32();

}  // namespace dnscodec
