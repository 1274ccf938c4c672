#pragma once
// Reads one question: a name (see DNSLabelDecoder), type and class. One decode at a
// time; the object may be reused.
#include <cstdint>

#include "dnscodec/DNSLabelDecoder.hpp"
#include "dnscodec/DNSQuestion.hpp"

namespace dnscodec {

class DNSQuestionDecoder {
public:
    // The decoded question; null until a decode succeeds.
    DNSQuestionPtr question;

    // Reads the question at `offset` and advances past it. Fails when the name fails
    // or the type and class run past the end; `offset` is then unspecified.
    bool decodeQuestionInBuffer(const uint8_t* buffer, uint32_t& offset, uint32_t length);

private:
    DNSLabelDecoder labelDecoder_;
};

}  // namespace dnscodec
