#include "dnscodec/DNSQuestionEncoder.hpp"

#include "dnscodec/DNSLabelEncoder.hpp"

namespace dnscodec {

std::optional<Bytes> DNSQuestionEncoder::encode(const DNSQuestion& question) {
    Bytes out;
    if (!append(question, out)) return std::nullopt;
    return out;
}

bool DNSQuestionEncoder::append(const DNSQuestion& question, Bytes& out) {
    if (!DNSLabelEncoder::append(question.name, out)) return false;
    appendUInt16(out, question.type);
    appendUInt16(out, question.questionClass);
    return true;
}

}  // namespace dnscodec
