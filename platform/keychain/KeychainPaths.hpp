#pragma once
// Where the trust store and the product folder are, for the helper and the application alike.
// Production uses the machine's own folders; tests point them at a temporary root. A plain value.
//
// Environment (read by fromEnvironment()):
//   KIV_ROOT                 folder standing for "/" (default "/")
//   KIV_CA_UPDATE_COMMAND    absolute path of the trust-store update program
//                            (default /usr/sbin/update-ca-certificates)
#include <filesystem>

namespace platform {

struct KeychainPaths {
    std::filesystem::path root = "/";
    std::filesystem::path caUpdateCommand = "/usr/sbin/update-ca-certificates";

    // The product folder (config.ini, kivHelper.log, downloaded certificates).
    std::filesystem::path productFolder() const { return root / "var/lib/kiv"; }
    // The helper log, which the application's certificate installation appends to as well.
    std::filesystem::path logFile() const { return productFolder() / "kivHelper.log"; }
    // Local certificate authorities that the trust-store update adds to the system bundle.
    std::filesystem::path caFolder() const { return root / "usr/local/share/ca-certificates"; }

    static KeychainPaths fromEnvironment();
};

}  // namespace platform
