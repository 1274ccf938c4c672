#include "app/Logger/Filter.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace kiv {
namespace {

std::string lowercased(const std::string& text) {
    std::string out;
    icu::UnicodeString::fromUTF8(text).toLower(icu::Locale::getRoot()).toUTF8String(out);
    return out;
}

bool startsWith(const std::string& value, const std::string& s) { return value.compare(0, s.size(), s) == 0; }

bool endsWith(const std::string& value, const std::string& s) {
    return value.size() >= s.size() && value.compare(value.size() - s.size(), s.size(), s) == 0;
}

bool contains(const std::string& value, const std::string& s) { return value.find(s) != std::string::npos; }

}  // namespace

ComparisonType ComparisonType::make(Kind kind, std::vector<std::string> strings, bool caseSensitive) {
    ComparisonType c;
    c.kind = kind;
    c.strings = std::move(strings);
    c.caseSensitive = caseSensitive;
    return c;
}

ComparisonType ComparisonType::custom(Predicate predicate) {
    ComparisonType c;
    c.kind = Kind::Custom;
    c.predicate = std::move(predicate);
    return c;
}

Filter::Filter(TargetType target, bool required, LogFacilityLevel minLevel)
    : targetType_(std::move(target)), required_(required), minLevel_(minLevel) {}

CompareFilter::CompareFilter(TargetType target, bool required, LogFacilityLevel minLevel)
    : Filter(std::move(target), required, minLevel), filterComparisonType_(targetType_.comparison) {}

bool CompareFilter::isExcluded() const {
    return filterComparisonType_ && filterComparisonType_->kind == ComparisonType::Kind::Excludes;
}

bool CompareFilter::matches(const std::optional<std::string>& value) const {
    if (!value || !filterComparisonType_) return false;
    const ComparisonType& comparison = *filterComparisonType_;
    using Kind = ComparisonType::Kind;
    if (comparison.kind == Kind::Custom) return comparison.predicate && comparison.predicate(*value);

    const std::string subject = comparison.caseSensitive ? *value : lowercased(*value);
    for (const std::string& raw : comparison.strings) {
        const std::string s = comparison.caseSensitive ? raw : lowercased(raw);
        bool holds = false;
        switch (comparison.kind) {
            case Kind::StartsWith:
                holds = startsWith(subject, s);
                break;
            case Kind::Contains:
                holds = contains(subject, s);
                break;
            case Kind::Excludes:
                holds = !contains(subject, s);
                break;
            case Kind::EndsWith:
                holds = endsWith(subject, s);
                break;
            case Kind::Equals:
                holds = subject == s;
                break;
            case Kind::Custom:
                break;
        }
        if (holds) return true;
    }
    return false;
}

}  // namespace kiv
