#include "model/AnyJSONValue.hpp"

#include <cxxabi.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace model {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
// Spelled out for compilers without deduction for aggregates (clang before 17).
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// Seconds between the Unix epoch and 2001-01-01T00:00:00Z, the platform's reference date.
constexpr std::int64_t kReferenceDateOffset = 978307200;

template <class Number>
std::string shortestText(Number value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    std::array<char, 64> buffer{};
    std::to_chars_result written{};
    if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0) {
        written =
            std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
        std::string text(buffer.data(), written.ptr);
        return text + ".0";
    }
    written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), written.ptr);
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

struct CivilTime {
    int year;
    unsigned month, day;
    long long hours, minutes, seconds;
};

CivilTime civil(AnyJSONValue::Date date) {
    using namespace std::chrono;
    auto whole = floor<seconds>(date);
    auto dayPoint = floor<days>(whole);
    year_month_day ymd{dayPoint};
    hh_mm_ss time{whole - dayPoint};
    return CivilTime{static_cast<int>(ymd.year()),     static_cast<unsigned>(ymd.month()),
                     static_cast<unsigned>(ymd.day()), time.hours().count(),
                     time.minutes().count(),           time.seconds().count()};
}

std::string formatDate(AnyJSONValue::Date date, const char* format) {
    CivilTime t = civil(date);
    std::array<char, 64> buffer{};
    std::snprintf(buffer.data(), buffer.size(), format, t.year, t.month, t.day, t.hours, t.minutes,
                  t.seconds);
    return buffer.data();
}

std::string typeNameOf(const std::any& value) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(value.type().name(), nullptr, nullptr, &status), std::free);
    return status == 0 && name ? name.get() : value.type().name();
}

// The value as it appears inside a list or dictionary description: text quoted.
std::string debugForm(const AnyJSONValue& value) {
    if (const std::string* text = value.asString()) return quoted(*text);
    return value.description();
}

}  // namespace

AnyJSONValue AnyJSONValue::dictionary(std::initializer_list<std::pair<std::string, AnyJSONValue>> pairs) {
    Dictionary entries;
    for (const auto& [key, value] : pairs) entries.emplace(key, value);  // keeps the first of a repeated key
    return AnyJSONValue(std::move(entries));
}

std::optional<std::vector<std::string>> AnyJSONValue::asStringList() const {
    const List* list = get<List>();
    if (list == nullptr) return std::nullopt;
    std::vector<std::string> texts;
    texts.reserve(list->size());
    for (const AnyJSONValue& element : *list) {
        const std::string* text = element.asString();
        if (text == nullptr) return std::nullopt;
        texts.push_back(*text);
    }
    return texts;
}

AnyJSONValue AnyJSONValue::decode(const Decoder& decoder) {
    const JSONValue& json = decoder.value();
    switch (json.type()) {
        case JSONValue::value_t::null:
            return AnyJSONValue();
        case JSONValue::value_t::boolean:
            return AnyJSONValue(json.get<bool>());
        case JSONValue::value_t::number_integer:
            return of(json.get<std::int64_t>());
        case JSONValue::value_t::number_unsigned: {
            auto magnitude = json.get<std::uint64_t>();
            if (magnitude <= static_cast<std::uint64_t>(INT64_MAX))
                return of(static_cast<std::int64_t>(magnitude));
            return of(magnitude);
        }
        case JSONValue::value_t::number_float:
            return of(json.get<double>());
        case JSONValue::value_t::string:
            return of(json.get<std::string>());
        case JSONValue::value_t::array: {
            decoder.checkNesting("AnyJSONValue");
            List elements;
            elements.reserve(json.size());
            decoder.forEachElement([&](const Decoder& element) { elements.push_back(decode(element)); });
            return AnyJSONValue(std::move(elements));
        }
        case JSONValue::value_t::object: {
            decoder.checkNesting("AnyJSONValue");
            Dictionary members;
            decoder.keyedContainer().forEachMember([&](const std::string& key, const Decoder& member) {
                members.insert_or_assign(key, decode(member));
            });
            return AnyJSONValue(std::move(members));
        }
        default:
            decoder.fail(CodingError::Kind::dataCorrupted, "AnyJSONValue value cannot be decoded");
    }
}

