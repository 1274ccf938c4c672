#include "DNSTestSupport.hpp"

#include <algorithm>
#include <cstdio>
#include <typeinfo>

#include "dnscodec/DNSCNAMEResourceRecord.hpp"
#include "dnscodec/DNSMessageDecoder.hpp"
#include "dnscodec/DNSOPTResourceRecord.hpp"

namespace dnscodec::test {

Bytes label(const std::string& text) {
    Bytes out(text.size() + 1);
    out[0] = static_cast<uint8_t>(text.size());
    std::copy(text.begin(), text.end(), out.begin() + 1);
    return out;
}

Bytes join(std::initializer_list<Bytes> pieces) {
    Bytes out;
    for (const auto& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

std::string hex(const Bytes& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

std::optional<DNSMessage> decode(const Bytes& wire) {
    DNSMessageDecoder decoder;
    decoder.decodeMessageInBuffer(wire.data(), static_cast<uint32_t>(wire.size()));
    return decoder.message;
}

std::optional<std::string> decodeName(const Bytes& wire, uint32_t offset, uint32_t* end) {
    DNSLabelDecoder decoder;
    decoder.decodeLabelInBuffer(wire.data(), offset, static_cast<uint32_t>(wire.size()));
    if (end) *end = offset;
    return decoder.name;
}

namespace {

std::string nameText(const std::optional<std::string>& name) {
    return name ? "'" + hex(Bytes(name->begin(), name->end())) + "'" : "nil";
}

void renderRecords(std::string& out, const char* title,
                   const std::optional<std::vector<DNSResourceRecordPtr>>& section) {
    out += title;
    if (!section) {
        out += " nil\n";
        return;
    }
    out += " [" + std::to_string(section->size()) + "]\n";
    for (const auto& r : *section) {
        out += "  ";
        if (!r) {
            out += "null\n";
            continue;
        }
        out += typeid(*r).name();
        out += " name=" + nameText(r->name) + " type=" + std::to_string(r->type) +
               " class=" + std::to_string(r->resourceClass) + " ttl=" + std::to_string(r->ttl) +
               " data=" + (r->data ? hex(*r->data) : "nil");
        if (auto* opt = dynamic_cast<const DNSOPTResourceRecord*>(r.get())) {
            out += " payload=" + std::to_string(opt->udpPayloadSize) +
                   " ercode=" + std::to_string(opt->extendedRCode) +
                   " version=" + std::to_string(opt->version) + " do=" + std::to_string(opt->dnssecOK);
        }
        if (auto* cname = dynamic_cast<const DNSCNAMEResourceRecord*>(r.get())) {
            out += " cname=" + nameText(cname->canonicalName);
        }
        out += "\n";
    }
}

}  // namespace

std::string render(const DNSMessage& m, bool withCounts) {
    const DNSHeader& h = m.header;
    std::string out =
        "id=" + std::to_string(h.id) + " query=" + std::to_string(h.isQuery) +
        " opcode=" + std::to_string(h.opCode) + " aa=" + std::to_string(h.authoritativeAnswer) +
        " tc=" + std::to_string(h.truncated) + " rd=" + std::to_string(h.recursionDesired) +
        " ra=" + std::to_string(h.recursionAvailable) + " ad=" + std::to_string(h.authenticatedData) +
        " cd=" + std::to_string(h.checkingDisabled) + " rcode=" + std::to_string(h.responseCode);
    if (withCounts) {
        out += " counts=" + std::to_string(h.questionCount) + "/" + std::to_string(h.answerRecordCount) +
               "/" + std::to_string(h.authorityRecordCount) + "/" + std::to_string(h.additionalRecordCount);
    }
    out += "\nquestions";
    if (!m.questions) {
        out += " nil\n";
    } else {
        out += " [" + std::to_string(m.questions->size()) + "]\n";
        for (const auto& q : *m.questions) {
            out += q ? "  name=" + nameText(q->name) + " type=" + std::to_string(q->type) +
                           " class=" + std::to_string(q->questionClass) + "\n"
                     : "  null\n";
        }
    }
    renderRecords(out, "answers", m.answers);
    renderRecords(out, "authority", m.authorityRecords);
    renderRecords(out, "additional", m.additionalRecords);
    return out;
}

}  // namespace dnscodec::test
