#include "platform/RunningApplications.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/AtomicFile.hpp"

namespace platform {
namespace {

struct DirectoryClose {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

std::optional<pid_t> pidOf(const char* name) {
    pid_t pid = 0;
    const char* end = name + std::strlen(name);
    const auto [rest, error] = std::from_chars(name, end, pid);
    if (error != std::errc() || rest != end || pid <= 0) return std::nullopt;
    return pid;
}

// The real user id from the "Uid:" line of /proc/<pid>/status (real, effective, saved, file
// system); none when the process is gone or the line is malformed.
std::optional<uid_t> realUserOf(const std::string& folder) {
    const FileRead status = readWholeFile(folder + "/status", 64 * 1024);
    if (status.status != FileRead::Status::read) return std::nullopt;
    const std::string_view text = status.content;
    const auto line = text.find("\nUid:");
    if (line == std::string_view::npos) return std::nullopt;
    const char* first = text.data() + line + 5;
    const char* end = text.data() + text.size();
    while (first < end && (*first == ' ' || *first == '\t')) ++first;
    uid_t uid = 0;
    const auto [rest, error] = std::from_chars(first, end, uid);
    if (error != std::errc() || rest == first) return std::nullopt;
    return uid;
}

}  // namespace

std::vector<pid_t> otherInstancesOfThisProgram() {
    std::vector<pid_t> found;
    struct stat self {};
    // stat() follows the link to the executable file itself.
    if (::stat("/proc/self/exe", &self) != 0) return found;
    const pid_t me = ::getpid();
    const uid_t uid = ::getuid();
    std::unique_ptr<DIR, DirectoryClose> proc(::opendir("/proc"));
    if (!proc) return found;
    while (const dirent* entry = ::readdir(proc.get())) {
        const auto pid = pidOf(entry->d_name);
        if (!pid || *pid == me) continue;
        const std::string folder = std::string("/proc/") + entry->d_name;
        if (realUserOf(folder) != uid) continue;
        struct stat executable {};
        if (::stat((folder + "/exe").c_str(), &executable) != 0) continue;
        if (executable.st_dev == self.st_dev && executable.st_ino == self.st_ino) found.push_back(*pid);
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool terminateProcess(pid_t pid) { return pid > 0 && ::kill(pid, SIGINT) == 0; }

}  // namespace platform
