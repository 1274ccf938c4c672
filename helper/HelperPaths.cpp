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
    if (auto root = variable("KIV_ROOT")) paths.root = *root;
    if (auto rights = variable("KIV_HELPER_RIGHTS")) paths.rightsFile = *rights;
    if (auto command = variable("KIV_CA_UPDATE_COMMAND")) paths.caUpdateCommand = *command;
    paths.resolveBusAddress = variable("KIV_RESOLVE_BUS");
    return paths;
}

}  // namespace helper
