#pragma once
// A program's bundle: the folder that holds its binary and its "Info.plist", a JSON
// object of the bundle's properties (identifier, display name, version, and for the
// DNS-proxy extension the "NetworkExtension" dictionary with "NEMachServiceName").
// The build writes Info.plist next to each deliverable (cmake/InfoPlist.cmake).
//
// The main bundle is the folder named by $KIV_MAIN_BUNDLE when set and not empty,
// else the folder of the running executable. A missing or unreadable Info.plist
// gives an empty dictionary. Values; copy freely; any thread.
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr const char* kMainBundleEnv = "KIV_MAIN_BUNDLE";

class Bundle {
public:
    // The bundle in folder `path`; nullopt when there is no such folder.
    static std::optional<Bundle> atPath(const std::filesystem::path& path);
    // Read again only when the folder it names changes.
    static Bundle main();
    // A bundle at `path` whose Info.plist holds `info` (an object; anything else counts as
    // empty), without touching the file system.
    static Bundle withInfoDictionary(std::filesystem::path path, nlohmann::json info);

    const std::filesystem::path& bundlePath() const { return path_; }
    // Always an object.
    const nlohmann::json& infoDictionary() const { return *info_; }
    // The Info.plist value for `key`; nullptr when absent.
    const nlohmann::json* objectForInfoDictionaryKey(std::string_view key) const;
    // The text under `key`; nullopt when absent or not text.
    std::optional<std::string> string(std::string_view key) const;

    std::optional<std::string> bundleIdentifier() const { return string("CFBundleIdentifier"); }
    std::optional<std::string> displayName() const { return string("CFBundleDisplayName"); }

private:
    Bundle(std::filesystem::path path, std::shared_ptr<const nlohmann::json> info)
        : path_(std::move(path)), info_(std::move(info)) {}
    static Bundle load(std::filesystem::path path);

    std::filesystem::path path_;
    std::shared_ptr<const nlohmann::json> info_;
};

}  // namespace platform
