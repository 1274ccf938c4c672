#pragma once
// Typed view of an EDNS OPT pseudo-record: the class carries the UDP payload size
// and the TTL the extended RCODE, version and DO bit. The EDNS options stay unchanged
// in `data`. Make one from a record of type 41: the record does not set its type.
#include <cstdint>

#include "dnscodec/DNSResourceRecord.hpp"

namespace dnscodec {

inline constexpr uint16_t kDNSTypeOPT = 41;

class DNSOPTResourceRecord final : public DNSResourceRecord {
public:
    DNSOPTResourceRecord() = default;

    uint16_t udpPayloadSize = 0;
    uint8_t extendedRCode = 0;
    uint8_t version = 0;
    bool dnssecOK = false;

    static std::shared_ptr<DNSOPTResourceRecord> fromResource(const DNSResourceRecord& source) {
        return DNSResourceRecord::fromResource<DNSOPTResourceRecord>(source);
    }

    DNSResourceRecordPtr copy() const override;
    // Takes the EDNS fields from this record's own resourceClass and ttl.
    void decodeFromResource(const DNSResourceRecord& source) override;
    // Writes resourceClass and ttl from the EDNS fields, then encodes as any record.
    bool appendTo(Bytes& out) override;
    bool appendDataTo(Bytes& out) const override;
};

}  // namespace dnscodec
