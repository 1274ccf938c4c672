#include "app/support/AppDirectory.hpp"

#include <string>

#include "platform/UserPaths.hpp"

namespace kiv {
namespace {

// The folder, or ENOENT when the account has no home.
std::filesystem::path found(const std::optional<std::filesystem::path>& folder, std::error_code& error) {
    error.clear();
    if (folder) return *folder;
    error = std::make_error_code(std::errc::no_such_file_or_directory);
    return {};
}

}  // namespace

std::filesystem::path applicationSupportDirectory(std::error_code& error) {
    std::filesystem::path folder = found(platform::applicationSupportDirectory(), error);
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
    return found(platform::cachesDirectory(), error);
}

}  // namespace kiv
