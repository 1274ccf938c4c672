#pragma once
// The five levels of the logging facility. Every at-or-above comparison of the facility
// (destinations, filters) compares raw values.
#include <optional>

namespace kiv {

enum class LogFacilityLevel : int { verbose = 0, debug = 1, info = 2, warning = 3, error = 4 };

// No level for a raw value outside 0...4.
constexpr std::optional<LogFacilityLevel> logFacilityLevelFromRawValue(int raw) {
    if (raw < 0 || raw > 4) return std::nullopt;
    return static_cast<LogFacilityLevel>(raw);
}

constexpr int rawValue(LogFacilityLevel level) { return static_cast<int>(level); }

// True when `level` is at or above `minimum`.
constexpr bool isAtOrAbove(LogFacilityLevel level, LogFacilityLevel minimum) {
    return rawValue(level) >= rawValue(minimum);
}

// The member of a per-level table (a struct with members verbose, debug, info, warning and
// error) that belongs to `level`.
template <class PerLevel>
constexpr const auto& levelMember(const PerLevel& table, LogFacilityLevel level) {
    switch (level) {
        case LogFacilityLevel::verbose:
            return table.verbose;
        case LogFacilityLevel::debug:
            return table.debug;
        case LogFacilityLevel::info:
            return table.info;
        case LogFacilityLevel::warning:
            return table.warning;
        case LogFacilityLevel::error:
            break;
    }
    return table.error;
}

}  // namespace kiv
