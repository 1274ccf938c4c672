#pragma once
// Typed view of a CNAME record: the record data is one encoded domain name. A
// compression pointer inside it is taken as an offset into the record data itself.
#include <optional>
#include <string>

#include "dnscodec/DNSResourceRecord.hpp"

namespace dnscodec {

class DNSCNAMEResourceRecord final : public DNSResourceRecord {
public:
    DNSCNAMEResourceRecord() = default;

    std::optional<std::string> canonicalName;

    static std::shared_ptr<DNSCNAMEResourceRecord> fromResource(const DNSResourceRecord& source) {
        return DNSResourceRecord::fromResource<DNSCNAMEResourceRecord>(source);
    }

    DNSResourceRecordPtr copy() const override;
    // Leaves canonicalName unchanged when the source data is absent or empty, and
    // absent when the data does not decode as a name.
    void decodeFromResource(const DNSResourceRecord& source) override;
    // canonicalName in wire form (absent name: the root); absent when it cannot be
    // encoded.
    std::optional<Bytes> encodeData() const override;
    bool appendDataTo(Bytes& out) const override;
};

}  // namespace dnscodec
