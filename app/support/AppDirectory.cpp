#include "app/support/AppDirectory.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace kiv {
namespace {

std::filesystem::path homeDirectory(std::error_code& error) {
    if (const char* home = std::getenv("HOME"); home && *home == '/') return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
    passwd entry{};
    passwd* found = nullptr;
    const int status = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (status == 0 && found && found->pw_dir && *found->pw_dir == '/') return found->pw_dir;
    error = std::error_code(status != 0 ? status : ENOENT, std::generic_category());
    return {};
}

// $variable when it holds an absolute path, else home + fallback.
std::filesystem::path xdgDirectory(const char* variable, const char* fallback, std::error_code& error) {
    error.clear();
    if (const char* value = std::getenv(variable); value && *value == '/') return value;
    std::filesystem::path home = homeDirectory(error);
    if (error) return {};
    return home / fallback;
}

}  // namespace

std::filesystem::path applicationSupportDirectory(std::error_code& error) {
    std::filesystem::path folder = xdgDirectory("XDG_DATA_HOME", ".local/share", error);
    if (error) return {};
    std::filesystem::create_directories(folder, error);
    if (!error && !std::filesystem::is_directory(folder, error) && !error) {
        error = std::make_error_code(std::errc::not_a_directory);
    }
    if (error) return {};
    return folder;
}

std::filesystem::path appDirectory(std::error_code& error) {
    std::filesystem::path support = applicationSupportDirectory(error);
    if (error) return {};
    return support / std::string(kApplicationFolderName);
}

std::filesystem::path cachesDirectory(std::error_code& error) {
    return xdgDirectory("XDG_CACHE_HOME", ".cache", error);
}

}  // namespace kiv
