#include "app/core/Utils.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "app/Logger/StandardOutput.hpp"
#include "app/core/ParameterParser.hpp"
#include "app/core/Settings.hpp"
#include "app/support/AppDirectory.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/UserPaths.hpp"

extern char** environ;

namespace kiv {
namespace {

constexpr std::size_t kMaxParameterFileBytes = 1u << 20;
constexpr std::size_t kMaxDeviceFileBytes = 16u << 20;

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
};

// One account database entry, by uid or by name; errno-style status in `status` (0 and no
// account: there is no such entry).
template <class Lookup>
std::optional<Account> findAccount(Lookup lookup, int& status) {
    const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        status = lookup(&entry, buffer, &found);
        if (status == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status == EINTR) continue;
        if (status != 0 || found == nullptr) return std::nullopt;
        return Account{found->pw_uid, found->pw_gid, found->pw_dir ? found->pw_dir : ""};
    }
}

std::optional<Account> accountByUid(uid_t uid, int& status) {
    return findAccount(
        [uid](passwd* entry, std::vector<char>& buffer, passwd** found) {
            return ::getpwuid_r(uid, entry, buffer.data(), buffer.size(), found);
        },
        status);
}

std::optional<Account> accountByName(const std::string& name, int& status) {
    return findAccount(
        [&name](passwd* entry, std::vector<char>& buffer, passwd** found) {
            return ::getpwnam_r(name.c_str(), entry, buffer.data(), buffer.size(), found);
        },
        status);
}

// Root's home as the account database gives it, without trailing slashes; nothing when it is
// not an absolute path below "/" (mapping "/" would rewrite every path).
std::optional<std::string> rootHome() {
    int status = 0;
    auto root = accountByUid(0, status);
    if (!root) return std::nullopt;
    std::string home = root->home;
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (home.size() < 2 || home.front() != '/') return std::nullopt;
    return home;
}

std::vector<std::string_view> pathComponents(std::string_view path) {
    std::vector<std::string_view> components;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) components.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

std::string lastPathComponent(std::string_view path) {
    const auto components = pathComponents(path);
    return components.empty() ? std::string(path.empty() ? "" : "/") : std::string(components.back());
}

std::optional<std::filesystem::path> rootApplicationFolder() {
    auto home = rootHome();
    if (!home) return std::nullopt;
    return std::filesystem::path(*home) / ".local/share" / std::string(kApplicationFolderName);
}

}  // namespace

std::string userHomePath(std::string_view path) {
    if (path.empty() || path.front() != '/') return std::string(path);
    const auto components = pathComponents(path);
    // "/" counts as the first component of an absolute path.
    if (components.size() + 1 < 4) return std::string(path);
    return "/" + std::string(components[0]) + "/" + std::string(components[1]);
}

bool isEmptyOrNil(const std::optional<std::string>& text) { return !text || text->empty(); }

std::optional<std::filesystem::path> Utils::configJSONPath() { return applicationFileURL(kConfigFileName); }

std::optional<std::filesystem::path> Utils::deviceJSONPath() { return applicationFileURL(kDeviceFileName); }

std::optional<std::filesystem::path> Utils::applicationFileURL(std::string_view fileName) {
    auto support = platform::applicationSupportDirectory();
    if (!support) {
        printLine("failed to create directory at Application Support: the account has no home folder");
        return std::nullopt;
    }
    const std::filesystem::path folder = mapRootHomeToUser(*support) / std::string(kApplicationFolderName);
    // The folders about to be made, innermost first: a root run that makes the user's
    // ~/.local/share must not leave it to root.
    std::vector<std::filesystem::path> made;
    std::error_code error;
    for (std::filesystem::path missing = folder;
         !missing.empty() && missing != missing.root_path() &&
         std::filesystem::symlink_status(missing, error).type() == std::filesystem::file_type::not_found;
         missing = missing.parent_path()) {
        made.push_back(missing);
    }
    error.clear();
    std::filesystem::create_directories(folder, error);
    if (!error && !std::filesystem::is_directory(folder, error) && !error) {
        error = std::make_error_code(std::errc::not_a_directory);
    }
    if (error) {
        printLine("failed to create directory at " + folder.string() + ": " + error.message());
        return std::nullopt;
    }
    if (made.empty() || made.front() != folder) made.insert(made.begin(), folder);
    for (auto created = made.rbegin(); created != made.rend(); ++created) setOwnerToInvokingUser(*created);
    return folder / std::string(fileName);
}

std::filesystem::path Utils::mapRootHomeToUser(const std::filesystem::path& path) {
    const auto pwd = environmentValue("PWD");
    if (!pwd) return path;
    const auto root = rootHome();
    if (!root) return path;
    const std::string& text = path.native();
    const bool underRoot = text.compare(0, root->size(), *root) == 0 &&
                           (text.size() == root->size() || text[root->size()] == '/');
    if (!underRoot) return path;
    std::string home = userHomePath(*pwd);
    while (!home.empty() && home.back() == '/') home.pop_back();
    return std::filesystem::path(home + text.substr(root->size()));
}

