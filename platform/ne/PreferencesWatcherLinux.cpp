#include "platform/ne/PreferencesWatcherLinux.hpp"

#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace platform::ne {

namespace {

constexpr uint32_t kFolderMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE |
                                 IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// An ancestor is watched only for the next folder of the path to appear, or for
// itself to go.
constexpr uint32_t kAncestorMask = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::string parentOf(const std::string& folder) {
    const auto slash = folder.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : folder.substr(0, slash);
}

std::string lastName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

struct PreferencesWatcher::State : std::enable_shared_from_this<PreferencesWatcher::State> {
    State(asio::io_context& io, int fd) : descriptor(io, fd) {}
    asio::posix::stream_descriptor descriptor;
    std::string folder;
    std::string name;
    std::function<void()> changed;
    std::atomic<bool> stopped{false};
    std::atomic<bool> waitingForFolder{false};
    int watch = -1;           // the one live watch: on the folder, or on its nearest ancestor
    std::string watchedPath;  // where `watch` is
    alignas(inotify_event) std::array<char, 8192> buffer{};

    // Watches the folder, or while it is missing its nearest existing ancestor (a
    // fresh install has no folder yet). Throws std::system_error for any other
    // failure than a missing folder.
    void arm() {
        if (watch >= 0) ::inotify_rm_watch(descriptor.native_handle(), watch);
        watch = -1;
        std::string path = folder;
        for (;;) {
            const bool target = path == folder;
            const int added = ::inotify_add_watch(descriptor.native_handle(), path.c_str(),
                                                  target ? kFolderMask : kAncestorMask);
            if (added >= 0) {
                watch = added;
                watchedPath = path;
                waitingForFolder = !target;
                if (target || !childExists(path)) return;
                // The next folder appeared before the watch was in place: go down again.
                ::inotify_rm_watch(descriptor.native_handle(), watch);
                watch = -1;
                path = folder;
                continue;
            }
            const int error = errno;
            const std::string parent = parentOf(path);
            if ((error != ENOENT && error != ENOTDIR) || parent == path) {
                throw std::system_error(error, std::generic_category(), "cannot watch " + folder);
            }
            path = parent;
        }
    }

    // Whether the next folder on the way from `ancestor` to the watched folder exists.
    bool childExists(const std::string& ancestor) const {
        std::string child = folder;
        while (parentOf(child) != ancestor && parentOf(child) != child) child = parentOf(child);
        return ::access(child.c_str(), F_OK) == 0;
    }

    void wait() {
        descriptor.async_wait(asio::posix::descriptor_base::wait_read,
                              [self = shared_from_this()](const asio::error_code& ec) {
                                  if (ec || self->stopped) return;
                                  if (self->drain()) self->changed();
                                  if (!self->stopped) self->wait();
                              });
    }

    // Reads every queued event; true when one concerns the file (or the folder
    // itself came or went).
    bool drain() {
        bool relevant = false;
        bool rearm = false;
        for (;;) {
            const ssize_t got = ::read(descriptor.native_handle(), buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
                inotify_event event;
                std::memcpy(&event, buffer.data() + offset, sizeof event);
                const char* eventName = buffer.data() + offset + sizeof(inotify_event);
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
                if (event.mask & IN_Q_OVERFLOW) {
                    relevant = rearm = true;
                    continue;
                }
                if (event.wd != watch) continue;  // a watch given up before
                if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) rearm = true;
                if (waitingForFolder) {
                    if (event.mask & (IN_CREATE | IN_MOVED_TO)) rearm = true;
                    continue;
                }
                if (rearm) relevant = true;
                if (event.len > 0 && name == std::string(eventName, ::strnlen(eventName, event.len))) {
                    relevant = true;
                }
            }
        }
        if (rearm) {
            const bool wasWaiting = waitingForFolder;
            try {
                arm();
            } catch (const std::system_error&) {
                // Nothing left to watch (the path became unreadable): the file reads
                // as missing until a restart.
                return true;
            }
            // The folder arrived: the file may have come with it.
            if (wasWaiting && !waitingForFolder) relevant = true;
        }
        return relevant;
    }
};

PreferencesWatcher::PreferencesWatcher(asio::io_context& io, const std::string& path,
                                       std::function<void()> changed) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "inotify_init1");
    state_ = std::make_shared<State>(io, fd);
    state_->folder = parentOf(path);
    state_->name = lastName(path);
    state_->changed = std::move(changed);
    state_->arm();
    state_->wait();
}

PreferencesWatcher::~PreferencesWatcher() {
    state_->stopped = true;
    asio::error_code ignored;
    state_->descriptor.cancel(ignored);
}

bool PreferencesWatcher::waitingForFolder() const { return state_->waitingForFolder.load(); }

}  // namespace platform::ne
