#include <dirent.h>
#include <fcntl.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <memory>

#include "platform/FileDescriptor.hpp"
#include "platform/net/RunningProcessNames.hpp"

namespace platform {
namespace {

constexpr std::size_t kMaxRead = 4096;

// Up to kMaxRead bytes of a small proc file; "" when it cannot be read.
std::string readHead(int directory, const char* name) {
    FileDescriptor fd(::openat(directory, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) return {};
    std::array<char, kMaxRead> buffer;
    ssize_t got;
    do {
        got = ::read(fd.get(), buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    return got > 0 ? std::string(buffer.data(), static_cast<std::size_t>(got)) : std::string();
}

bool isNumber(const char* text) {
    if (!*text) return false;
    for (; *text; ++text) {
        if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> runningProcessNames(const std::string& procRoot) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir(procRoot.c_str()), ::closedir);
    if (!proc) return names;
    while (const dirent* entry = ::readdir(proc.get())) {
        if (!isNumber(entry->d_name)) continue;
        FileDescriptor process(
            ::openat(::dirfd(proc.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (process.get() < 0) continue;
        std::string comm = readHead(process.get(), "comm");
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        std::string command = readHead(process.get(), "cmdline");
        command = command.substr(0, command.find('\0'));
        if (!comm.empty()) names.push_back(comm);
        if (!command.empty() && command != comm) names.push_back(std::move(command));
    }
    return names;
}

}  // namespace platform
