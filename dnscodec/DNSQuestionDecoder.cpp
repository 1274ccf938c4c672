#include "dnscodec/DNSQuestionDecoder.hpp"

#include "dnscodec/Bytes.hpp"

namespace dnscodec {

bool DNSQuestionDecoder::decodeQuestionInBuffer(const uint8_t* buffer, uint32_t& offset, uint32_t length) {
    question.reset();
    if (!labelDecoder_.decodeLabelInBuffer(buffer, offset, length)) return false;
    if (offset > length || length - offset < 4) return false;
    auto decoded = std::make_shared<DNSQuestion>();
    decoded->name = std::move(labelDecoder_.name);
    decoded->type = loadUInt16(buffer + offset);
    decoded->questionClass = loadUInt16(buffer + offset + 2);
    offset += 4;
    question = std::move(decoded);
    return true;
}

}  // namespace dnscodec
