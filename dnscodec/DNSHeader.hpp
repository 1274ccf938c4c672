#pragma once
// The 12-byte header of a DNS message as plain values. A new header has every
// field 0 or false; note isQuery false, so a fresh header encodes as a response.
#include <cstdint>

namespace dnscodec {

struct DNSHeader {
    uint16_t id = 0;
    bool isQuery = false;  // true when the QR bit is 0
    uint16_t opCode = 0;   // only the low 4 bits go on the wire
    bool authoritativeAnswer = false;
    bool truncated = false;
    bool recursionDesired = false;
    bool recursionAvailable = false;
    bool authenticatedData = false;
    bool checkingDisabled = false;
    uint8_t responseCode = 0;  // only the low 4 bits go on the wire
    uint16_t questionCount = 0;
    uint16_t answerRecordCount = 0;
    uint16_t authorityRecordCount = 0;
    uint16_t additionalRecordCount = 0;

    bool operator==(const DNSHeader&) const = default;
};

}  // namespace dnscodec
