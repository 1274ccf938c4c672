#include "app/Logger/LogContext.hpp"

namespace kiv {

std::string describeContext(const LogContext& context) {
    if (context.is_string()) return context.get<std::string>();
    // Invalid UTF-8 inside must not stop a log line; it is shown replaced.
    return context.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace kiv
