// libFuzzer target for the DNS codec: every datagram either fails to decode, or
// decodes to a message that encodes (unless it would exceed a datagram) and reads
// back as the same message; the proxy's rewrite (additional section replaced by one
// OPT record) must read back too. Aborts on any difference.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "dnscodec/DNSCNAMEResourceRecord.hpp"
#include "dnscodec/DNSMessageDecoder.hpp"
#include "dnscodec/DNSMessageEncoder.hpp"
#include "dnscodec/DNSOPTResourceRecord.hpp"
#include "fuzz/FuzzCheck.hpp"

using namespace dnscodec;
using fuzz::check;

namespace {

bool sameQuestions(const std::optional<std::vector<DNSQuestionPtr>>& a,
                   const std::optional<std::vector<DNSQuestionPtr>>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    if (a->size() != b->size()) return false;
    for (size_t i = 0; i < a->size(); ++i) {
        if (!(*(*a)[i] == *(*b)[i])) return false;
    }
    return true;
}

bool sameRecord(const DNSResourceRecord& a, const DNSResourceRecord& b) {
    return a.name == b.name && a.type == b.type && a.resourceClass == b.resourceClass && a.ttl == b.ttl &&
           a.data == b.data;
}

bool sameRecords(const std::optional<std::vector<DNSResourceRecordPtr>>& a,
                 const std::optional<std::vector<DNSResourceRecordPtr>>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    if (a->size() != b->size()) return false;
    for (size_t i = 0; i < a->size(); ++i) {
        if (!sameRecord(*(*a)[i], *(*b)[i])) return false;
    }
    return true;
}

// Header fields other than the counts (the encoder recomputes those; they are checked
// against the sections separately).
bool sameHeaderFlags(DNSHeader a, DNSHeader b) {
    a.questionCount = a.answerRecordCount = a.authorityRecordCount = a.additionalRecordCount = 0;
    b.questionCount = b.answerRecordCount = b.authorityRecordCount = b.additionalRecordCount = 0;
    return a == b;
}

template <class T>
size_t sizeOf(const std::optional<std::vector<T>>& section) {
    return section ? section->size() : 0;
}

void checkCounts(const DNSMessage& m) {
    check(m.header.questionCount == sizeOf(m.questions), "question count");
    check(m.header.answerRecordCount == sizeOf(m.answers), "answer count");
    check(m.header.authorityRecordCount == sizeOf(m.authorityRecords), "authority count");
    check(m.header.additionalRecordCount == sizeOf(m.additionalRecords), "additional count");
    for (const auto* s : {&m.questions}) check(!*s || !(*s)->empty(), "empty question section");
    for (const auto* s : {&m.answers, &m.authorityRecords, &m.additionalRecords}) {
        check(!*s || !(*s)->empty(), "empty record section");
    }
}

size_t nameWireSize(const std::optional<std::string>& name) {
    return (!name || *name == ".") ? 1 : name->size() + 2;
}

// What the encoder must produce for a decoded message: every decoded name and record
// is encodable, so only the datagram limit may refuse it.
size_t expectedWireSize(const DNSMessage& m) {
    size_t total = 12;
    if (m.questions) {
        for (const auto& q : *m.questions) total += nameWireSize(q->name) + 4;
    }
    for (const auto* s : {&m.answers, &m.authorityRecords, &m.additionalRecords}) {
        if (!*s) continue;
        for (const auto& r : **s) total += nameWireSize(r->name) + 10 + r->data->size();
    }
    return total;
}

void exerciseTypedViews(const DNSMessage& m) {
    for (const auto* s : {&m.answers, &m.authorityRecords, &m.additionalRecords}) {
        if (!*s) continue;
        for (const auto& r : **s) {
            auto cname = DNSCNAMEResourceRecord::fromResource(*r);
            cname->data = r->data;
            auto encoded = cname->encodeData();
            if (cname->canonicalName) check(encoded.has_value(), "decoded canonical name does not encode");
            auto opt = DNSOPTResourceRecord::fromResource(*r);
            check(opt->udpPayloadSize == r->resourceClass, "OPT payload size");
            check(opt->copy()->ttl == r->ttl, "OPT copy");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    DNSMessageDecoder decoder;
    if (!decoder.decodeMessageInBuffer(data, static_cast<uint32_t>(size))) return 0;
    const DNSMessage first = *decoder.message;
    for (const auto* s : {&first.answers, &first.authorityRecords, &first.additionalRecords}) {
        if (!*s) continue;
        for (const auto& r : **s) check(r->data.has_value(), "decoded record without data");
    }

    auto wire = DNSMessageEncoder::encode(first);
    const size_t expected = expectedWireSize(first);
    if (!wire) {
        check(expected > kMaxUInt16, "decoded message refused by the encoder");
    } else {
        check(wire->size() == expected, "encoded size");
        DNSMessageDecoder again;
        check(again.decodeMessageInBuffer(wire->data(), static_cast<uint32_t>(wire->size())),
              "encoded message does not decode");
        const DNSMessage& second = *again.message;
        checkCounts(second);
        check(sameHeaderFlags(first.header, second.header), "header differs");
        check(sameQuestions(first.questions, second.questions), "questions differ");
        check(sameRecords(first.answers, second.answers), "answers differ");
        check(sameRecords(first.authorityRecords, second.authorityRecords), "authority records differ");
        check(sameRecords(first.additionalRecords, second.additionalRecords), "additional records differ");
        check(DNSMessageEncoder::encode(second) == wire, "re-encoding differs");
    }

    // The proxy's rewrite: its own OPT record in place of the client's additional records.
    DNSMessage rewritten = first;
    DNSResourceRecord plain;
    plain.type = kDNSTypeOPT;
    auto opt = DNSOPTResourceRecord::fromResource(plain);
    opt->udpPayloadSize = 4096;
    opt->dnssecOK = (first.header.id & 1) != 0;
    opt->data = Bytes(data, data + std::min<size_t>(size, 64));
    rewritten.additionalRecords = std::vector<DNSResourceRecordPtr>{opt};
    auto rewrittenWire = DNSMessageEncoder::encode(rewritten);
    if (rewrittenWire) {
        DNSMessageDecoder again;
        check(
            again.decodeMessageInBuffer(rewrittenWire->data(), static_cast<uint32_t>(rewrittenWire->size())),
            "rewritten message does not decode");
        const DNSMessage& second = *again.message;
        check(sameQuestions(first.questions, second.questions), "rewritten questions differ");
        check(sameRecords(first.answers, second.answers), "rewritten answers differ");
        check(sameRecords(first.authorityRecords, second.authorityRecords), "rewritten authority differs");
        check(second.additionalRecords && second.additionalRecords->size() == 1,
              "rewritten additional count");
        const auto& record = *second.additionalRecords->front();
        check(record.name == "." && record.type == kDNSTypeOPT && record.resourceClass == 4096 &&
                  record.ttl == (opt->dnssecOK ? 0x8000u : 0u) && record.data == opt->data,
              "rewritten OPT record differs");
    } else {
        check(expectedWireSize(rewritten) > kMaxUInt16, "rewritten message refused by the encoder");
    }

    exerciseTypedViews(first);
    return 0;
}
