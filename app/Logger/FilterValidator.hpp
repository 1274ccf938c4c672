#pragma once
// The three-group vote over a destination's filters: exclusion filters, required filters and the
// others. BaseDestination::accepts reads the three results in that order.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/Logger/Filter.hpp"

namespace kiv {

struct FilterValidator {
    enum class ValidationType { excluded, required, nonRequired };
    static constexpr ValidationType allValidationTypes[] = {
        ValidationType::excluded, ValidationType::required, ValidationType::nonRequired};

    struct Result {
        enum class Kind { someFiltersMatch, allFiltersMatch, noFiltersMatchingType };
        struct PartialMatchData {
            std::int64_t fullMatchCount = 0;       // condition and level hold
            std::int64_t conditionMatchCount = 0;  // condition holds, level does not
            std::int64_t logLevelMatchCount = 0;   // level holds, condition does not
            friend bool operator==(const PartialMatchData&, const PartialMatchData&) = default;
        };
        Kind kind = Kind::noFiltersMatchingType;
        PartialMatchData data;  // someFiltersMatch only
        friend bool operator==(const Result&, const Result&) = default;
    };

    // The filters of one group, order kept.
    static std::vector<FilterPtr> select(ValidationType type, const std::vector<FilterPtr>& filters);

    // A result for each of the three groups (all three keys are always present).
    static std::map<ValidationType, Result> evaluate(const std::vector<FilterPtr>& filters,
                                                     LogFacilityLevel level, const std::string& path,
                                                     const std::string& function,
                                                     const std::optional<std::string>& message);
};

}  // namespace kiv
