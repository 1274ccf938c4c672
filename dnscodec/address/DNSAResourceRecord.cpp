#include "dnscodec/address/DNSAResourceRecord.hpp"

namespace dnscodec {

namespace {

// The address factory refuses any length but 4 and 16 by throwing; a record carries
// whatever the wire held, so the length is checked first.
std::optional<IPAddress> addressFromRecordData(const Bytes& bytes) {
    if (bytes.size() != 4 && bytes.size() != 16) return std::nullopt;
    return IPAddress::addressWithData(bytes);
}

}  // namespace

DNSResourceRecordPtr DNSAResourceRecord::copy() const {
    auto record = std::make_shared<DNSAResourceRecord>(*this);
    record->ip = ip ? addressFromRecordData(ip->data()) : std::nullopt;
    return record;
}

void DNSAResourceRecord::decodeFromResource(const DNSResourceRecord& source) {
    ip = source.data ? addressFromRecordData(*source.data) : std::nullopt;
}

std::optional<Bytes> DNSAResourceRecord::encodeData() const {
    if (ip) return ip->data();
    return data.value_or(Bytes{});
}

}  // namespace dnscodec
