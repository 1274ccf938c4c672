#include "dnscodec/DNSLabelEncoder.hpp"

#include <cstring>

namespace dnscodec {

std::optional<Bytes> DNSLabelEncoder::encode(const std::optional<std::string>& name) {
    Bytes out;
    if (!append(name, out)) return std::nullopt;
    return out;
}

bool DNSLabelEncoder::append(const std::optional<std::string>& name, Bytes& out) {
    if (!name) {
        out.push_back(0);
        return true;
    }
    return append(std::string_view(*name), out);
}

bool DNSLabelEncoder::append(std::string_view name, Bytes& out) {
    if (name == ".") {
        out.push_back(0);
        return true;
    }
    // Every dot becomes a length byte and one more precedes the first component, so a
    // valid name is exactly two bytes longer on the wire.
    if (name.size() + 2 > kMaxNameLength) return false;
    const size_t start = out.size();
    out.resize(start + name.size() + 2);
    uint8_t* at = out.data() + start;
    size_t from = 0;
    while (true) {
        size_t dot = name.find('.', from);
        if (dot == std::string_view::npos) dot = name.size();
        const size_t length = dot - from;
        if (length == 0 || length > kMaxLabelLength) {
            out.resize(start);
            return false;
        }
        *at++ = static_cast<uint8_t>(length);
        std::memcpy(at, name.data() + from, length);
        at += length;
        if (dot == name.size()) break;
        from = dot + 1;
    }
    *at = 0;
    return true;
}

}  // namespace dnscodec
