#include "platform/UserPaths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform {

std::optional<std::filesystem::path> userHomeDirectory() {
    if (const char* home = std::getenv(kHomeOverrideVariable); home && *home == '/') return home;
    const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int status = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (status == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status == EINTR) continue;
        if (status != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
            return std::nullopt;
        }
        return std::filesystem::path(found->pw_dir);
    }
}

namespace {

std::optional<std::filesystem::path> underHome(const char* relative) {
    auto home = userHomeDirectory();
    if (!home) return std::nullopt;
    return *home / relative;
}

}  // namespace

std::optional<std::filesystem::path> applicationSupportDirectory() { return underHome(".local/share"); }
std::optional<std::filesystem::path> cachesDirectory() { return underHome(".cache"); }
std::optional<std::filesystem::path> preferencesDirectory() { return underHome(".config/kiv"); }

}  // namespace platform
