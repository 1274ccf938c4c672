#include "platform/RunningApplications.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/FileDescriptor.hpp"

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

// The real user id from the "Uid:" line of the process's status (real, effective, saved, file
// system); none when the process is gone or the line is malformed. The line comes after the
// process name, which the kernel escapes, so a name cannot bring a line of its own.
std::optional<uid_t> realUserOf(int process) {
    const FileDescriptor file(::openat(process, "status", O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return std::nullopt;
    std::array<char, 4096> buffer;  // Uid: is within the first few hundred bytes
    std::size_t length = 0;
    while (length < buffer.size()) {
        const ssize_t got = ::read(file.get(), buffer.data() + length, buffer.size() - length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        length += static_cast<std::size_t>(got);
    }
    const std::string_view text(buffer.data(), length);
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

struct Instance {
    pid_t pid;
    // /proc/<pid>, opened before the checks: it names that process and no other, also once
    // the id is free again, and the kernel takes it for a process handle when signalling.
    FileDescriptor process;
};

std::vector<Instance> otherInstances() {
    std::vector<Instance> found;
    struct stat self {};
    // stat() follows the link to the executable file itself.
    if (::stat("/proc/self/exe", &self) != 0) return found;
    const pid_t me = ::getpid();
    const bool everyUser = ::geteuid() == 0;
    const uid_t uid = ::getuid();
    std::unique_ptr<DIR, DirectoryClose> proc(::opendir("/proc"));
    if (!proc) return found;
    while (const dirent* entry = ::readdir(proc.get())) {
        const auto pid = pidOf(entry->d_name);
        if (!pid || *pid == me) continue;
        FileDescriptor process(
            ::openat(::dirfd(proc.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (process.get() < 0) continue;
        if (!everyUser && realUserOf(process.get()) != uid) continue;
        struct stat executable {};
        if (::fstatat(process.get(), "exe", &executable, 0) != 0) continue;
        if (executable.st_dev == self.st_dev && executable.st_ino == self.st_ino)
            found.push_back(Instance{*pid, std::move(process)});
    }
    std::sort(found.begin(), found.end(), [](const Instance& a, const Instance& b) { return a.pid < b.pid; });
    return found;
}

bool signalProcess(int process, int signal) {
    return ::syscall(SYS_pidfd_send_signal, process, signal, nullptr, 0) == 0;
}

}  // namespace

std::vector<pid_t> otherInstancesOfThisProgram() {
    std::vector<pid_t> pids;
    for (const auto& instance : otherInstances()) pids.push_back(instance.pid);
    return pids;
}

bool terminateProcess(pid_t pid) { return pid > 0 && ::kill(pid, SIGINT) == 0; }

std::vector<pid_t> terminateOtherInstancesOfThisProgram() {
    std::vector<pid_t> asked;
    for (const auto& instance : otherInstances()) {
        if (signalProcess(instance.process.get(), SIGINT)) asked.push_back(instance.pid);
    }
    return asked;
}

}  // namespace platform
