#pragma once
// Reads one domain name from a byte buffer, following compression pointers. Never
// reads outside [buffer, buffer + length).
//
// The result is the labels joined with "." ("." for the root), bytes kept as they are
// (a label is not escaped and may hold any byte but "."). Lenient where DNS software
// commonly is: labels of 64-191 bytes are taken, and a pointer whose target cannot be
// read to its end (past the buffer, or cut off by it) ends the name with the labels
// read before that pointer.
//
// The name fails (no result) when the buffer ends before the name, a label holds a "."
// byte, the name grows past 255 wire octets, or more than 127 pointers are followed
// (a loop or an over-long chain). Pointers are followed iteratively, so the work per
// name is bounded whatever the input.
//
// One decode at a time; the object may be reused for the next name.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dnscodec {

class DNSLabelDecoder {
public:
    static constexpr unsigned kMaxPointerHops = 127;
    static constexpr size_t kMaxNameLength = 255;  // wire octets, root byte included

    DNSLabelDecoder() = default;

    // The decoded name; absent until a decode succeeds.
    std::optional<std::string> name;

    // Decodes the name at `offset` and advances `offset` past it: past the end byte, or
    // past the first compression pointer when there is one. Returns whether a name
    // resulted. On failure `offset` is unspecified.
    bool decodeLabelInBuffer(const uint8_t* buffer, uint32_t& offset, uint32_t length);

    // Drops the bytes being collected and prepares to collect `size` new ones.
    void resetBufferToSize(uint32_t size);
    // Sets `name` from the labels read so far ("." when none) and resets to state 0.
    void compileNameAndReset();

private:
    enum class State : uint64_t { expectingLength = 0, inLabel = 1, expectingPointerByte = 2 };

    bool fail();

    State state = State::expectingLength;
    std::string buffer;  // the label or pointer bytes being collected
    uint32_t bufferSize = 0;
    uint32_t bufferOffset = 0;
    std::vector<std::string> labels;
};

}  // namespace dnscodec
