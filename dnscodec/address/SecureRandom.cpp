#include "dnscodec/address/SecureRandom.hpp"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace dnscodec {

std::uint32_t secureRandom32() {
    std::uint32_t value = 0;
    for (;;) {
        const ssize_t got = getrandom(&value, sizeof value, 0);
        if (got == static_cast<ssize_t>(sizeof value)) return value;
        if (got < 0 && errno == EINTR) continue;
        break;
    }
    thread_local std::random_device device;
    return static_cast<std::uint32_t>(device());
}

}  // namespace dnscodec
