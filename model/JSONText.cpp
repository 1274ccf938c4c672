#include "model/JSONText.hpp"

#include <cmath>
#include <vector>

namespace model {

namespace {

// Builds a JSONValue from the parser's events, like the library's own DOM builder, but refuses
// nesting beyond kMaxJSONNesting and non-finite numbers. The library's parser is iterative, so
// with this builder no input can make the parse recurse.
// Its implicit constructor makes a null value: the library throws there only for other kinds.
// NOLINTNEXTLINE(bugprone-exception-escape)
class BoundedDocumentBuilder {
public:
    using json = JSONValue;

    bool null() { return place(json(nullptr)); }
    bool boolean(bool value) { return place(json(value)); }
    bool number_integer(json::number_integer_t value) { return place(json(value)); }
    bool number_unsigned(json::number_unsigned_t value) { return place(json(value)); }
    bool number_float(json::number_float_t value, const json::string_t& text) {
        if (!std::isfinite(value)) return refuse("number out of range: " + text);
        return place(json(value));
    }
    bool string(json::string_t& value) { return place(json(std::move(value))); }
    bool binary(json::binary_t&) { return refuse("binary values are not JSON"); }

    bool start_object(std::size_t) { return open(json::value_t::object); }
    bool key(json::string_t& name) {
        // A repeated key replaces the earlier member, as the library's own builder does.
        member_ = &(*stack_.back())[name];
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(json::value_t::array); }
    bool end_array() { return close(); }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        return refuse(error.what());
    }

    json takeRoot() { return std::move(root_); }
    const std::string& problem() const { return problem_; }

private:
    bool refuse(std::string why) {
        if (problem_.empty()) problem_ = std::move(why);
        return false;
    }

    json* placeRaw(json&& value) {
        if (stack_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        json& parent = *stack_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        *member_ = std::move(value);
        return member_;
    }

    bool place(json&& value) {
        placeRaw(std::move(value));
        return true;
    }

    bool open(json::value_t type) {
        if (stack_.size() >= static_cast<std::size_t>(kMaxJSONNesting)) {
            return refuse("nesting deeper than " + std::to_string(kMaxJSONNesting) + " levels");
        }
        stack_.push_back(placeRaw(json(type)));
        return true;
    }

    bool close() {
        stack_.pop_back();
        return true;
    }

    json root_;
    std::vector<json*> stack_;
    json* member_ = nullptr;
    std::string problem_;
};

JSONValue sortedCopy(const OrderedJSONValue& value) {
    // Recursion is bounded: every document written here comes from encoders that cap nesting.
    switch (value.type()) {
        case OrderedJSONValue::value_t::object: {
            JSONValue object(JSONValue::value_t::object);
            for (const auto& [key, member] : value.items()) object[key] = sortedCopy(member);
            return object;
        }
        case OrderedJSONValue::value_t::array: {
            JSONValue array(JSONValue::value_t::array);
            array.get_ref<JSONValue::array_t&>().reserve(value.size());
            for (const auto& element : value) array.push_back(sortedCopy(element));
            return array;
        }
        case OrderedJSONValue::value_t::string:
            return JSONValue(value.get_ref<const std::string&>());
        case OrderedJSONValue::value_t::boolean:
            return JSONValue(value.get<bool>());
        case OrderedJSONValue::value_t::number_integer:
            return JSONValue(value.get<std::int64_t>());
        case OrderedJSONValue::value_t::number_unsigned:
            return JSONValue(value.get<std::uint64_t>());
        case OrderedJSONValue::value_t::number_float:
            return JSONValue(value.get<double>());
        default:
            return JSONValue(nullptr);
    }
}

}  // namespace

bool isValidUTF8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int length = 0;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) low = 0xA0;   // no overlong forms
            if (c == 0xED) high = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) low = 0x90;   // no overlong forms
            if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        } else {
            return false;
        }
        if (end - p < length) return false;
        if (p[1] < low || p[1] > high) return false;
        for (int i = 2; i < length; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF) return false;
        }
        p += length;
    }
    return true;
}

bool isRepresentable(std::string_view text, TextEncoding encoding) {
    switch (encoding) {
        case TextEncoding::utf8:
            return isValidUTF8(text);
        case TextEncoding::ascii:
            for (char c : text) {
                if (static_cast<unsigned char>(c) >= 0x80) return false;
            }
            return true;
    }
    return false;
}

Expected<JSONValue, CodingError> parseJSON(std::string_view bytes) {
    // The library's lexer takes a NUL byte for the end of input and would ignore what follows;
    // JSON allows no raw NUL anywhere, so refuse it outright.
    if (bytes.find('\0') != std::string_view::npos) {
        return unexpected(CodingError(CodingError::Kind::dataCorrupted, {},
                                      "The given data was not valid JSON.", {}, "NUL byte in the text"));
    }
    BoundedDocumentBuilder builder;
    bool complete = false;
    std::string failure;
    try {
        complete = JSONValue::sax_parse(bytes.data(), bytes.data() + bytes.size(), &builder,
                                        nlohmann::json::input_format_t::json, /*strict=*/true,
                                        /*ignore_comments=*/false);
        failure = builder.problem();
    } catch (const std::exception& error) {
        complete = false;
        failure = error.what();
    }
    if (!complete) {
        return unexpected(CodingError(CodingError::Kind::dataCorrupted, {},
                                      "The given data was not valid JSON.", {},
                                      failure.empty() ? "incomplete JSON text" : failure));
    }
    return builder.takeRoot();
}

std::string serializeJSON(const OrderedJSONValue& document, bool sortedKeys) {
    constexpr auto replace = nlohmann::json::error_handler_t::replace;
    if (sortedKeys) return sortedCopy(document).dump(-1, ' ', false, replace);
    return document.dump(-1, ' ', false, replace);
}

void appendUniqueMember(OrderedJSONValue& object, std::string key, OrderedJSONValue value) {
    if (!object.is_object()) object = OrderedJSONValue(OrderedJSONValue::value_t::object);
    auto& members = object.get_ref<OrderedJSONValue::object_t&>();
    static_cast<OrderedJSONValue::object_t::Container&>(members).emplace_back(std::move(key),
                                                                              std::move(value));
}

}  // namespace model
