#pragma once
// Where the application's system extensions are installed, in search order:
//   1. $KIV_EXTENSION_PATH: one folder holding an extension's binary and its Info.plist (the
//      build tree's dnsproxy folder, a test's folder);
//   2. <prefix>/libexec/kiv, where <prefix> is the parent of the running program's folder
//      (<prefix>/bin/brannockcloud finds <prefix>/libexec/kiv/kivdnsproxy);
//   3. the running program's own folder.
// An extension folder is one whose Info.plist names a CFBundleIdentifier and a
// CFBundleExecutable that exists there as a regular file. Any thread.
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/Bundle.hpp"
#include "platform/sysext/OSSystemExtension.hpp"

namespace platform {

inline constexpr const char* kExtensionPathEnv = "KIV_EXTENSION_PATH";

std::vector<std::filesystem::path> systemExtensionFolders();
// The extension bundles found in those folders, in search order.
std::vector<Bundle> systemExtensionBundles();
// The first extension bundle whose identifier is `identifier`, in `folders` (by default the
// folders above): never another program's bundle found on the way, such as the application's own.
std::optional<Bundle> systemExtensionBundle(std::string_view identifier);
std::optional<Bundle> systemExtensionBundle(std::string_view identifier,
                                            const std::vector<std::filesystem::path>& folders);
// The properties of an extension bundle; nullopt when it is none (see above).
std::optional<OSSystemExtensionProperties> extensionProperties(const Bundle& bundle);
// The first extension with `identifier`.
std::optional<OSSystemExtensionProperties> findSystemExtension(std::string_view identifier);

}  // namespace platform
