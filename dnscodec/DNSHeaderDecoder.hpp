#pragma once
// Reads the 12-byte message header. Bit 6 of the fourth byte (reserved) is ignored.
#include <cstdint>
#include <optional>

#include "dnscodec/DNSHeader.hpp"

namespace dnscodec {

class DNSHeaderDecoder {
public:
    static constexpr uint32_t kHeaderLength = 12;

    std::optional<DNSHeader> header;

    // Reads the header at `offset` and advances it by 12; fails when fewer than 12
    // bytes remain.
    bool decodeHeaderInBuffer(const uint8_t* buffer, uint32_t& offset, uint32_t length);
};

}  // namespace dnscodec
