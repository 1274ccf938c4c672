#pragma once
// Domain names to wire form, uncompressed: one length byte and the bytes of each
// dot-separated component, then a zero byte. "." and an absent name are the root.
//
// A name is refused (absent result, nothing appended) when it has an empty component
// (leading, trailing or doubled dot, or the empty string), a component longer than
// 191 bytes (the decoder's largest label), or a wire form longer than 255 bytes.
// Component bytes are written as they are, whatever their value.
#include <optional>
#include <string>
#include <string_view>

#include "dnscodec/Bytes.hpp"

namespace dnscodec {

class DNSLabelEncoder {
public:
    static constexpr size_t kMaxLabelLength = 191;
    static constexpr size_t kMaxNameLength = 255;  // wire octets, root byte included

    static std::optional<Bytes> encode(const std::optional<std::string>& name);
    // Appends the wire form to `out`; false (out unchanged) when the name is refused.
    static bool append(const std::optional<std::string>& name, Bytes& out);
    static bool append(std::string_view name, Bytes& out);
};

}  // namespace dnscodec
