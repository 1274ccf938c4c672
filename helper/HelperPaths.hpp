#pragma once
// Where the helper reads and writes: the shared places of platform::KeychainPaths (root, product
// folder, helper log, trust store) and the helper's own. Production uses the machine's own
// folders; tests point the whole tree at a temporary root. A plain value.
//
// Environment (read by fromEnvironment(); the service manager's environment is root's own):
//   KIV_ROOT, KIV_CA_UPDATE_COMMAND   as platform::KeychainPaths
//   KIV_HELPER_RIGHTS        the rights database (default <root>/etc/kiv/kivhelper.rights)
//   KIV_RESOLVE_BUS          D-Bus address where systemd-resolved is asked (default: system bus)
#include <filesystem>
#include <optional>
#include <string>

#include "platform/keychain/KeychainPaths.hpp"

namespace helper {

struct HelperPaths : platform::KeychainPaths {
    std::filesystem::path rightsFile;  // empty: <root>/etc/kiv/kivhelper.rights
    std::optional<std::string> resolveBusAddress;

    std::filesystem::path configFile() const { return productFolder() / "config.ini"; }
    std::filesystem::path rightsDatabase() const {
        return rightsFile.empty() ? root / "etc/kiv/kivhelper.rights" : rightsFile;
    }

    static HelperPaths fromEnvironment();
};

}  // namespace helper
