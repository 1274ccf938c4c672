#pragma once
// Reads one resource record as a plain DNSResourceRecord, whatever its type: name
// (see DNSLabelDecoder), type, class, ttl and the record data bytes. One decode at a
// time; the object may be reused.
#include <cstdint>

#include "dnscodec/DNSLabelDecoder.hpp"
#include "dnscodec/DNSResourceRecord.hpp"

namespace dnscodec {

class DNSResourceRecordDecoder {
public:
    // The decoded record; null until a decode succeeds.
    DNSResourceRecordPtr resource;

    // Reads the record at `offset` and advances past its data. Fails when the offset is
    // at the end, the name fails, or the fixed fields or data run past the end;
    // `offset` is then unspecified.
    bool decodeResourceInBuffer(const uint8_t* buffer, uint32_t& offset, uint32_t length);

private:
    DNSLabelDecoder labelDecoder_;
};

}  // namespace dnscodec
