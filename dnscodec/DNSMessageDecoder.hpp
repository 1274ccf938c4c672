#pragma once
// Reads a whole DNS message from a datagram. Lenient about contents (see
// DNSLabelDecoder), strict about counts: the message decodes only when every section
// yields exactly as many entries as its header count says. Sections with a count of 0
// stay absent; the header keeps its counts as read; bytes after the last section are
// ignored. Never reads outside [buffer, buffer + length).
//
// One decode at a time; the object may be reused.
#include <cstdint>
#include <optional>
#include <vector>

#include "dnscodec/DNSHeaderDecoder.hpp"
#include "dnscodec/DNSMessage.hpp"
#include "dnscodec/DNSQuestionDecoder.hpp"
#include "dnscodec/DNSResourceRecordDecoder.hpp"

namespace dnscodec {

class DNSMessageDecoder {
public:
    // The decoded message; absent when the last decode failed.
    std::optional<DNSMessage> message;

    // Decodes the message starting at offset 0; returns whether `message` is set.
    bool decodeMessageInBuffer(const uint8_t* buffer, uint32_t length);

    // The steps of decodeMessageInBuffer, sharing one running offset.
    std::optional<DNSHeader> decodeHeaderWithBuffer(const uint8_t* buffer, uint32_t& offset, uint32_t length);
    // The questions that decoded, in order. Stops at the first that fails, since the
    // count check then fails whatever follows.
    std::vector<DNSQuestionPtr> decodeQuestionsWithCount(uint16_t count, const uint8_t* buffer,
                                                         uint32_t& offset, uint32_t length);
    // As decodeQuestionsWithCount, for resource records.
    std::vector<DNSResourceRecordPtr> decodeResourceRecordWithCount(uint16_t count, const uint8_t* buffer,
                                                                    uint32_t& offset, uint32_t length);

private:
    DNSHeaderDecoder headerDecoder_;
    DNSQuestionDecoder questionDecoder_;
    DNSResourceRecordDecoder recordDecoder_;
};

}  // namespace dnscodec
