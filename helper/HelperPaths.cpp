#include "helper/HelperPaths.hpp"

#include <cstdlib>

namespace helper {
namespace {

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

}  // namespace

HelperPaths HelperPaths::fromEnvironment() {
    HelperPaths paths;
    static_cast<platform::KeychainPaths&>(paths) = platform::KeychainPaths::fromEnvironment();
    if (auto rights = variable("KIV_HELPER_RIGHTS")) paths.rightsFile = *rights;
    paths.resolveBusAddress = variable("KIV_RESOLVE_BUS");
    return paths;
}

}  // namespace helper
