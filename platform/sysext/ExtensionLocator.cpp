#include "platform/sysext/ExtensionLocator.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <system_error>

namespace platform {
namespace {

std::optional<std::filesystem::path> programFolder() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    return program.parent_path();
}

}  // namespace

std::vector<std::filesystem::path> systemExtensionFolders() {
    std::vector<std::filesystem::path> folders;
    if (const char* path = std::getenv(kExtensionPathEnv); path && *path) folders.emplace_back(path);
    if (const auto folder = programFolder()) {
        folders.push_back(folder->parent_path() / "libexec" / "kiv");
        folders.push_back(*folder);
    }
    return folders;
}

std::optional<OSSystemExtensionProperties> extensionProperties(const Bundle& bundle) {
    const auto identifier = bundle.bundleIdentifier();
    const auto executable = bundle.string("CFBundleExecutable");
    if (!identifier || identifier->empty() || !executable || executable->empty()) return std::nullopt;
    // A name, not a path: the binary must be the one in this folder.
    if (executable->find('/') != std::string::npos) return std::nullopt;
    const std::filesystem::path binary = bundle.bundlePath() / *executable;
    struct stat info {};
    if (::stat(binary.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return OSSystemExtensionProperties{*identifier, bundle.string("CFBundleVersion").value_or(""),
                                       bundle.string("CFBundleShortVersionString").value_or(""),
                                       bundle.bundlePath(), binary};
}

std::vector<Bundle> systemExtensionBundles() {
    std::vector<Bundle> bundles;
    for (const auto& folder : systemExtensionFolders()) {
        auto bundle = Bundle::atPath(folder);
        if (bundle && extensionProperties(*bundle)) bundles.push_back(std::move(*bundle));
    }
    return bundles;
}

std::optional<Bundle> systemExtensionBundle(std::string_view identifier) {
    return systemExtensionBundle(identifier, systemExtensionFolders());
}

std::optional<Bundle> systemExtensionBundle(std::string_view identifier,
                                            const std::vector<std::filesystem::path>& folders) {
    for (const auto& folder : folders) {
        auto bundle = Bundle::atPath(folder);
        if (!bundle || !extensionProperties(*bundle)) continue;
        if (bundle->bundleIdentifier() == identifier) return bundle;
    }
    return std::nullopt;
}

std::optional<OSSystemExtensionProperties> findSystemExtension(std::string_view identifier) {
    for (const auto& bundle : systemExtensionBundles()) {
        auto properties = extensionProperties(bundle);
        if (properties && properties->bundleIdentifier == identifier) return properties;
    }
    return std::nullopt;
}

}  // namespace platform
