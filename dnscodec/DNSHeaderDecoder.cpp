#include "dnscodec/DNSHeaderDecoder.hpp"

#include "dnscodec/Bytes.hpp"

namespace dnscodec {

bool DNSHeaderDecoder::decodeHeaderInBuffer(const uint8_t* buffer, uint32_t& offset, uint32_t length) {
    header.reset();
    if (offset > length || length - offset < kHeaderLength) return false;
    const uint8_t* at = buffer + offset;
    DNSHeader h;
    h.id = loadUInt16(at);
    h.isQuery = (at[2] & 0x80) == 0;
    h.opCode = static_cast<uint16_t>((at[2] >> 3) & 0x0F);
    h.authoritativeAnswer = (at[2] & 0x04) != 0;
    h.truncated = (at[2] & 0x02) != 0;
    h.recursionDesired = (at[2] & 0x01) != 0;
    h.recursionAvailable = (at[3] & 0x80) != 0;
    h.authenticatedData = (at[3] & 0x20) != 0;
    h.checkingDisabled = (at[3] & 0x10) != 0;
    h.responseCode = static_cast<uint8_t>(at[3] & 0x0F);
    h.questionCount = loadUInt16(at + 4);
    h.answerRecordCount = loadUInt16(at + 6);
    h.authorityRecordCount = loadUInt16(at + 8);
    h.additionalRecordCount = loadUInt16(at + 10);
    header = h;
    offset += kHeaderLength;
    return true;
}

}  // namespace dnscodec
