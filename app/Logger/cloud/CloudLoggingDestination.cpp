#include "app/Logger/cloud/CloudLoggingDestination.hpp"

#include <nlohmann/json.hpp>

#include "app/Logger/StandardOutput.hpp"

namespace kiv {

CloudLoggingDestination::CloudLoggingDestination(std::string serviceName, DestinationEnvironment environment)
    : BaseDestination(std::move(environment)), serviceName_(std::move(serviceName)) {
    BaseDestination::asynchronously = false;
}

const char* CloudLoggingDestination::severity(LogFacilityLevel level) {
    switch (level) {
        case LogFacilityLevel::verbose:
        case LogFacilityLevel::debug:
            return "DEBUG";
        case LogFacilityLevel::info:
            return "INFO";
        case LogFacilityLevel::warning:
            return "WARNING";
        case LogFacilityLevel::error:
            break;
    }
    return "ERROR";
}

std::string CloudLoggingDestination::fallbackEntry(const std::string& file, const std::string& function,
                                                   int line) {
    return "{\"context\":{\"reportLocation\":{\"filePath\": \"" + file + "\",\"functionName\":\"" + function +
           "\",\"lineNumber\":" + std::to_string(line) +
           "}},\"severity\":\"CRITICAL\",\"message\":\"Error encoding JSON log entry. You may be losing log "
           "messages!\"}";
}

std::optional<std::string> CloudLoggingDestination::send(LogFacilityLevel level, const std::string& message,
                                                         const std::string& /*thread*/,
                                                         const std::string& file, const std::string& function,
                                                         int line, const std::optional<LogContext>& context) {
    nlohmann::json contextObject = {
        {"reportLocation", {{"filePath", file}, {"lineNumber", line}, {"functionName", function}}},
    };
    if (context && context->is_object()) {
        if (const auto it = context->find("httpRequest"); it != context->end() && it->is_object()) {
            contextObject["httpRequest"] = *it;
        }
        if (const auto it = context->find("user"); it != context->end() && it->is_string()) {
            contextObject["user"] = *it;
        }
    }
    const nlohmann::json entry = {
        {"serviceContext", {{"service", serviceName_}}},
        {"message", message},
        {"severity", severity(level)},
        {"context", std::move(contextObject)},
    };
    std::string text;
    try {
        text = entry.dump();  // strict: text that is not UTF-8 fails here
    } catch (const std::exception&) {
        text = fallbackEntry(file, function, line);
    }
    printLine(text);
    return text;
}

}  // namespace kiv
