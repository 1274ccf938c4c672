#pragma once
// Where the helper reads and writes. Production uses the machine's own folders; tests point
// the whole tree at a temporary root. A plain value.
//
// Environment (read by fromEnvironment(); the service manager's environment is root's own):
//   KIV_ROOT                 folder standing for "/" (default "/")
//   KIV_HELPER_RIGHTS        the rights database (default <root>/etc/kiv/kivhelper.rights)
//   KIV_CA_UPDATE_COMMAND    absolute path of the trust-store update program
//                            (default /usr/sbin/update-ca-certificates)
//   KIV_RESOLVE_BUS          D-Bus address where systemd-resolved is asked (default: system bus)
#include <filesystem>
#include <optional>
#include <string>

namespace helper {

struct HelperPaths {
    std::filesystem::path root = "/";
    std::filesystem::path rightsFile;  // empty: <root>/etc/kiv/kivhelper.rights
    std::filesystem::path caUpdateCommand = "/usr/sbin/update-ca-certificates";
    std::optional<std::string> resolveBusAddress;

    // The product folder (config.ini, kivHelper.log, downloaded certificates).
    std::filesystem::path productFolder() const { return root / "var/lib/kiv"; }
    std::filesystem::path configFile() const { return productFolder() / "config.ini"; }
    std::filesystem::path logFile() const { return productFolder() / "kivHelper.log"; }
    // Local certificate authorities that the trust-store update adds to the system bundle.
    std::filesystem::path caFolder() const { return root / "usr/local/share/ca-certificates"; }
    std::filesystem::path rightsDatabase() const {
        return rightsFile.empty() ? root / "etc/kiv/kivhelper.rights" : rightsFile;
    }

    static HelperPaths fromEnvironment();
};

}  // namespace helper
