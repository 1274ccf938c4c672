#pragma once
// Byte buffers of the DNS codec and the big-endian helpers its encoders and
// decoders share. Callers check bounds before every read.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace dnscodec {

using Bytes = std::vector<uint8_t>;

// Largest value a 16-bit wire length or count can hold, and the largest datagram.
inline constexpr uint32_t kMaxUInt16 = 65535;

inline void appendUInt16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

inline void appendUInt32(Bytes& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

inline void storeUInt16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

inline void storeUInt32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

inline uint16_t loadUInt16(const uint8_t* at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }

inline uint32_t loadUInt32(const uint8_t* at) {
    return (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
           (static_cast<uint32_t>(at[2]) << 8) | static_cast<uint32_t>(at[3]);
}

}  // namespace dnscodec
