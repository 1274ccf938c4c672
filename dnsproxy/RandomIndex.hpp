#pragma once
// An unbiased random index below `count` (count > 0): a 64-bit random value times
// the count, the high half taken, with the biased low range drawn again. Each
// thread has its own generator, seeded from the system's random source. Any thread.
#include <cstddef>
#include <cstdint>

namespace dnsproxy {

std::size_t randomIndex(std::size_t count);

}  // namespace dnsproxy
