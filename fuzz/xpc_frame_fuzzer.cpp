// libFuzzer target for the XPC frames: the input is a byte stream as a peer would send
// it. Cut into chunks at every size the first byte picks, it must give the same
// messages and the same verdict as when it arrives whole; every message it yields must
// encode and decode back to itself; the input taken as one frame body must decode or be
// refused, never crash. Aborts on any difference.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzCheck.hpp"
#include "platform/Base64.hpp"
#include "platform/xpc/XPCWire.hpp"

using fuzz::check;
using platform::XPCFrameReader;
using platform::XPCMessage;

namespace {

struct Outcome {
    std::vector<XPCMessage> messages;
    bool malformed = false;
    std::size_t buffered = 0;
};

// Feeds `stream` to a reader `chunk` bytes at a time and collects what it yields.
Outcome readStream(std::string_view stream, std::size_t chunk) {
    Outcome out;
    XPCFrameReader reader;
    for (std::size_t at = 0; at < stream.size() && !out.malformed; at += chunk) {
        const std::string_view piece = stream.substr(at, chunk);
        reader.append(piece.data(), piece.size());
        for (;;) {
            XPCMessage message;
            std::string error;
            const auto status = reader.next(message, error);
            if (status == XPCFrameReader::Status::needMore) break;
            if (status == XPCFrameReader::Status::malformed) {
                check(!error.empty(), "a malformed frame without a reason");
                out.malformed = true;
                // A broken stream stays broken.
                check(reader.next(message, error) == XPCFrameReader::Status::malformed,
                      "broken reader recovered");
                break;
            }
            out.messages.push_back(std::move(message));
        }
    }
    if (!out.malformed) out.buffered = reader.buffered();
    return out;
}

void checkRoundTrip(const XPCMessage& message) {
    const auto frame = platform::encodeXPCFrame(message);
    // Every message here came from a body far below the cap, and decoding leaves only
    // valid UTF-8, so the encoding is at most a few times larger.
    check(frame.has_value(), "a decoded message does not encode");
    check(frame->size() > platform::kXPCFrameHeaderSize, "an empty frame");
    std::string error;
    const auto again =
        platform::decodeXPCMessage(std::string_view(*frame).substr(platform::kXPCFrameHeaderSize), &error);
    check(again.has_value(), "an encoded message does not decode");
    check(*again == message, "a message changed on the round trip");
}

void checkBase64(std::string_view text) {
    if (const auto bytes = platform::base64Decode(text)) {
        check(platform::base64Encode(*bytes) == text, "base64 accepted a non-canonical text");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunk = data[0] % 17 + 1;  // 1..17 bytes at a time
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    const Outcome whole = readStream(stream, stream.size() + 1);
    const Outcome pieces = readStream(stream, chunk);
    check(whole.malformed == pieces.malformed, "the verdict depends on how the stream was cut");
    check(whole.messages == pieces.messages, "the messages depend on how the stream was cut");
    check(whole.buffered == pieces.buffered, "the remainder depends on how the stream was cut");
    for (const auto& m : whole.messages) checkRoundTrip(m);

    std::string error;
    if (const auto body = platform::decodeXPCMessage(stream, &error)) {
        checkRoundTrip(*body);
    } else {
        check(!error.empty(), "a refused body without a reason");
    }
    checkBase64(stream);
    return 0;
}
