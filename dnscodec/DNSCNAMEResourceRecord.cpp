#include "dnscodec/DNSCNAMEResourceRecord.hpp"

#include <limits>

#include "dnscodec/DNSLabelDecoder.hpp"
#include "dnscodec/DNSLabelEncoder.hpp"

namespace dnscodec {

DNSResourceRecordPtr DNSCNAMEResourceRecord::copy() const {
    return std::make_shared<DNSCNAMEResourceRecord>(*this);
}

void DNSCNAMEResourceRecord::decodeFromResource(const DNSResourceRecord& source) {
    if (!source.data || source.data->empty()) return;
    if (source.data->size() > std::numeric_limits<uint32_t>::max()) {
        canonicalName.reset();
        return;
    }
    DNSLabelDecoder decoder;
    uint32_t offset = 0;
    decoder.decodeLabelInBuffer(source.data->data(), offset, static_cast<uint32_t>(source.data->size()));
    canonicalName = decoder.name;
}

std::optional<Bytes> DNSCNAMEResourceRecord::encodeData() const {
    return DNSLabelEncoder::encode(canonicalName);
}

bool DNSCNAMEResourceRecord::appendDataTo(Bytes& out) const {
    return DNSLabelEncoder::append(canonicalName, out);
}

}  // namespace dnscodec
