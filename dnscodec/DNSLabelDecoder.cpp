#include "dnscodec/DNSLabelDecoder.hpp"

#include <algorithm>
#include <cstring>

namespace dnscodec {

void DNSLabelDecoder::resetBufferToSize(uint32_t size) {
    buffer.clear();
    bufferSize = size;
    bufferOffset = 0;
    if (size > 0) buffer.reserve(size);
}

void DNSLabelDecoder::compileNameAndReset() {
    if (labels.empty()) {
        name.emplace(1, '.');  // the root
    } else {
        size_t total = labels.size() - 1;
        for (const auto& label : labels) total += label.size();
        std::string joined;
        joined.reserve(total);
        for (const auto& label : labels) {
            if (!joined.empty()) joined.push_back('.');
            joined += label;
        }
        name = std::move(joined);
    }
    labels.clear();
    resetBufferToSize(0);
    state = State::expectingLength;
}

bool DNSLabelDecoder::fail() {
    name.reset();
    labels.clear();
    resetBufferToSize(0);
    state = State::expectingLength;
    return false;
}

bool DNSLabelDecoder::decodeLabelInBuffer(const uint8_t* input, uint32_t& offset, uint32_t length) {
    name.reset();
    labels.clear();
    if (labels.capacity() == 0) labels.reserve(8);  // typical names need no regrowth
    resetBufferToSize(0);
    state = State::expectingLength;

    uint32_t position = offset;
    // Once a pointer has been taken, the caller's offset stays just after it.
    bool followedPointer = false;
    unsigned hops = 0;
    // Labels read before the pointer that led to the part now being read: what the
    // name falls back to when that part runs off the buffer.
    size_t labelsBeforePointer = 0;
    size_t wireLength = 1;  // the root octet

    while (true) {
        if (position >= length) {
            if (!followedPointer) return fail();
            labels.resize(labelsBeforePointer);
            compileNameAndReset();
            return true;
        }
        const uint8_t byte = input[position++];
        switch (state) {
            case State::expectingLength:
                if (byte >= 0xC0) {
                    resetBufferToSize(2);
                    buffer.push_back(static_cast<char>(byte));
                    bufferOffset = 1;
                    state = State::expectingPointerByte;
                } else if (byte == 0) {
                    if (!followedPointer) offset = position;
                    compileNameAndReset();
                    return true;
                } else {
                    resetBufferToSize(byte);
                    state = State::inLabel;
                }
                break;
            case State::inLabel: {
                // Take the rest of the label in one step where the buffer holds it.
                const uint32_t take = std::min(bufferSize - bufferOffset, length - position + 1);
                const char* from = reinterpret_cast<const char*>(input + position - 1);
                if (std::memchr(from, '.', take) != nullptr) return fail();
                buffer.append(from, take);
                bufferOffset += take;
                position += take - 1;
                if (bufferOffset == bufferSize) {
                    wireLength += bufferSize + 1;
                    if (wireLength > kMaxNameLength) return fail();
                    labels.push_back(buffer);
                    resetBufferToSize(0);
                    state = State::expectingLength;
                }
                break;
            }
            case State::expectingPointerByte: {
                const uint32_t target =
                    (static_cast<uint32_t>(static_cast<uint8_t>(buffer[0]) & 0x3F) << 8) | byte;
                if (++hops > kMaxPointerHops) return fail();
                if (!followedPointer) offset = position;
                followedPointer = true;
                labelsBeforePointer = labels.size();
                position = target;
                resetBufferToSize(0);
                state = State::expectingLength;
                break;
            }
        }
    }
}

}  // namespace dnscodec
