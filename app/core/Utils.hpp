#pragma once
// Where the application's files are, and the small file operations around them: the application
// folder with config.json and device.json, root's copies of them, the installer's files in the
// Caches folder; whether the process runs as root or from a command line; the owner fix for files
// that a run as root (started with sudo from a user's shell) creates for that user; reading the
// stored device configuration and its two test overrides.
//
// Paths (the home is platform/UserPaths': the account database's, or $KIV_HOME):
//   application folder     <Application Support>/BrannockCloud, mapped from root's home to the
//                          invoking user's home (see mapRootHomeToUser), created on every lookup
//   installer config file  <Caches>/config.json
//   installer param file   <Caches>/com.veltrix.kivConfig
//   root's files           <root's home>/.local/share/BrannockCloud/{config,device}.json
//
// No state; no operation throws. Failures give no value (or false) and print one line to standard
// output, not through the logger: these run before the logger has its folder. Threads: any.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "model/DeviceConfiguration.hpp"

namespace kiv {

class Settings;

class Utils {
public:
    static constexpr const char* kConfigFileName = "config.json";
    static constexpr const char* kDeviceFileName = "device.json";
    static constexpr const char* kInstallerParameterFileName = "com.veltrix.kivConfig";

    static std::optional<std::filesystem::path> configJSONPath();
    static std::optional<std::filesystem::path> deviceJSONPath();

    // The application folder, created (owner fixed when "PWD" is set), plus `fileName`. Prints
    // "failed to create directory at <reason>" and gives nothing when the folder cannot be made.
    static std::optional<std::filesystem::path> applicationFileURL(std::string_view fileName);

    // When "PWD" is set and `path` starts with root's home as whole components ("/root/x", not
    // "/rootbeer/x"), that prefix is replaced by userHomePath($PWD). Anything else is unchanged.
    static std::filesystem::path mapRootHomeToUser(const std::filesystem::path& path);

    // When "PWD" is set: chown `path` (never through a symbolic link) to the account named by the
    // last component of userHomePath($PWD), with that account's primary group. A failure prints
    // its reason alone. Without "PWD" nothing happens.
    static void setOwnerToInvokingUser(const std::filesystem::path& path);

    static std::optional<std::filesystem::path> installerConfigFilePath();
    static std::optional<std::filesystem::path> installerParameterFilePath();
    static std::optional<std::filesystem::path> rootConfigJSONPath();
    static std::optional<std::filesystem::path> rootDeviceJSONPath();

    // The installer parameter file's text; on any failure prints
    // "Log file doesnt exist at ~Library/Caches/config.json. Recreating".
    static std::optional<std::string> readInstallerParameterFile();
    // The installer parameter file applied to `settings` (parseParameters).
    static void getValuesFromInstaller(Settings& settings);

    // device.json decoded. A missing or unreadable file gives nothing silently; one that is no
    // configuration prints "device config doesnt exist at ~Library/Caches/config.json. Recreating".
    static std::optional<model::DeviceConfiguration> readDeviceConfiguration();

    // Prints "key <name> value <value>" for every environment variable; true when "SUDO_COMMAND"
    // or "PWD" is set.
    static bool isRunFromCommandLine();
    // The process runs with effective user id 0.
    static bool isRoot();

    // The stored configuration with its result's "cfg" replaced by the "TEST_DEVICE_CONFIG"
    // setting (JSON of a Configuration). Invalid JSON, no stored configuration or one without a
    // result: the stored configuration (or nothing) unchanged, silently.
    static std::optional<model::DeviceConfiguration> deviceConfigurationWithTestConfig(Settings& settings);
    // The whole configuration from the file named by "TEST_DEVICE_CONFIG_PATH"; a file that cannot
    // be read gives nothing silently, one that does not decode prints
    // "Failed to read JSON config for device config".
    static std::optional<model::DeviceConfiguration> readTestDeviceConfigFile(Settings& settings);

    // "file://" + the path, percent-encoded as a file URL's text form.
    static std::string fileURLText(const std::filesystem::path& path);
};

// The first three components of an absolute path ("/home/alice/Downloads" gives "/home/alice");
// a path of fewer components, or a relative one, is returned unchanged. Empty components ("//")
// do not count.
std::string userHomePath(std::string_view path);

// True when `text` is absent or empty.
bool isEmptyOrNil(const std::optional<std::string>& text);

}  // namespace kiv
