#pragma once
// A DNS message: header plus four sections. A section is absent (not empty) when the
// decoder found a count of 0 there, and the encoder counts an absent section as 0.
//
// Copying a DNSMessage copies the header and the four arrays, and shares the question
// and record objects with the original. One thread at a time.
#include <optional>
#include <vector>

#include "dnscodec/DNSHeader.hpp"
#include "dnscodec/DNSQuestion.hpp"
#include "dnscodec/DNSResourceRecord.hpp"

namespace dnscodec {

struct DNSMessage {
    DNSHeader header;
    std::optional<std::vector<DNSQuestionPtr>> questions;
    std::optional<std::vector<DNSResourceRecordPtr>> answers;
    std::optional<std::vector<DNSResourceRecordPtr>> authorityRecords;
    std::optional<std::vector<DNSResourceRecordPtr>> additionalRecords;
};

}  // namespace dnscodec
