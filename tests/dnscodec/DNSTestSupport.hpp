#pragma once
// Helpers shared by the codec tests: decoding shortcuts and a canonical text of a
// message used to compare two messages field by field.
#include <cstdint>
#include <optional>
#include <string>

#include "dnscodec/Bytes.hpp"
#include "dnscodec/DNSMessage.hpp"

namespace dnscodec::test {

// The wire form of one label: its length byte then its bytes.
Bytes label(const std::string& text);
// Concatenation of wire pieces.
Bytes join(std::initializer_list<Bytes> pieces);
std::string hex(const Bytes& bytes);

std::optional<DNSMessage> decode(const Bytes& wire);
// Decodes one name at `offset`; `end` receives the offset after it.
std::optional<std::string> decodeName(const Bytes& wire, uint32_t offset = 0, uint32_t* end = nullptr);

// Every field of the message, including the header counts unless `withCounts` is false
// (the encoder recomputes them), nil sections and nil data told apart from empty ones,
// and the dynamic type of each record.
std::string render(const DNSMessage& message, bool withCounts = true);

}  // namespace dnscodec::test
