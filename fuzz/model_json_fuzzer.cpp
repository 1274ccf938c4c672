// libFuzzer target for the model's JSON readers: the device configuration (as stored and as the
// device server sends it), the registration reply (also stored as config.json), the "cfg" object and a single
// forwarding rule, and the two generic values JSONAny and AnyJSONValue. Whatever decodes must encode, its
// text must decode again to an equal value (where the type defines equality) and write the very same text
// again, since the application decides "configuration changed" by comparing such texts. Aborts on any
// difference.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz/FuzzCheck.hpp"
#include "model/AnyJSONValue.hpp"
#include "model/Configuration.hpp"
#include "model/DeviceConfiguration.hpp"
#include "model/ForwardingRule.hpp"
#include "model/JSONAny.hpp"
#include "model/JSONCoder.hpp"
#include "model/MainConfiguration.hpp"

using namespace model;
using fuzz::check;
using fuzz::isASCII;
using fuzz::mismatch;

namespace {

// JSONAnyValue defines no equality of its own; this is the one its documentation implies:
// same kind, same value, arrays in order, objects by key.
bool sameValue(const JSONAnyValue& a, const JSONAnyValue& b) {
    if (a.kind.index() != b.kind.index()) return false;
    if (const auto* left = a.get<JSONAnyArray>()) {
        const auto& right = *b.get<JSONAnyArray>();
        if (left->size() != right.size()) return false;
        for (std::size_t i = 0; i < left->size(); ++i) {
            if (!sameValue((*left)[i], right[i])) return false;
        }
        return true;
    }
    if (const auto* left = a.get<JSONAnyObject>()) {
        const auto& right = *b.get<JSONAnyObject>();
        if (left->size() != right.size()) return false;
        for (auto l = left->begin(), r = right.begin(); l != left->end(); ++l, ++r) {
            if (l->first != r->first || !sameValue(l->second, r->second)) return false;
        }
        return true;
    }
    if (const auto* left = a.get<double>()) return *left == *b.get<double>();
    if (const auto* left = a.get<std::int64_t>()) return *left == *b.get<std::int64_t>();
    if (const auto* left = a.get<bool>()) return *left == *b.get<bool>();
    if (const auto* left = a.get<std::string>()) return *left == *b.get<std::string>();
    return true;  // both null
}

// Every object's keys strictly ascending in byte order, at every depth (recursion is bounded by
// the parser's nesting cap).
bool keysAscending(const OrderedJSONValue& value) {
    if (value.is_object()) {
        const std::string* previous = nullptr;
        for (const auto& [key, member] : value.items()) {
            if (previous != nullptr && !(*previous < key)) return false;
            previous = &key;
            if (!keysAscending(member)) return false;
        }
    } else if (value.is_array()) {
        for (const auto& element : value) {
            if (!keysAscending(element)) return false;
        }
    }
    return true;
}

// The configuration writers' text: sorted keys and compact, i.e. exactly the library's own
// compact rendering of the same document in the same member order.
void checkCanonical(const std::string& text) {
    OrderedJSONValue document;
    try {
        document = OrderedJSONValue::parse(text);
    } catch (const std::exception&) {
        mismatch("written text is not JSON");
    }
    check(keysAscending(document), "written keys are not sorted");
    check(document.dump() == text, "written text is not compact");
}

// The stored form of a device configuration: jsonString / fromJSONString.
void deviceConfiguration(std::string_view text) {
    auto decoded = DeviceConfiguration::fromJSONString(text, TextEncoding::utf8);
    if (!isValidUTF8(text)) {
        check(!decoded && decoded.error() == ErrorValue::jsonReaderError(), "invalid UTF-8 read");
        return;
    }
    if (!decoded) {
        check(decoded.error().domain == "NSCocoaErrorDomain", "decoder error of an unexpected domain");
        return;
    }
    auto written = decoded->jsonString(TextEncoding::utf8);
    check(written.has_value(), "decoded configuration does not encode");
    check(written->has_value(), "decoded configuration has no UTF-8 text");
    const std::string& first = **written;
    checkCanonical(first);

    auto again = DeviceConfiguration::fromJSONString(first, TextEncoding::utf8);
    check(again.has_value(), "written configuration does not read back");
    check(*again == *decoded, "configuration read back is not equal");
    auto rewritten = again->jsonString(TextEncoding::utf8);
    check(rewritten && rewritten->has_value() && **rewritten == first, "configuration text is not stable");

    // Only the text encoding differs: ASCII text has a text exactly when it is ASCII.
    auto ascii = decoded->jsonString(TextEncoding::ascii);
    check(ascii.has_value(), "ASCII write failed");
    check(ascii->has_value() == isASCII(first), "ASCII write disagrees with the text");
    if (ascii->has_value()) check(**ascii == first, "ASCII text differs");
    auto asciiRead = DeviceConfiguration::fromJSONString(text, TextEncoding::ascii);
    if (isASCII(text)) {
        check(asciiRead.has_value(), "ASCII read of ASCII text failed");
    } else {
        check(!asciiRead && asciiRead.error() == ErrorValue::jsonReaderError(), "ASCII read of non-ASCII");
    }
}

// A type read and written through the generic coder entry points: the sorted text of the
// decoded value must read back and be written again unchanged. The decoded value and the one
// read back, when the text decodes at all.
template <class T>
std::optional<std::pair<T, T>> sortedTextRoundTrip(std::string_view text) {
    auto decoded = JSONDecoder{}.decode<T>(text);
    if (!decoded) return std::nullopt;
    const JSONEncoder encoder{.sortedKeys = true, .dateEncodingStrategy = DateEncodingStrategy::iso8601};
    auto first = encoder.encode(*decoded);
    check(first.has_value(), "decoded value does not encode");
    auto again = JSONDecoder{}.decode<T>(*first);
    check(again.has_value(), "written value does not read back");
    auto second = encoder.encode(*again);
    check(second && *second == *first, "written text is not stable");
    return std::pair<T, T>(std::move(*decoded), std::move(*again));
}

// The registration reply, as the transport reads it and as config.json is read back.
void mainConfiguration(std::string_view text) {
    auto decoded = MainConfiguration::fromJSONString(text, TextEncoding::utf8);
    if (!decoded) return;
    auto written = decoded->jsonString(TextEncoding::utf8);
    check(written && written->has_value(), "decoded reply has no text");
    checkCanonical(**written);
    auto again = MainConfiguration::fromJSONString(**written, TextEncoding::utf8);
    check(again.has_value(), "written reply does not read back");
    check(*again == *decoded, "reply read back is not equal");
    auto rewritten = again->jsonString(TextEncoding::utf8);
    check(rewritten && rewritten->has_value() && **rewritten == **written, "reply text is not stable");
}

void configuration(std::string_view text) {
    auto viaReader = Configuration::fromJSONString(text, TextEncoding::utf8);
    auto decoded = sortedTextRoundTrip<Configuration>(text);
    if (isValidUTF8(text)) check(viaReader.has_value() == decoded.has_value(), "cfg readers disagree");
    if (decoded && decoded->first.runtime) {
        check(decoded->second.runtime && *decoded->first.runtime == *decoded->second.runtime,
              "runtime read back is not equal");
    }
}

void forwardingRule(std::string_view text) {
    auto decoded = sortedTextRoundTrip<ForwardingRule>(text);
    if (!decoded) return;
    const auto& [rule, again] = *decoded;
    check(rule.domain == again.domain && rule.resolvers == again.resolvers && rule.rule == again.rule,
          "forwarding rule read back differs");
    auto written = rule.jsonString(TextEncoding::utf8);
    check(written && written->has_value(), "forwarding rule has no text");
}

void jsonAny(std::string_view text) {
    auto decoded = JSONDecoder{}.decode<JSONAny>(text);
    if (!decoded) {
        // Only text that is not JSON (or nests too deep) can fail: every JSON value has a kind.
        check(decoded.error().kind() == CodingError::Kind::dataCorrupted, "JSONAny refused JSON");
        return;
    }
    for (bool sorted : {false, true}) {
        JSONEncoder encoder{.sortedKeys = sorted};
        auto first = encoder.encode(*decoded);
        check(first.has_value(), "JSONAny does not encode");
        auto again = JSONDecoder{}.decode<JSONAny>(*first);
        check(again.has_value(), "JSONAny text does not read back");
        check(sameValue(decoded->value(), again->value()), "JSONAny read back differs");
        auto second = encoder.encode(*again);
        check(second && *second == *first, "JSONAny text is not stable");
        if (sorted) checkCanonical(*first);
    }
}

void anyJSONValue(std::string_view text) {
    auto decoded = JSONDecoder{}.decode<AnyJSONValue>(text);
    if (!decoded) return;
    auto first = JSONEncoder{.sortedKeys = true}.encode(*decoded);
    check(first.has_value(), "AnyJSONValue does not encode");
    auto again = JSONDecoder{}.decode<AnyJSONValue>(*first);
    check(again.has_value(), "AnyJSONValue text does not read back");
    check(*again == *decoded, "AnyJSONValue read back is not equal");
    auto second = JSONEncoder{.sortedKeys = true}.encode(*again);
    check(second && *second == *first, "AnyJSONValue text is not stable");
    (void)decoded->description();
    (void)decoded->debugDescription();
    (void)decoded->asStringList();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    deviceConfiguration(text);
    mainConfiguration(text);
    configuration(text);
    forwardingRule(text);
    jsonAny(text);
    anyJSONValue(text);
    return 0;
}
