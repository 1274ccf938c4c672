#pragma once
// One entry of the question section. Names are byte strings: the dotted labels as
// they were on the wire (no escaping, non-ASCII bytes kept), "." for the root, and
// absent when never set. Questions are shared between a message and its copies.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace dnscodec {

struct DNSQuestion {
    std::optional<std::string> name;
    uint16_t type = 0;
    uint16_t questionClass = 0;

    bool operator==(const DNSQuestion&) const = default;
};

using DNSQuestionPtr = std::shared_ptr<DNSQuestion>;

}  // namespace dnscodec
