#pragma once
// A DNSMessage to one wire datagram: header with the section counts recomputed
// from the sections (the caller's header is not changed), then the questions, answers,
// authority and additional records in order, names uncompressed.
//
// Absent result when a name or record cannot be encoded, a section holds more than
// 65,535 entries or a null entry, or the message would exceed 65,535 bytes. OPT
// records of the message are rewritten by the encoding (see DNSOPTResourceRecord),
// also when the encoding then fails.
#include <optional>

#include "dnscodec/Bytes.hpp"
#include "dnscodec/DNSMessage.hpp"

namespace dnscodec {

class DNSMessageEncoder {
public:
    static std::optional<Bytes> encode(const DNSMessage& message);
    // Appends the datagram to `out` (a buffer the caller may reuse); false (out
    // unchanged) on failure.
    static bool append(const DNSMessage& message, Bytes& out);
};

}  // namespace dnscodec
