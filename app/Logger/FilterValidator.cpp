#include "app/Logger/FilterValidator.hpp"

namespace kiv {

std::vector<FilterPtr> FilterValidator::select(ValidationType type, const std::vector<FilterPtr>& filters) {
    std::vector<FilterPtr> group;
    for (const FilterPtr& filter : filters) {
        const bool excluded = filter->isExcluded();
        const bool required = filter->isRequired();
        bool member = false;
        switch (type) {
            case ValidationType::excluded:
                member = excluded;
                break;
            case ValidationType::required:
                member = required && !excluded;
                break;
            case ValidationType::nonRequired:
                member = !required && !excluded;
                break;
        }
        if (member) group.push_back(filter);
    }
    return group;
}

std::map<FilterValidator::ValidationType, FilterValidator::Result> FilterValidator::evaluate(
    const std::vector<FilterPtr>& filters, LogFacilityLevel level, const std::string& path,
    const std::string& function, const std::optional<std::string>& message) {
    std::map<ValidationType, Result> results;
    for (ValidationType type : allValidationTypes) {
        const std::vector<FilterPtr> group = select(type, filters);
        Result result;
        if (group.empty()) {
            results[type] = result;
            continue;
        }
        Result::PartialMatchData counts;
        for (const FilterPtr& filter : group) {
            bool condition = false;
            switch (filter->target().kind) {
                case TargetType::Kind::Path:
                    condition = filter->matches(path);
                    break;
                case TargetType::Kind::Function:
                    condition = filter->matches(function);
                    break;
                case TargetType::Kind::Message:
                    condition = message && filter->matches(message);
                    break;
            }
            const bool levelHolds = filter->reachesMinLevel(level);
            if (condition && levelHolds) {
                ++counts.fullMatchCount;
            } else if (condition) {
                ++counts.conditionMatchCount;
            } else if (levelHolds) {
                ++counts.logLevelMatchCount;
            }
        }
        if (counts.fullMatchCount == static_cast<std::int64_t>(group.size())) {
            result.kind = Result::Kind::allFiltersMatch;
        } else {
            result.kind = Result::Kind::someFiltersMatch;
            result.data = counts;
        }
        results[type] = result;
    }
    return results;
}

}  // namespace kiv
