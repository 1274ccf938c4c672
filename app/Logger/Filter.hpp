#pragma once
// Filters a destination may carry besides its minimum level. A filter looks at one text of a
// log call (source path, function or message), compares it with a list of strings or a
// predicate, and takes part in the destination's vote (FilterValidator, BaseDestination::accepts).
//
// Filters are fixed at construction and hold no lock; they are shared between the owner that
// built them and the destinations they were added to. A Custom predicate may run on any thread
// that logs.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Logger/Level.hpp"

namespace kiv {

struct ComparisonType {
    enum class Kind { StartsWith, Contains, Excludes, EndsWith, Equals, Custom };
    using Predicate = std::function<bool(const std::string&)>;

    Kind kind = Kind::Contains;
    std::vector<std::string> strings;  // unused by Custom
    bool caseSensitive = true;         // unused by Custom
    Predicate predicate;               // Custom only

    static ComparisonType make(Kind kind, std::vector<std::string> strings, bool caseSensitive);
    static ComparisonType custom(Predicate predicate);
};

// Which text of a call a filter inspects. Two targets are equal when their cases are; the
// comparisons they carry are not compared.
struct TargetType {
    enum class Kind { Path, Function, Message };

    Kind kind = Kind::Path;
    ComparisonType comparison;

    static TargetType Path(ComparisonType c) { return {Kind::Path, std::move(c)}; }
    static TargetType Function(ComparisonType c) { return {Kind::Function, std::move(c)}; }
    static TargetType Message(ComparisonType c) { return {Kind::Message, std::move(c)}; }

    friend bool operator==(const TargetType& a, const TargetType& b) { return a.kind == b.kind; }
};

// What the validator asks of a filter.
class FilterType {
public:
    virtual ~FilterType() = default;
    virtual bool matches(const std::optional<std::string>& value) const = 0;
    virtual TargetType target() const = 0;
    virtual bool isRequired() const = 0;
    virtual bool isExcluded() const = 0;
    virtual bool reachesMinLevel(LogFacilityLevel level) const = 0;
};

using FilterPtr = std::shared_ptr<const FilterType>;

class Filter : public FilterType {
public:
    Filter(TargetType target, bool required, LogFacilityLevel minLevel);

    TargetType target() const override { return targetType_; }
    bool isRequired() const override { return required_; }
    bool isExcluded() const override { return false; }
    bool reachesMinLevel(LogFacilityLevel level) const override { return isAtOrAbove(level, minLevel_); }
    bool matches(const std::optional<std::string>&) const override { return false; }

protected:
    const TargetType targetType_;
    const bool required_;
    const LogFacilityLevel minLevel_;
};

class CompareFilter final : public Filter {
public:
    CompareFilter(TargetType target, bool required, LogFacilityLevel minLevel);

    // Absent value: false. Otherwise true when the test holds for at least one string (so never
    // with no strings); without case sensitivity both sides are lower-cased (full Unicode) first.
    // Excludes holds as soon as one string is absent from the value.
    bool matches(const std::optional<std::string>& value) const override;
    bool isExcluded() const override;

    const std::optional<ComparisonType>& filterComparisonType() const { return filterComparisonType_; }

private:
    std::optional<ComparisonType> filterComparisonType_;
};

}  // namespace kiv
