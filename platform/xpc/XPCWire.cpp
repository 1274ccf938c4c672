#include "platform/xpc/XPCWire.hpp"

#include <limits>
#include <nlohmann/json.hpp>

#include "platform/Base64.hpp"

namespace platform {
namespace {

using nlohmann::json;

json encodeValue(const XPCValue& value) {
    struct Visitor {
        json operator()(std::monostate) const { return {{"t", "null"}}; }
        json operator()(bool v) const { return {{"t", "bool"}, {"v", v}}; }
        json operator()(std::int64_t v) const { return {{"t", "int"}, {"v", v}}; }
        json operator()(const std::string& v) const { return {{"t", "text"}, {"v", v}}; }
        json operator()(const Bytes& v) const { return {{"t", "data"}, {"v", base64Encode(v)}}; }
        json operator()(const ErrorObject& v) const {
            return {{"t", "error"}, {"domain", v.domain}, {"code", v.code}, {"description", v.description}};
        }
        json operator()(const std::vector<std::string>& v) const { return {{"t", "texts"}, {"v", v}}; }
    };
    return std::visit(Visitor{}, value.storage);
}

json encodeArguments(const XPCArguments& arguments) {
    json out = json::array();
    for (const auto& a : arguments) out.push_back(encodeValue(a));
    return out;
}

// Reads a member that must be a string; nullptr when absent or of another type.
const std::string* stringMember(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return nullptr;
    return it->get_ptr<const std::string*>();
}

std::optional<std::int64_t> signedMember(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (it->is_number_integer() && !it->is_number_unsigned()) return it->get<std::int64_t>();
    if (it->is_number_unsigned()) {
        const auto u = it->get<std::uint64_t>();
        if (u <= std::uint64_t(std::numeric_limits<std::int64_t>::max())) return std::int64_t(u);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> idMember(const json& object) {
    auto it = object.find("id");
    if (it == object.end() || !it->is_number_unsigned()) return std::nullopt;
    return it->get<std::uint64_t>();
}

std::optional<XPCValue> decodeValue(const json& j, std::string& error) {
    if (!j.is_object()) {
        error = "an argument is not an object";
        return std::nullopt;
    }
    const std::string* tag = stringMember(j, "t");
    if (tag == nullptr) {
        error = "an argument has no type tag";
        return std::nullopt;
    }
    const auto v = j.find("v");
    const bool hasV = v != j.end();
    if (*tag == "null") return XPCValue{};
    if (*tag == "bool" && hasV && v->is_boolean()) return XPCValue{v->get<bool>()};
    if (*tag == "int") {
        if (auto n = signedMember(j, "v")) return XPCValue{*n};
    }
    if (*tag == "text" && hasV && v->is_string()) return XPCValue{v->get<std::string>()};
    if (*tag == "data" && hasV && v->is_string()) {
        if (auto bytes = base64Decode(v->get_ref<const std::string&>())) return XPCValue{std::move(*bytes)};
        error = "a data argument is not valid base64";
        return std::nullopt;
    }
    if (*tag == "error") {
        const std::string* domain = stringMember(j, "domain");
        const auto code = signedMember(j, "code");
        const std::string* description = stringMember(j, "description");
        if (domain != nullptr && code && description != nullptr) {
            return XPCValue{ErrorObject{*domain, *code, *description}};
        }
    }
    if (*tag == "texts" && hasV && v->is_array()) {
        std::vector<std::string> texts;
        texts.reserve(v->size());
        for (const auto& e : *v) {
            if (!e.is_string()) {
                error = "a text list holds a non-text element";
                return std::nullopt;
            }
            texts.push_back(e.get<std::string>());
        }
        return XPCValue{std::move(texts)};
    }
    error = "an argument of type \"" + *tag + "\" is unknown or malformed";
    return std::nullopt;
}

std::optional<XPCArguments> decodeArguments(const json& object, std::string& error) {
    auto it = object.find("args");
    if (it == object.end() || !it->is_array()) {
        error = "the message has no argument list";
        return std::nullopt;
    }
    XPCArguments out;
    out.reserve(it->size());
    for (const auto& a : *it) {
        auto value = decodeValue(a, error);
        if (!value) return std::nullopt;
        out.push_back(std::move(*value));
    }
    return out;
}

// Bytes that the arguments' payloads take in any encoding of them (their JSON
// punctuation and escapes come on top): a message above the cap is refused before
// the work and memory of building it.
std::size_t payloadLowerBound(const XPCArguments& arguments) {
    struct Visitor {
        std::size_t operator()(const std::string& v) const { return v.size(); }
        std::size_t operator()(const Bytes& v) const { return (v.size() + 2) / 3 * 4; }
        std::size_t operator()(const ErrorObject& v) const { return v.domain.size() + v.description.size(); }
        std::size_t operator()(const std::vector<std::string>& v) const {
            std::size_t n = 0;
            for (const auto& t : v) n += t.size();
            return n;
        }
        std::size_t operator()(std::monostate) const { return 0; }
        std::size_t operator()(bool) const { return 0; }
        std::size_t operator()(std::int64_t) const { return 0; }
    };
    std::size_t total = 0;
    for (const auto& a : arguments) total += std::visit(Visitor{}, a.storage);
    return total;
}

void putLength(std::string& frame, std::size_t size) {
    frame[0] = char((size >> 24) & 0xFF);
    frame[1] = char((size >> 16) & 0xFF);
    frame[2] = char((size >> 8) & 0xFF);
    frame[3] = char(size & 0xFF);
}

}  // namespace

std::optional<std::string> encodeXPCFrame(const XPCMessage& message) {
    json body;
    if (const auto* call = std::get_if<XPCCallMessage>(&message)) {
        if (call->selector.size() + payloadLowerBound(call->arguments) > kXPCMaxFrameSize)
            return std::nullopt;
        body = {{"kind", "call"}, {"selector", call->selector}, {"args", encodeArguments(call->arguments)}};
        if (call->replyId) body["id"] = *call->replyId;
    } else if (const auto* reply = std::get_if<XPCReplyMessage>(&message)) {
        if (payloadLowerBound(reply->arguments) > kXPCMaxFrameSize) return std::nullopt;
        body = {{"kind", "reply"}, {"id", reply->replyId}, {"args", encodeArguments(reply->arguments)}};
    } else {
        body = {{"kind", "abandon"}, {"id", std::get<XPCAbandonMessage>(message).replyId}};
    }
    const std::string text = body.dump(-1, ' ', false, json::error_handler_t::replace);
    if (text.size() > kXPCMaxFrameSize) return std::nullopt;
    std::string frame(kXPCFrameHeaderSize, '\0');
    putLength(frame, text.size());
    frame += text;
    return frame;
}

std::optional<XPCMessage> decodeXPCMessage(std::string_view body, std::string* errorOut) {
    std::string error;
    auto fail = [&](std::string why) -> std::optional<XPCMessage> {
        if (errorOut != nullptr) *errorOut = std::move(why);
        return std::nullopt;
    };
    // Depth is bounded by the frame size; the parser is iterative for arrays and
    // objects, so hostile nesting costs memory, not stack.
    json j = json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded()) return fail("the frame is not valid JSON");
    if (!j.is_object()) return fail("the frame is not a JSON object");
    const std::string* kind = stringMember(j, "kind");
    if (kind == nullptr) return fail("the message has no kind");
    if (*kind == "call") {
        const std::string* selector = stringMember(j, "selector");
        if (selector == nullptr || selector->empty()) return fail("the call has no selector");
        auto args = decodeArguments(j, error);
        if (!args) return fail(error);
        XPCCallMessage call{*selector, std::move(*args), std::nullopt};
        if (j.contains("id")) {
            call.replyId = idMember(j);
            if (!call.replyId) return fail("the call's reply id is not an unsigned integer");
        }
        return XPCMessage{std::move(call)};
    }
    if (*kind == "reply") {
        const auto id = idMember(j);
        if (!id) return fail("the reply has no valid id");
        auto args = decodeArguments(j, error);
        if (!args) return fail(error);
        return XPCMessage{XPCReplyMessage{*id, std::move(*args)}};
    }
    if (*kind == "abandon") {
        const auto id = idMember(j);
        if (!id) return fail("the abandon notice has no valid id");
        return XPCMessage{XPCAbandonMessage{*id}};
    }
    return fail("unknown message kind \"" + *kind + "\"");
}

void XPCFrameReader::append(const char* data, std::size_t size) {
    if (broken_) return;
    if (offset_ > 0 && offset_ >= buffer_.size() / 2) {
        buffer_.erase(0, offset_);
        offset_ = 0;
    }
    buffer_.append(data, size);
}

XPCFrameReader::Status XPCFrameReader::next(XPCMessage& message, std::string& error) {
    if (broken_) {
        error = "the stream is already broken";
        return Status::malformed;
    }
    const std::size_t available = buffer_.size() - offset_;
    if (available < kXPCFrameHeaderSize) return Status::needMore;
    const auto* p = reinterpret_cast<const unsigned char*>(buffer_.data() + offset_);
    const std::size_t length =
        (std::size_t(p[0]) << 24) | (std::size_t(p[1]) << 16) | (std::size_t(p[2]) << 8) | p[3];
    if (length == 0 || length > maxFrameSize_) {
        broken_ = true;
        error = length == 0 ? "empty frame"
                            : "frame of " + std::to_string(length) + " bytes exceeds the limit of " +
                                  std::to_string(maxFrameSize_);
        return Status::malformed;
    }
    if (available - kXPCFrameHeaderSize < length) return Status::needMore;
    const std::string_view body(buffer_.data() + offset_ + kXPCFrameHeaderSize, length);
    offset_ += kXPCFrameHeaderSize + length;
    auto decoded = decodeXPCMessage(body, &error);
    if (!decoded) {
        broken_ = true;
        return Status::malformed;
    }
    message = std::move(*decoded);
    if (offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    }
    return Status::message;
}

void XPCFrameReader::setMaxFrameSize(std::size_t maxFrameSize) {
    maxFrameSize_ = maxFrameSize < kXPCMaxFrameSize ? maxFrameSize : kXPCMaxFrameSize;
}

void XPCFrameReader::reset() {
    buffer_.clear();
    offset_ = 0;
    broken_ = false;
}

}  // namespace platform
