#include "dnscodec/DNSOPTResourceRecord.hpp"

namespace dnscodec {

DNSResourceRecordPtr DNSOPTResourceRecord::copy() const {
    return std::make_shared<DNSOPTResourceRecord>(*this);
}

void DNSOPTResourceRecord::decodeFromResource(const DNSResourceRecord&) {
    udpPayloadSize = resourceClass;
    extendedRCode = static_cast<uint8_t>(ttl >> 24);
    version = static_cast<uint8_t>(ttl >> 16);
    dnssecOK = (ttl & 0x8000) != 0;
}

bool DNSOPTResourceRecord::appendTo(Bytes& out) {
    resourceClass = udpPayloadSize;
    ttl = (static_cast<uint32_t>(extendedRCode) << 24) | (static_cast<uint32_t>(version) << 16) |
          (dnssecOK ? 0x8000u : 0u);
    return DNSResourceRecord::appendTo(out);
}

bool DNSOPTResourceRecord::appendDataTo(Bytes& out) const {
    // The class is final and keeps the base encodeData(): the data as set.
    if (data) out.insert(out.end(), data->begin(), data->end());
    return true;
}

}  // namespace dnscodec
