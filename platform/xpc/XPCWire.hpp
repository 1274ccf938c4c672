#pragma once
// The frames that XPC connections exchange over a Unix-domain stream socket: a 4-byte
// big-endian length, then that many bytes of one JSON object (a message). Everything
// read here is untrusted: decoding refuses with a reason and never throws.
//
//   {"kind":"call","selector":"register:","args":[...],"id":7}   id only with a reply block
//   {"kind":"reply","id":7,"args":[...]}
//   {"kind":"abandon","id":7}      the receiver dropped the reply block uncalled
// Each argument is {"t":<type>,...}: {"t":"null"}, {"t":"bool","v":true},
// {"t":"int","v":-5}, {"t":"text","v":"x"}, {"t":"data","v":"<base64>"},
// {"t":"error","domain":"D","code":1,"description":"x"}, {"t":"texts","v":["a"]}.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/xpc/XPCValue.hpp"

namespace platform {

// Largest JSON body of one frame; a longer announced length is refused at once.
inline constexpr std::size_t kXPCMaxFrameSize = 4 * 1024 * 1024;
inline constexpr std::size_t kXPCFrameHeaderSize = 4;

struct XPCCallMessage {
    std::string selector;
    XPCArguments arguments;
    std::optional<std::uint64_t> replyId;  // present when the caller waits for a reply
    bool operator==(const XPCCallMessage&) const = default;
};
struct XPCReplyMessage {
    std::uint64_t replyId = 0;
    XPCArguments arguments;
    bool operator==(const XPCReplyMessage&) const = default;
};
struct XPCAbandonMessage {
    std::uint64_t replyId = 0;
    bool operator==(const XPCAbandonMessage&) const = default;
};
using XPCMessage = std::variant<XPCCallMessage, XPCReplyMessage, XPCAbandonMessage>;

// The whole frame (header and body); nullopt when the body would exceed the cap.
// Text that is not valid UTF-8 is sent with U+FFFD in place of the bad bytes.
std::optional<std::string> encodeXPCFrame(const XPCMessage& message);

// Decodes one frame body. On failure returns nullopt and, when `error` is given,
// says why.
std::optional<XPCMessage> decodeXPCMessage(std::string_view body, std::string* error = nullptr);

// Cuts a byte stream into messages. Owned by one reader; not thread-safe.
class XPCFrameReader {
public:
    enum class Status { needMore, message, malformed };

    // A frame announcing more than `maxFrameSize` bytes (at most kXPCMaxFrameSize) is
    // refused from its header, before its body is waited for.
    void setMaxFrameSize(std::size_t maxFrameSize);
    std::size_t maxFrameSize() const { return maxFrameSize_; }

    void append(const char* data, std::size_t size);
    // `message` on success; `malformed` (with `error` set) for an oversized or empty
    // frame or a body that does not decode. After `malformed` the stream is unusable.
    Status next(XPCMessage& message, std::string& error);
    std::size_t buffered() const { return buffer_.size() - offset_; }
    void reset();

private:
    std::string buffer_;
    std::size_t offset_ = 0;
    std::size_t maxFrameSize_ = kXPCMaxFrameSize;
    bool broken_ = false;
};

}  // namespace platform
