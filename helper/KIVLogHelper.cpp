#include "helper/KIVLogHelper.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "helper/HelperPaths.hpp"
#include "platform/NoDestructor.hpp"

namespace helper {
namespace {

void createEmpty(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
}

}  // namespace

KIVLogHelper::KIVLogHelper(std::filesystem::path path) : path_(std::move(path)) { manageLogfile(path_); }

KIVLogHelper& KIVLogHelper::sharedInstance() {
    // Never destroyed: other threads may log while the process ends.
    static platform::NoDestructor<KIVLogHelper> instance{HelperPaths::fromEnvironment().logFile()};
    return *instance;
}

void KIVLogHelper::manageLogfile(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) createEmpty(path);
        return;
    }
    if (!S_ISREG(st.st_mode) || static_cast<std::uintmax_t>(st.st_size) <= kLogRotationSize) return;
    const std::filesystem::path backup = path.string() + ".bak";
    ::unlink(backup.c_str());
    if (::rename(path.c_str(), backup.c_str()) == 0) createEmpty(path);
}

std::string KIVLogHelper::formatLine(const std::string& message) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char date[64];
    const std::size_t n = std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    char stamp[80];
    std::snprintf(stamp, sizeof stamp, "%.*s.%03d", static_cast<int>(n), date, static_cast<int>(millis));
    // One message, one line: a caller's text cannot forge lines of its own.
    std::string flat = message;
    for (char& c : flat) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return "[" + std::string(stamp) + "] " + flat + "\n";
}

void KIVLogHelper::log(const std::string& message) const {
    const std::string line = formatLine(message);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    // One write: with O_APPEND the kernel places the whole line at the end.
    [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
    ::close(fd);
}

}  // namespace helper