OrderedJSONValue AnyJSONValue::encode(const Encoder& encoder) const {
    return std::visit(
        Overloaded{
            [](const Empty&) { return OrderedJSONValue(nullptr); },
            [](bool value) { return OrderedJSONValue(value); },
            [](std::int8_t value) { return OrderedJSONValue(static_cast<std::int64_t>(value)); },
            [](std::int16_t value) { return OrderedJSONValue(static_cast<std::int64_t>(value)); },
            [](std::int32_t value) { return OrderedJSONValue(static_cast<std::int64_t>(value)); },
            [](std::int64_t value) { return OrderedJSONValue(value); },
            [](std::uint8_t value) { return OrderedJSONValue(static_cast<std::uint64_t>(value)); },
            [](std::uint16_t value) { return OrderedJSONValue(static_cast<std::uint64_t>(value)); },
            [](std::uint32_t value) { return OrderedJSONValue(static_cast<std::uint64_t>(value)); },
            [](std::uint64_t value) { return OrderedJSONValue(value); },
            [&](float value) {
                if (!std::isfinite(value)) return encoder.encodeDouble(static_cast<double>(value));
                // Written with the float's own shortest digits (0.1f as 0.1, not 0.10000000149011612).
                std::array<char, 32> buffer{};
                auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
                double widened = 0;
                std::from_chars(buffer.data(), written.ptr, widened);
                return OrderedJSONValue(widened);
            },
            [&](double value) { return encoder.encodeDouble(value); },
            [](const std::string& value) { return OrderedJSONValue(value); },
            [&](const Date& value) {
                if (encoder.dateEncodingStrategy() == DateEncodingStrategy::iso8601) {
                    return OrderedJSONValue(formatDate(value, "%04d-%02u-%02uT%02lld:%02lld:%02lldZ"));
                }
                std::chrono::duration<double> sinceUnixEpoch = value.time_since_epoch();
                return encoder.encodeDouble(sinceUnixEpoch.count() -
                                            static_cast<double>(kReferenceDateOffset));
            },
            [](const URL& value) { return OrderedJSONValue(value.absoluteString); },
            [&](const List& value) {
                encoder.checkNesting("AnyJSONValue");
                return encoder.encodeElements(
                    value, [](const Encoder& at, const AnyJSONValue& element) { return element.encode(at); });
            },
            [&](const Dictionary& value) {
                encoder.checkNesting("AnyJSONValue");
                KeyedEncoder members(encoder);
                for (const auto& [key, element] : value) members.encode(key, element);
                return std::move(members).take();
            },
            [&](const Other&) -> OrderedJSONValue {
                encoder.failInvalidValue("AnyJSONValue value cannot be encoded");
            },
        },
        value_);
}

bool AnyJSONValue::operator==(const AnyJSONValue& other) const {
    if (value_.index() != other.value_.index()) return false;
    return std::visit(
        [&](const auto& left) -> bool {
            using T = std::decay_t<decltype(left)>;
            const T& right = std::get<T>(other.value_);
            if constexpr (std::is_same_v<T, Other>) {
                return false;
            } else if constexpr (std::is_same_v<T, Dictionary>) {
                if (left.size() != right.size()) return false;
                for (const auto& [key, value] : left) {
                    auto found = right.find(key);
                    if (found == right.end() || !(found->second == value)) return false;
                }
                return true;
            } else {
                return left == right;  // lists compare element by element through this operator
            }
        },
        value_);
}

std::string AnyJSONValue::description() const {
    return std::visit(
        Overloaded{
            [](const Empty&) -> std::string { return "nil"; },
            [](bool value) -> std::string { return value ? "true" : "false"; },
            [](float value) { return shortestText(value); },
            [](double value) { return shortestText(value); },
            [](const std::string& value) { return value; },
            [](const Date& value) { return formatDate(value, "%04d-%02u-%02u %02lld:%02lld:%02lld +0000"); },
            [](const URL& value) { return value.absoluteString; },
            [](const List& value) {
                std::string text = "[";
                for (std::size_t i = 0; i < value.size(); ++i) text += (i ? ", " : "") + debugForm(value[i]);
                return text + "]";
            },
            [](const Dictionary& value) -> std::string {
                if (value.empty()) return "[:]";
                std::string text = "[";
                bool first = true;
                for (const auto& [key, element] : value) {
                    text += (first ? "" : ", ") + quoted(key) + ": " + debugForm(element);
                    first = false;
                }
                return text + "]";
            },
            [](const Other& value) { return "<" + typeNameOf(value.value) + ">"; },
            [](auto integer) { return std::to_string(integer); },
        },
        value_);
}

std::string AnyJSONValue::debugDescription() const { return "AnyJSONValue(" + debugForm(*this) + ")"; }

}  // namespace model
