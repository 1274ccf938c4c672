#include "dnscodec/DNSResourceRecordDecoder.hpp"

#include "dnscodec/Bytes.hpp"

namespace dnscodec {

bool DNSResourceRecordDecoder::decodeResourceInBuffer(const uint8_t* buffer, uint32_t& offset,
                                                      uint32_t length) {
    resource.reset();
    if (offset >= length) return false;
    if (!labelDecoder_.decodeLabelInBuffer(buffer, offset, length)) return false;
    if (offset > length || length - offset < 10) return false;
    const uint8_t* at = buffer + offset;
    const uint16_t dataLength = loadUInt16(at + 8);
    if (length - offset - 10 < dataLength) return false;
    auto record = std::make_shared<DNSResourceRecord>();
    record->name = std::move(labelDecoder_.name);
    record->type = loadUInt16(at);
    record->resourceClass = loadUInt16(at + 2);
    record->ttl = loadUInt32(at + 4);
    record->data.emplace(at + 10, at + 10 + dataLength);
    offset += 10 + dataLength;
    resource = std::move(record);
    return true;
}

}  // namespace dnscodec