void Utils::setOwnerToInvokingUser(const std::filesystem::path& path) {
    const auto pwd = environmentValue("PWD");
    if (!pwd) return;
    const std::string name = lastPathComponent(userHomePath(*pwd));
    int status = 0;
    const auto account = accountByName(name, status);
    if (!account) {
        printLine(path.string() + ": cannot look up the account \"" + name +
                  "\": " + (status != 0 ? std::generic_category().message(status) : "no such account"));
        return;
    }
    if (::fchownat(AT_FDCWD, path.c_str(), account->uid, account->gid, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        printLine(path.string() + ": cannot give it to \"" + name +
                  "\": " + std::generic_category().message(error));
    }
}

std::optional<std::filesystem::path> Utils::installerConfigFilePath() {
    auto caches = platform::cachesDirectory();
    if (!caches) return std::nullopt;
    return *caches / kConfigFileName;
}

std::optional<std::filesystem::path> Utils::installerParameterFilePath() {
    auto caches = platform::cachesDirectory();
    if (!caches) return std::nullopt;
    return *caches / kInstallerParameterFileName;
}

std::optional<std::filesystem::path> Utils::rootConfigJSONPath() {
    auto folder = rootApplicationFolder();
    if (!folder) return std::nullopt;
    return *folder / kConfigFileName;
}

std::optional<std::filesystem::path> Utils::rootDeviceJSONPath() {
    auto folder = rootApplicationFolder();
    if (!folder) return std::nullopt;
    return *folder / kDeviceFileName;
}

std::optional<std::string> Utils::readInstallerParameterFile() {
    if (auto path = installerParameterFilePath()) {
        platform::FileRead read = platform::readWholeFile(*path, kMaxParameterFileBytes);
        if (read.status == platform::FileRead::Status::read) return std::move(read.content);
    }
    printLine("Log file doesnt exist at ~Library/Caches/config.json. Recreating");
    return std::nullopt;
}

void Utils::getValuesFromInstaller(Settings& settings) {
    if (auto text = readInstallerParameterFile()) parseParameters(*text, settings);
}

std::optional<model::DeviceConfiguration> Utils::readDeviceConfiguration() {
    auto path = deviceJSONPath();
    if (!path) return std::nullopt;
    const platform::FileRead read = platform::readWholeFile(*path, kMaxDeviceFileBytes);
    if (read.status != platform::FileRead::Status::read) return std::nullopt;
    auto decoded = model::DeviceConfiguration::fromJSONString(read.content, model::TextEncoding::utf8);
    if (!decoded) {
        printLine("device config doesnt exist at ~Library/Caches/config.json. Recreating");
        return std::nullopt;
    }
    return std::move(decoded).value();
}

bool Utils::isRunFromCommandLine() {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        const std::size_t equals = variable.find('=');
        const std::string_view name = variable.substr(0, equals);
        const std::string_view value = equals == std::string_view::npos ? "" : variable.substr(equals + 1);
        printLine("key " + std::string(name) + " value " + std::string(value));
    }
    return std::getenv("SUDO_COMMAND") != nullptr || std::getenv("PWD") != nullptr;
}

bool Utils::isRoot() { return ::geteuid() == 0; }

std::optional<model::DeviceConfiguration> Utils::deviceConfigurationWithTestConfig(Settings& settings) {
    auto configuration = readDeviceConfiguration();
    const auto text = settings.userDefaults()->stringForKey(
        std::string(rawValue(XNCServerInfoSection::testDeviceInputConfig)));
    if (!text) return configuration;
    auto decoded = model::Configuration::fromJSONString(*text, model::TextEncoding::utf8);
    if (!decoded) return configuration;
    if (configuration && configuration->result) configuration->result->cfg = std::move(decoded).value();
    return configuration;
}

std::optional<model::DeviceConfiguration> Utils::readTestDeviceConfigFile(Settings& settings) {
    const auto path = settings.userDefaults()->stringForKey(
        std::string(rawValue(XNCServerInfoSection::testDeviceConfigPath)));
    if (!path) return std::nullopt;
    const platform::FileRead read = platform::readWholeFile(*path, kMaxDeviceFileBytes);
    if (read.status != platform::FileRead::Status::read) return std::nullopt;
    auto decoded = model::DeviceConfiguration::fromJSONString(read.content, model::TextEncoding::utf8);
    if (!decoded) {
        printLine("Failed to read JSON config for device config");
        return std::nullopt;
    }
    return std::move(decoded).value();
}

std::string Utils::fileURLText(const std::filesystem::path& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text = "file://";
    for (const unsigned char c : path.native()) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           std::strchr("-._~!$&'()*+,;=:@/", c) != nullptr;
        if (plain && c != '\0') {
            text += static_cast<char>(c);
        } else {
            text += '%';
            text += kHex[c >> 4];
            text += kHex[c & 0x0F];
        }
    }
    return text;
}

}  // namespace kiv
