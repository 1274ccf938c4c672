#include "dnscodec/DNSHeaderEncoder.hpp"

namespace dnscodec {

Bytes DNSHeaderEncoder::encode(const DNSHeader& header) {
    Bytes out;
    out.reserve(DNSHeaderEncoder::kHeaderLength);
    append(header, out);
    return out;
}

void DNSHeaderEncoder::append(const DNSHeader& header, Bytes& out) {
    const size_t start = out.size();
    out.resize(start + kHeaderLength);
    uint8_t* at = out.data() + start;
    storeUInt16(at, header.id);
    uint8_t flags = 0;
    if (!header.isQuery) flags |= 0x80;
    flags |= static_cast<uint8_t>((header.opCode & 0x0F) << 3);
    if (header.authoritativeAnswer) flags |= 0x04;
    if (header.truncated) flags |= 0x02;
    if (header.recursionDesired) flags |= 0x01;
    at[2] = flags;
    flags = 0;
    if (header.recursionAvailable) flags |= 0x80;
    if (header.authenticatedData) flags |= 0x20;
    if (header.checkingDisabled) flags |= 0x10;
    flags |= static_cast<uint8_t>(header.responseCode & 0x0F);
    at[3] = flags;
    storeUInt16(at + 4, header.questionCount);
    storeUInt16(at + 6, header.answerRecordCount);
    storeUInt16(at + 8, header.authorityRecordCount);
    storeUInt16(at + 10, header.additionalRecordCount);
}

}  // namespace dnscodec
