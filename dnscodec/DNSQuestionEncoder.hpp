#pragma once
// A DNSQuestion to wire form: name, type, class. Absent when the name is refused
// (see DNSLabelEncoder).
#include <optional>

#include "dnscodec/Bytes.hpp"
#include "dnscodec/DNSQuestion.hpp"

namespace dnscodec {

class DNSQuestionEncoder {
public:
    static std::optional<Bytes> encode(const DNSQuestion& question);
    // Appends to `out`; false (out unchanged) on failure.
    static bool append(const DNSQuestion& question, Bytes& out);
};

}  // namespace dnscodec
