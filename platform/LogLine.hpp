#pragma once
// How SystemLog and nsLog spell a record as text; kept apart so that tests can check
// the layout with a fixed time.
#include <ctime>
#include <string>
#include <string_view>

#include "platform/Clock.hpp"
#include "platform/SystemLog.hpp"

namespace platform {

// "2026-12-09 04:41:09.123" from a broken-down local time and its milliseconds.
std::string formatLogTime(const std::tm& local, int milliseconds);
// The same for a wall-clock instant, in the local time zone.
std::string formatLogTime(Clock::TimePoint when);
// "<subsystem> [<category>] <type>: <message>"; the message is copied unchanged.
std::string formatLogBody(std::string_view subsystem, std::string_view category, LogType type,
                          std::string_view message);

}  // namespace platform
