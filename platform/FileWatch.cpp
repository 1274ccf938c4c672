#include "platform/FileWatch.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/FileDescriptor.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/Reactor.hpp"
#include "platform/SystemLog.hpp"

namespace platform {
namespace {

// Every kind of change to the file object itself; the kinds a watch did not ask for are
// filtered per watch, so that two watches of one file can share the kernel's one watch.
constexpr std::uint32_t kInotifyMask = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

struct FileFacts {
    bool known = false;
    nlink_t links = 0;
    off_t size = 0;
};

FileFacts factsOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {};
    return {true, st.st_nlink, st.st_size};
}

}  // namespace

int openForEvents(const std::filesystem::path& path) { return ::open(path.c_str(), O_PATH | O_CLOEXEC); }

struct FileWatch::State : std::enable_shared_from_this<FileWatch::State> {
    State(int f, std::uint32_t m, DispatchQueuePtr q) : fd(f), mask(m), queue(std::move(q)) {}

    // Reactor thread: turns the raw inotify bits read for this watch into FileEvent bits and
    // queues one handler call.
    void deliver(std::uint32_t raw);
    bool isCancelled() const {
        std::lock_guard lock(mutex);
        return cancelled;
    }

    const int fd;
    const std::uint32_t mask;
    const DispatchQueuePtr queue;
    mutable std::mutex mutex;
    // Guarded by mutex:
    std::shared_ptr<const EventHandler> eventHandler;
    CancelHandler cancelHandler;
    bool resumed = false;
    bool cancelled = false;
    int wd = -1;
    FileFacts facts;
};

namespace {

// The process's one inotify instance, on the reactor. One instance keeps the events of all
// watches in the order the kernel queued them.
class Hub final : public Reactor::Handler, public std::enable_shared_from_this<Hub> {
public:
    static Hub& instance() {
        static NoDestructor<std::shared_ptr<Hub>> hub(std::make_shared<Hub>());
        return **hub;
    }

    // Returns the watch descriptor, -1 with errno on failure.
    int add(const std::shared_ptr<FileWatch::State>& state) {
        std::lock_guard lock(mutex_);
        if (!started_) {
            fd_ = FileDescriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
            if (fd_.get() < 0) return -1;
            if (Reactor::instance().add(fd_.get(), EPOLLIN, shared_from_this()) == 0) {
                const int error = errno;
                fd_.close();
                errno = error;
                return -1;
            }
            started_ = true;
        }
        // The descriptor names the file object it was opened on, even after its name was
        // reused: the watch goes on that object, not on whatever the path names now.
        const std::string self = "/proc/self/fd/" + std::to_string(state->fd);
        const int wd = ::inotify_add_watch(fd_.get(), self.c_str(), kInotifyMask);
        if (wd < 0) return -1;
        watches_[wd].push_back(state);
        return wd;
    }

    void remove(int wd, const FileWatch::State* state) {
        std::lock_guard lock(mutex_);
        const auto found = watches_.find(wd);
        if (found == watches_.end()) return;
        auto& list = found->second;
        std::erase_if(list, [state](const std::weak_ptr<FileWatch::State>& entry) {
            const auto held = entry.lock();
            return !held || held.get() == state;
        });
        if (list.empty()) {
            // A kernel watch already gone (its file was freed) answers EINVAL: nothing to undo.
            (void)::inotify_rm_watch(fd_.get(), wd);
            watches_.erase(found);
        }
    }

    void onEvents(std::uint64_t, std::uint32_t) override {
        alignas(inotify_event) std::array<char, 16 * 1024> buffer;
        for (;;) {
            const ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
            if (n < 0) {
                const int error = errno;
                if (error == EINTR) continue;
                if (error != EAGAIN)
                    log_.error(std::string("cannot read file events: ") + std::strerror(error));
                return;
            }
            // Raw bits per watch in this batch, in the order the kernel first reported each
            // watch: events of different files reach their queues in the order they happened.
            std::vector<std::pair<int, std::uint32_t>> byWatch;
            for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                inotify_event event;
                std::memcpy(&event, buffer.data() + offset, sizeof event);
                offset += static_cast<ssize_t>(sizeof event + event.len);
                if (event.mask & IN_Q_OVERFLOW) {
                    log_.error("file events were lost: the kernel's queue overflowed");
                    continue;
                }
                const int wd = event.wd;
                const auto known = std::find_if(byWatch.begin(), byWatch.end(),
                                                [wd](const auto& entry) { return entry.first == wd; });
                if (known == byWatch.end()) {
                    byWatch.emplace_back(wd, event.mask);
                } else {
                    known->second |= event.mask;
                }
            }
            for (const auto& [wd, raw] : byWatch) dispatch(wd, raw);
            if (static_cast<std::size_t>(n) < buffer.size() / 2) return;
        }
    }

private:
    void dispatch(int wd, std::uint32_t raw) {
        std::vector<std::shared_ptr<FileWatch::State>> targets;
        {
            std::lock_guard lock(mutex_);
            const auto found = watches_.find(wd);
            if (found == watches_.end()) return;
            for (const auto& entry : found->second) {
                if (auto state = entry.lock()) targets.push_back(std::move(state));
            }
            // The kernel dropped this watch (its file was freed or its file system unmounted):
            // nothing more comes for it, and its number may be handed out again.
            if (raw & IN_IGNORED) watches_.erase(found);
        }
        for (const auto& state : targets) state->deliver(raw);
    }

