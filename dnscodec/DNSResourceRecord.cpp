#include "dnscodec/DNSResourceRecord.hpp"

#include <typeinfo>

#include "dnscodec/DNSLabelEncoder.hpp"

namespace dnscodec {

DNSResourceRecordPtr DNSResourceRecord::copy() const {
    auto record = std::make_shared<DNSResourceRecord>();
    *record = *this;
    return record;
}

void DNSResourceRecord::decodeFromResource(const DNSResourceRecord&) {}

std::optional<Bytes> DNSResourceRecord::encodeData() const { return data.value_or(Bytes{}); }

std::optional<Bytes> DNSResourceRecord::encode() {
    Bytes out;
    if (!appendTo(out)) return std::nullopt;
    return out;
}

bool DNSResourceRecord::appendDataTo(Bytes& out) const {
    // A plain record is on the hot path (every record of a forwarded query): skip the
    // intermediate copy when encodeData() cannot have been overridden.
    if (typeid(*this) == typeid(DNSResourceRecord)) {
        if (data) out.insert(out.end(), data->begin(), data->end());
        return true;
    }
    auto encoded = encodeData();
    if (!encoded) return false;
    out.insert(out.end(), encoded->begin(), encoded->end());
    return true;
}

bool DNSResourceRecord::appendTo(Bytes& out) {
    const size_t start = out.size();
    if (!DNSLabelEncoder::append(name, out)) return false;
    const size_t fixedAt = out.size();
    out.resize(fixedAt + 10);
    storeUInt16(out.data() + fixedAt, type);
    storeUInt16(out.data() + fixedAt + 2, resourceClass);
    storeUInt32(out.data() + fixedAt + 4, ttl);
    const size_t lengthAt = fixedAt + 8;
    if (!appendDataTo(out) || out.size() - lengthAt - 2 > kMaxUInt16) {
        out.resize(start);
        return false;
    }
    storeUInt16(out.data() + lengthAt, static_cast<uint16_t>(out.size() - lengthAt - 2));
    return true;
}

void DNSResourceRecord::copyFromResource(const DNSResourceRecord& source) {
    name = source.name;
    type = source.type;
    resourceClass = source.resourceClass;
    ttl = source.ttl;
    decodeFromResource(source);
}

}  // namespace dnscodec
