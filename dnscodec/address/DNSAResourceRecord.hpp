#pragma once
// Typed view of an address record: the record data is one IPv4 (4 bytes) or IPv6 (16
// bytes) address, held as an IPAddress. Made from a decoded record with fromResource.
// Record data of any other length leaves `ip` absent; nothing here throws.
#include <memory>
#include <optional>

#include "dnscodec/DNSResourceRecord.hpp"
#include "dnscodec/address/IPAddress.hpp"

namespace dnscodec {

class DNSAResourceRecord final : public DNSResourceRecord {
public:
    DNSAResourceRecord() = default;

    std::optional<IPAddress> ip;

    static std::shared_ptr<DNSAResourceRecord> fromResource(const DNSResourceRecord& source) {
        return DNSResourceRecord::fromResource<DNSAResourceRecord>(source);
    }

    // The base copy; `ip` is made afresh from the address bytes.
    DNSResourceRecordPtr copy() const override;
    // `ip` from the source's data when it is 4 or 16 bytes long, else absent.
    void decodeFromResource(const DNSResourceRecord& source) override;
    // The address bytes of `ip`; without one, `data` (empty when absent).
    std::optional<Bytes> encodeData() const override;
};

}  // namespace dnscodec
