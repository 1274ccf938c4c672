#include "dnscodec/DNSMessageDecoder.hpp"

#include <algorithm>

namespace dnscodec {
namespace {

// The smallest wire forms (root name and fixed fields) bound how many entries the
// rest of the buffer can hold, so a hostile count reserves no more than the input.
constexpr uint32_t kMinQuestionLength = 5;
constexpr uint32_t kMinRecordLength = 11;

size_t plausibleCount(uint16_t count, uint32_t offset, uint32_t length, uint32_t minimum) {
    const uint32_t remaining = offset < length ? length - offset : 0;
    return std::min<size_t>(count, remaining / minimum);
}

}  // namespace

std::optional<DNSHeader> DNSMessageDecoder::decodeHeaderWithBuffer(const uint8_t* buffer, uint32_t& offset,
                                                                   uint32_t length) {
    headerDecoder_.decodeHeaderInBuffer(buffer, offset, length);
    return headerDecoder_.header;
}

std::vector<DNSQuestionPtr> DNSMessageDecoder::decodeQuestionsWithCount(uint16_t count, const uint8_t* buffer,
                                                                        uint32_t& offset, uint32_t length) {
    std::vector<DNSQuestionPtr> questions;
    questions.reserve(plausibleCount(count, offset, length, kMinQuestionLength));
    for (uint32_t i = 0; i < count; ++i) {
        if (!questionDecoder_.decodeQuestionInBuffer(buffer, offset, length)) break;
        questions.push_back(std::move(questionDecoder_.question));
    }
    return questions;
}

std::vector<DNSResourceRecordPtr> DNSMessageDecoder::decodeResourceRecordWithCount(uint16_t count,
                                                                                   const uint8_t* buffer,
                                                                                   uint32_t& offset,
                                                                                   uint32_t length) {
    std::vector<DNSResourceRecordPtr> records;
    records.reserve(plausibleCount(count, offset, length, kMinRecordLength));
    for (uint32_t i = 0; i < count; ++i) {
        if (!recordDecoder_.decodeResourceInBuffer(buffer, offset, length)) break;
        records.push_back(std::move(recordDecoder_.resource));
    }
    return records;
}

bool DNSMessageDecoder::decodeMessageInBuffer(const uint8_t* buffer, uint32_t length) {
    message.reset();
    uint32_t offset = 0;
    auto header = decodeHeaderWithBuffer(buffer, offset, length);
    if (!header) return false;

    DNSMessage decoded;
    decoded.header = *header;
    if (header->questionCount > 0) {
        auto questions = decodeQuestionsWithCount(header->questionCount, buffer, offset, length);
        if (questions.size() != header->questionCount) return false;
        decoded.questions = std::move(questions);
    }
    const struct {
        uint16_t count;
        std::optional<std::vector<DNSResourceRecordPtr>>* section;
    } sections[] = {
        {header->answerRecordCount, &decoded.answers},
        {header->authorityRecordCount, &decoded.authorityRecords},
        {header->additionalRecordCount, &decoded.additionalRecords},
    };
    for (const auto& [count, section] : sections) {
        if (count == 0) continue;
        auto records = decodeResourceRecordWithCount(count, buffer, offset, length);
        if (records.size() != count) return false;
        *section = std::move(records);
    }
    message = std::move(decoded);
    return true;
}

}  // namespace dnscodec
