#include "platform/Reactor.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/NoDestructor.hpp"
#include "platform/SystemLog.hpp"

namespace platform {
namespace {

// Blocks every asynchronous signal in the calling thread while it lives. Faults raised
// by the thread itself stay unblocked: blocking them would not stop them, only make
// the kernel kill the process without running a handler.
class BlockAsyncSignals {
public:
    BlockAsyncSignals() {
        sigset_t all;
        ::sigfillset(&all);
        for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) ::sigdelset(&all, fault);
        ::pthread_sigmask(SIG_BLOCK, &all, &previous_);
    }
    ~BlockAsyncSignals() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    BlockAsyncSignals(const BlockAsyncSignals&) = delete;
    BlockAsyncSignals& operator=(const BlockAsyncSignals&) = delete;

private:
    sigset_t previous_;
};

}  // namespace

struct Reactor::State {
    int epollFd = -1;
    int wakeFd = -1;
    std::thread thread;
    std::thread::id threadId;

    struct Shared {
        std::unordered_map<std::uint64_t, std::shared_ptr<Handler>> handlers;
        std::vector<std::function<void()>> tasks;
        std::uint64_t nextToken = 1;
    };
    std::mutex mutex;
    Shared shared;  // guarded by mutex

    void wake() const {
        const std::uint64_t one = 1;
        // A full counter still leaves the descriptor readable, so a failed write is harmless.
        [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
    }

    void loop() {
        static constexpr int kWakeToken = 0;
        std::vector<epoll_event> events(64);
        const SystemLog log("com.veltrix.kiv", "reactor");
        bool tasksLeft = false;
        for (;;) {
            // With posted work left over, only the descriptors already ready are looked at.
            const int n = ::epoll_wait(epollFd, events.data(), int(events.size()), tasksLeft ? 0 : -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                log.error(std::string("reactor stopped: epoll_wait failed: ") + std::strerror(errno));
                return;
            }
            for (int i = 0; i < n; ++i) {
                const std::uint64_t token = events[i].data.u64;
                if (token == kWakeToken) {
                    std::uint64_t count = 0;
                    [[maybe_unused]] auto r = ::read(wakeFd, &count, sizeof count);
                    continue;
                }
                std::shared_ptr<Handler> handler;
                {
                    std::lock_guard lock(mutex);
                    auto it = shared.handlers.find(token);
                    if (it != shared.handlers.end()) handler = it->second;
                }
                if (!handler) continue;  // removed while this batch was pending
                try {
                    handler->onEvents(token, events[i].events);
                } catch (const std::exception& e) {
                    log.error(std::string("reactor: handler failed: ") + e.what());
                }
            }
            tasksLeft = runTasks(log);
        }
    }

    // Runs the tasks posted so far, not those they or other threads post meanwhile: those
    // wait for the next turn, after the descriptors that are ready by then. Work that keeps
    // posting more (peers whose calls are answered at once) would otherwise hold the thread
    // here and leave every other descriptor, a new connection included, unserved. True
    // when more tasks wait.
    bool runTasks(const SystemLog& log) {
        std::vector<std::function<void()>> batch;
        {
            std::lock_guard lock(mutex);
            batch.swap(shared.tasks);
        }
        for (auto& task : batch) {
            try {
                task();
            } catch (const std::exception& e) {
                log.error(std::string("reactor: task failed: ") + e.what());
            }
        }
        std::lock_guard lock(mutex);
        return !shared.tasks.empty();
    }
};

Reactor::Reactor() : state_(std::make_unique<State>()) {
    state_->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    state_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state_->epollFd < 0 || state_->wakeFd < 0) {
        throw std::runtime_error(std::string("reactor: cannot create epoll/eventfd: ") +
                                 std::strerror(errno));
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;
    ::epoll_ctl(state_->epollFd, EPOLL_CTL_ADD, state_->wakeFd, &ev);
    {
        // The thread starts with the mask it inherits, so it is set here rather than
        // by the thread itself: no signal can land on it before it is blocked.
        const BlockAsyncSignals blocked;
        state_->thread = std::thread([s = state_.get()] { s->loop(); });
    }
    state_->threadId = state_->thread.get_id();
}

Reactor::~Reactor() {
    // Only reached for reactors other than the process-wide one, which lives forever.
    if (state_->thread.joinable()) state_->thread.detach();
}

Reactor& Reactor::instance() {
    static NoDestructor<Reactor> reactor;
    return *reactor;
}

std::uint64_t Reactor::add(int fd, std::uint32_t events, std::shared_ptr<Handler> handler) {
    std::uint64_t token = 0;
    {
        std::lock_guard lock(state_->mutex);
        token = state_->shared.nextToken++;
        state_->shared.handlers.emplace(token, std::move(handler));
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = token;
    if (::epoll_ctl(state_->epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        const int saved = errno;
        std::lock_guard lock(state_->mutex);
        state_->shared.handlers.erase(token);
        errno = saved;
        return 0;
    }
    return token;
}

void Reactor::modify(std::uint64_t token, int fd, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = token;
    ::epoll_ctl(state_->epollFd, EPOLL_CTL_MOD, fd, &ev);
}

void Reactor::remove(std::uint64_t token, int fd) {
    ::epoll_ctl(state_->epollFd, EPOLL_CTL_DEL, fd, nullptr);
    std::shared_ptr<Handler> dropped;
    {
        std::lock_guard lock(state_->mutex);
        auto it = state_->shared.handlers.find(token);
        if (it != state_->shared.handlers.end()) {
            dropped = std::move(it->second);
            state_->shared.handlers.erase(it);
        }
    }
    // `dropped` may be the last reference to its owner: destroyed here, outside the lock.
}

void Reactor::post(std::function<void()> task) {
    {
        std::lock_guard lock(state_->mutex);
        state_->shared.tasks.push_back(std::move(task));
    }
    state_->wake();
}

bool Reactor::onReactorThread() const { return std::this_thread::get_id() == state_->threadId; }

}  // namespace platform
