#include "platform/keychain/KeychainPaths.hpp"

#include <cstdlib>

namespace platform {

KeychainPaths KeychainPaths::fromEnvironment() {
    KeychainPaths paths;
    const char* root = std::getenv("KIV_ROOT");
    if (root != nullptr && *root != '\0') paths.root = root;
    const char* command = std::getenv("KIV_CA_UPDATE_COMMAND");
    if (command != nullptr && *command != '\0') paths.caUpdateCommand = command;
    return paths;
}

}  // namespace platform
