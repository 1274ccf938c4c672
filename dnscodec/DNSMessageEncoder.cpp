#include "dnscodec/DNSMessageEncoder.hpp"

#include <algorithm>
#include <initializer_list>

#include "dnscodec/DNSHeaderEncoder.hpp"
#include "dnscodec/DNSQuestionEncoder.hpp"

namespace dnscodec {
namespace {

template <class T>
size_t sectionSize(const std::optional<std::vector<T>>& section) {
    return section ? section->size() : 0;
}

// Upper estimate of the record sizes, so the output grows once in the common case.
size_t estimateSize(const DNSMessage& message) {
    size_t total = DNSHeaderEncoder::kHeaderLength;
    auto nameSize = [](const std::optional<std::string>& name) { return name ? name->size() + 2 : 1; };
    if (message.questions) {
        for (const auto& q : *message.questions) total += q ? nameSize(q->name) + 4 : 0;
    }
    for (const auto* section : {&message.answers, &message.authorityRecords, &message.additionalRecords}) {
        if (!*section) continue;
        for (const auto& r : **section) {
            if (r) total += nameSize(r->name) + 10 + (r->data ? r->data->size() : 0);
        }
    }
    return total;
}

bool appendRecords(const std::optional<std::vector<DNSResourceRecordPtr>>& section, Bytes& out,
                   size_t start) {
    if (!section) return true;
    for (const auto& record : *section) {
        if (!record || !record->appendTo(out)) return false;
        if (out.size() - start > kMaxUInt16) return false;
    }
    return true;
}

}  // namespace

std::optional<Bytes> DNSMessageEncoder::encode(const DNSMessage& message) {
    Bytes out;
    if (!append(message, out)) return std::nullopt;
    return out;
}

bool DNSMessageEncoder::append(const DNSMessage& message, Bytes& out) {
    const size_t questions = sectionSize(message.questions);
    const size_t answers = sectionSize(message.answers);
    const size_t authority = sectionSize(message.authorityRecords);
    const size_t additional = sectionSize(message.additionalRecords);
    if (questions > kMaxUInt16 || answers > kMaxUInt16 || authority > kMaxUInt16 || additional > kMaxUInt16) {
        return false;
    }
    DNSHeader header = message.header;
    header.questionCount = static_cast<uint16_t>(questions);
    header.answerRecordCount = static_cast<uint16_t>(answers);
    header.authorityRecordCount = static_cast<uint16_t>(authority);
    header.additionalRecordCount = static_cast<uint16_t>(additional);

    const size_t start = out.size();
    out.reserve(start + std::min<size_t>(estimateSize(message), kMaxUInt16 + 1));
    DNSHeaderEncoder::append(header, out);
    bool ok = true;
    if (message.questions) {
        for (const auto& question : *message.questions) {
            if (!question || !DNSQuestionEncoder::append(*question, out) || out.size() - start > kMaxUInt16) {
                ok = false;
                break;
            }
        }
    }
    ok = ok && appendRecords(message.answers, out, start) &&
         appendRecords(message.authorityRecords, out, start) &&
         appendRecords(message.additionalRecords, out, start);
    if (!ok) out.resize(start);
    return ok;
}

}  // namespace dnscodec
