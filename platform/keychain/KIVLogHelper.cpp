#include "platform/keychain/KIVLogHelper.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/NoDestructor.hpp"
#include "platform/keychain/KeychainPaths.hpp"

namespace platform {
namespace {

void createEmpty(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Moves the log open on `fd` to "<log>.bak" and puts an empty log in its place, when the log is
// still the file at `path` and larger than the limit. Every writer of every process opens the
// log by its name for each line, so the name must always lead to a file: the old log is linked
// to the backup's name first, then a new file replaces it in one rename. Rotations are serialised
// by a lock on the old log; one that waited for another finds the name leading elsewhere and
// stops. A writer that opened the old log just before still writes into it, that is the backup.
void rotate(const std::filesystem::path& path, int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return;
    }
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) != 0 || ::lstat(path.c_str(), &named) != 0 || !sameFile(held, named) ||
        !S_ISREG(held.st_mode) || static_cast<std::uintmax_t>(held.st_size) <= kLogRotationSize) {
        return;
    }
    const std::filesystem::path backup = path.string() + ".bak";
    const std::filesystem::path fresh = path.string() + ".new";
    ::unlink(fresh.c_str());  // left by a rotation that was cut short
    const int made =
        ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, held.st_mode & 0777);
    if (made < 0) return;
    ::close(made);
    ::unlink(backup.c_str());
    if (::link(path.c_str(), backup.c_str()) != 0) {
        // A file system without hard links: the name is missing for a moment, a line may be lost.
        if (::rename(path.c_str(), backup.c_str()) != 0) {
            ::unlink(fresh.c_str());
            return;
        }
    }
    if (::rename(fresh.c_str(), path.c_str()) != 0) ::unlink(fresh.c_str());
}

}  // namespace

KIVLogHelper::KIVLogHelper(std::filesystem::path path) : path_(std::move(path)) { manageLogfile(path_); }

KIVLogHelper& KIVLogHelper::sharedInstance() {
    // Never destroyed: other threads may log while the process ends.
    static platform::NoDestructor<KIVLogHelper> instance{KeychainPaths::fromEnvironment().logFile()};
    return *instance;
}

void KIVLogHelper::manageLogfile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) createEmpty(path);
        return;
    }
    rotate(path, fd);
    ::close(fd);
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
    const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    // One write: with O_APPEND the kernel places the whole line at the end.
    const ssize_t written = ::write(fd, line.data(), line.size());
    // The end of the file after our line: past the limit, the log is rotated now, not at the
    // next start, so the log folder never holds much more than twice the limit.
    struct stat st {};
    if (written > 0 && ::fstat(fd, &st) == 0 && static_cast<std::uintmax_t>(st.st_size) > kLogRotationSize) {
        rotate(path_, fd);
    }
    ::close(fd);
}

}  // namespace platform
