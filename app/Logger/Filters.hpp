#pragma once
// Factories of filters, one class per target: Filters::path::contains({"Network"}, false, true,
// LogFacilityLevel::debug) builds a required, case-insensitive path filter.
#include <string>
#include <vector>

#include "app/Logger/Filter.hpp"

namespace kiv {

namespace detail {
template <TargetType (*MakeTarget)(ComparisonType)>
struct FilterFactory {
    using Strings = std::vector<std::string>;
    static FilterPtr startsWith(Strings strings, bool caseSensitive = true, bool required = false,
                                LogFacilityLevel minLevel = LogFacilityLevel::verbose) {
        return build(ComparisonType::Kind::StartsWith, std::move(strings), caseSensitive, required, minLevel);
    }
    static FilterPtr contains(Strings strings, bool caseSensitive = true, bool required = false,
                              LogFacilityLevel minLevel = LogFacilityLevel::verbose) {
        return build(ComparisonType::Kind::Contains, std::move(strings), caseSensitive, required, minLevel);
    }
    static FilterPtr excludes(Strings strings, bool caseSensitive = true, bool required = false,
                              LogFacilityLevel minLevel = LogFacilityLevel::verbose) {
        return build(ComparisonType::Kind::Excludes, std::move(strings), caseSensitive, required, minLevel);
    }
    static FilterPtr endsWith(Strings strings, bool caseSensitive = true, bool required = false,
                              LogFacilityLevel minLevel = LogFacilityLevel::verbose) {
        return build(ComparisonType::Kind::EndsWith, std::move(strings), caseSensitive, required, minLevel);
    }
    static FilterPtr equals(Strings strings, bool caseSensitive = true, bool required = false,
                            LogFacilityLevel minLevel = LogFacilityLevel::verbose) {
        return build(ComparisonType::Kind::Equals, std::move(strings), caseSensitive, required, minLevel);
    }
    static FilterPtr custom(bool required, LogFacilityLevel minLevel, ComparisonType::Predicate predicate) {
        return std::make_shared<CompareFilter>(MakeTarget(ComparisonType::custom(std::move(predicate))),
                                               required, minLevel);
    }

private:
    static FilterPtr build(ComparisonType::Kind kind, Strings strings, bool caseSensitive, bool required,
                           LogFacilityLevel minLevel) {
        return std::make_shared<CompareFilter>(
            MakeTarget(ComparisonType::make(kind, std::move(strings), caseSensitive)), required, minLevel);
    }
};
}  // namespace detail

using PathFilterFactory = detail::FilterFactory<&TargetType::Path>;
using FunctionFilterFactory = detail::FilterFactory<&TargetType::Function>;
using MessageFilterFactory = detail::FilterFactory<&TargetType::Message>;

struct Filters {
    using path = PathFilterFactory;
    using function = FunctionFilterFactory;
    using message = MessageFilterFactory;
};

}  // namespace kiv