    std::mutex mutex_;
    bool started_ = false;                                                 // guarded by mutex_
    FileDescriptor fd_;                                                    // set once, under mutex_
    std::map<int, std::vector<std::weak_ptr<FileWatch::State>>> watches_;  // guarded by mutex_
    const SystemLog log_{"com.veltrix.kiv", "filewatch"};
};

}  // namespace

void FileWatch::State::deliver(std::uint32_t raw) {
    std::uint32_t events = 0;
    std::shared_ptr<const EventHandler> handler;
    {
        std::lock_guard lock(mutex);
        if (cancelled) return;
        // Under the lock: the cancel handler, which closes the descriptor, is queued only after
        // `cancelled` was set, so the descriptor read here is still this file's.
        const FileFacts now = factsOf(fd);
        if (raw & IN_MODIFY) {
            events |= fileWritten;
            if (now.known && facts.known && now.size > facts.size) events |= fileExtended;
        }
        if (raw & IN_ATTRIB) {
            if (now.known && now.links == 0) {
                events |= fileDeleted;
            } else if (now.known && facts.known && now.links != facts.links) {
                events |= fileLinkCountChanged;
            } else {
                events |= fileAttributesChanged;
            }
        }
        if (raw & IN_DELETE_SELF) events |= fileDeleted;
        if (raw & IN_MOVE_SELF) events |= fileRenamed;
        if (raw & IN_UNMOUNT) events |= fileRevoked;
        if (now.known) facts = now;
        events &= mask;
        if (events == 0 || !eventHandler) return;
        handler = eventHandler;
    }
    queue->async([weak = weak_from_this(), handler = std::move(handler), events] {
        const auto state = weak.lock();
        if (!state || state->isCancelled()) return;
        (*handler)(events);
    });
}

FileWatch::FileWatch(int fd, std::uint32_t mask, DispatchQueuePtr queue)
    : state_(std::make_shared<State>(fd, mask, std::move(queue))) {}

FileWatch::~FileWatch() { cancel(); }

void FileWatch::setEventHandler(EventHandler handler) {
    std::lock_guard lock(state_->mutex);
    state_->eventHandler = handler ? std::make_shared<const EventHandler>(std::move(handler)) : nullptr;
}

void FileWatch::setCancelHandler(CancelHandler handler) {
    std::lock_guard lock(state_->mutex);
    state_->cancelHandler = std::move(handler);
}

bool FileWatch::resume() {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->resumed || state_->cancelled) return !state_->cancelled;
        state_->resumed = true;
        state_->facts = factsOf(state_->fd);
    }
    const int wd = Hub::instance().add(state_);
    if (wd < 0) {
        const int error = errno;
        cancel();
        errno = error;
        return false;
    }
    bool cancelledMeanwhile = false;
    {
        std::lock_guard lock(state_->mutex);
        state_->wd = wd;
        cancelledMeanwhile = state_->cancelled;
    }
    // A cancel() that ran while the watch was being added did not know its number yet.
    if (cancelledMeanwhile) Hub::instance().remove(wd, state_.get());
    return !cancelledMeanwhile;
}

void FileWatch::cancel() {
    CancelHandler handler;
    int wd = -1;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled) return;
        state_->cancelled = true;
        handler = std::move(state_->cancelHandler);
        wd = state_->wd;
        state_->eventHandler = nullptr;
    }
    if (wd >= 0) Hub::instance().remove(wd, state_.get());
    if (handler) state_->queue->async(std::move(handler));
}

bool FileWatch::isCancelled() const { return state_->isCancelled(); }

int FileWatch::descriptor() const { return state_->fd; }

}  // namespace platform
