#pragma once
// A DNSHeader to its 12 wire bytes. The counts are written as given; the message
// encoder sets them from the sections.
#include "dnscodec/Bytes.hpp"
#include "dnscodec/DNSHeader.hpp"

namespace dnscodec {

class DNSHeaderEncoder {
public:
    static constexpr size_t kHeaderLength = 12;

    static Bytes encode(const DNSHeader& header);
    static void append(const DNSHeader& header, Bytes& out);
};

}  // namespace dnscodec
