#include "platform/dbus/Workspace.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Reactor.hpp"
#include "platform/SystemLog.hpp"

extern char** environ;

namespace platform {
namespace {

const SystemLog& workspaceLog() {
    static const SystemLog log("com.veltrix.kiv", "workspace");
    return log;
}

// Collects one child when its pidfd becomes readable, then lets go of the descriptor.
class ChildReaper final : public Reactor::Handler {
public:
    ChildReaper(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
    void onEvents(std::uint64_t token, std::uint32_t) override {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == 0) return;  // not yet
        Reactor::instance().remove(token, pidfd_);
        ::close(pidfd_);
    }

private:
    pid_t pid_;
    int pidfd_;
};

void reapLater(pid_t pid) {
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        workspaceLog().error(std::string("cannot watch the opener's end: ") + std::strerror(errno));
        return;
    }
    if (Reactor::instance().add(pidfd, EPOLLIN, std::make_shared<ChildReaper>(pid, pidfd)) == 0)
        ::close(pidfd);
}

}  // namespace

bool Workspace::hasDesktopSession() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        if (const char* value = std::getenv(name); value && *value) return true;
    }
    return false;
}

bool Workspace::open(const std::string& target, const std::string& opener) {
    if (!hasDesktopSession()) {
        workspaceLog().notice("no desktop session: not opening " + target);
        return false;
    }
    if (target.empty() || target.front() == '-') {
        workspaceLog().error("refusing to open \"" + target + "\"");
        return false;
    }
    std::string program = opener, argument = target;
    std::vector<char*> argv{program.data(), argument.data(), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        workspaceLog().error("cannot start " + opener + ": " + std::strerror(rc));
        return false;
    }
    reapLater(pid);
    return true;
}

}  // namespace platform
