#include "platform/ne/PreferencesWatcherLinux.hpp"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace platform::ne {

struct PreferencesWatcher::State : std::enable_shared_from_this<PreferencesWatcher::State> {
    State(asio::io_context& io, int fd) : descriptor(io, fd) {}
    asio::posix::stream_descriptor descriptor;
    std::string name;
    std::function<void()> changed;
    std::atomic<bool> stopped{false};
    alignas(inotify_event) std::array<char, 8192> buffer{};

    void wait() {
        descriptor.async_wait(asio::posix::descriptor_base::wait_read,
                              [self = shared_from_this()](const asio::error_code& ec) {
                                  if (ec || self->stopped) return;
                                  if (self->drain()) self->changed();
                                  if (!self->stopped) self->wait();
                              });
    }

    // Reads every queued event; true when one concerns the file (or the folder
    // itself went away).
    bool drain() {
        bool relevant = false;
        for (;;) {
            const ssize_t got = ::read(descriptor.native_handle(), buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
                inotify_event event;
                std::memcpy(&event, buffer.data() + offset, sizeof event);
                const char* eventName = buffer.data() + offset + sizeof(inotify_event);
                if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_Q_OVERFLOW))
                    relevant = true;
                if (event.len > 0 && name == std::string(eventName, ::strnlen(eventName, event.len))) {
                    relevant = true;
                }
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            }
        }
        return relevant;
    }
};

PreferencesWatcher::PreferencesWatcher(asio::io_context& io, std::string path,
                                       std::function<void()> changed) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "inotify_init1");
    const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE | IN_ATTRIB |
                          IN_DELETE_SELF | IN_MOVE_SELF;
    if (::inotify_add_watch(fd, folder.c_str(), mask) < 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "cannot watch " + folder);
    }
    state_ = std::make_shared<State>(io, fd);
    state_->name = name;
    state_->changed = std::move(changed);
    state_->wait();
}

PreferencesWatcher::~PreferencesWatcher() {
    state_->stopped = true;
    asio::error_code ignored;
    state_->descriptor.cancel(ignored);
}

}  // namespace platform::ne
