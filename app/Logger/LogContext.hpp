#pragma once
// The optional context value a log call may carry. A destination renders it with $X (its text,
// trimmed) and puts it whole into a JSON entry.
#include <nlohmann/json.hpp>
#include <string>

namespace kiv {

using LogContext = nlohmann::json;

// The text a context value renders as: a string is its own text, anything else its compact JSON.
std::string describeContext(const LogContext& context);

}  // namespace kiv
