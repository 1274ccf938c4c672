#include "platform/LogLine.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace platform {

std::string formatLogTime(const std::tm& local, int milliseconds) {
    std::array<char, 64> buffer{};
    const int n = std::snprintf(buffer.data(), buffer.size(), "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                local.tm_min, local.tm_sec, milliseconds);
    if (n < 0) return {};
    return std::string(buffer.data(), std::min<std::size_t>(static_cast<std::size_t>(n), buffer.size() - 1));
}

std::string formatLogTime(Clock::TimePoint when) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(when);
    const auto millis = duration_cast<milliseconds>(when - seconds).count();
    const std::time_t t = static_cast<std::time_t>(seconds.time_since_epoch().count());
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) gmtime_r(&t, &local);
    return formatLogTime(local, static_cast<int>(millis));
}

std::string formatLogBody(std::string_view subsystem, std::string_view category, LogType type,
                          std::string_view message) {
    const std::string_view typeName = logTypeName(type);
    std::string body;
    body.reserve(subsystem.size() + category.size() + typeName.size() + message.size() + 8);
    body.append(subsystem).append(" [").append(category).append("] ").append(typeName).append(": ");
    body.append(message);
    return body;
}

}  // namespace platform
