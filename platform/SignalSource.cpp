#include "platform/SignalSource.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/FileDescriptor.hpp"
#include "platform/Reactor.hpp"
#include "platform/SystemLog.hpp"

namespace platform {
namespace {

sigset_t signalSet(const std::vector<int>& signals) {
    sigset_t set;
    ::sigemptyset(&set);
    for (const int signal : signals) {
        if (::sigaddset(&set, signal) != 0) {
            throw std::invalid_argument("not a signal number: " + std::to_string(signal));
        }
    }
    return set;
}

}  // namespace

void blockSignals(const std::vector<int>& signals) {
    const sigset_t set = signalSet(signals);
    if (const int error = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
        throw std::system_error(error, std::generic_category(), "cannot block signals");
    }
}

struct SignalSource::State final : Reactor::Handler {
    State(DispatchQueuePtr q, SignalSource::Handler h)
        : queue(std::move(q)), handler(std::make_shared<const SignalSource::Handler>(std::move(h))) {}

    // Reactor thread. Reads every pending signal; each becomes one call on the queue.
    void onEvents(std::uint64_t, std::uint32_t) override {
        std::lock_guard lock(mutex);
        if (fd.get() < 0) return;  // the source is gone; the descriptor with it
        std::array<signalfd_siginfo, 16> batch;
        for (;;) {
            const ssize_t n = ::read(fd.get(), batch.data(), sizeof batch);
            if (n < 0) {
                const int error = errno;
                if (error == EINTR) continue;
                if (error != EAGAIN) log.error(std::string("cannot read signals: ") + std::strerror(error));
                return;
            }
            const auto count = static_cast<std::size_t>(n) / sizeof(signalfd_siginfo);
            for (std::size_t i = 0; i < count; ++i) {
                const SignalInfo info{static_cast<int>(batch[i].ssi_signo),
                                      static_cast<pid_t>(batch[i].ssi_pid),
                                      static_cast<uid_t>(batch[i].ssi_uid)};
                queue->async([handler = handler, info] { (*handler)(info); });
            }
            if (count < batch.size()) return;
        }
    }

    const DispatchQueuePtr queue;
    // Shared with the calls already queued, which may run after the source is gone.
    const std::shared_ptr<const SignalSource::Handler> handler;
    const SystemLog log{"com.veltrix.kiv", "signals"};
    std::uint64_t token = 0;  // set once by the constructor
    std::mutex mutex;
    FileDescriptor fd;  // guarded by mutex; closed (-1) once the source is destroyed
};

SignalSource::SignalSource(const std::vector<int>& signals, DispatchQueuePtr queue, Handler handler)
    : state_(std::make_shared<State>(std::move(queue), std::move(handler))) {
    const sigset_t set = signalSet(signals);
    state_->fd = FileDescriptor(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (state_->fd.get() < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot open a signalfd");
    }
    state_->token = Reactor::instance().add(state_->fd.get(), EPOLLIN, state_);
    if (state_->token == 0) {
        throw std::system_error(errno, std::generic_category(), "cannot watch the signalfd");
    }
}

SignalSource::~SignalSource() {
    // Under the lock: a reactor call under way finishes first, and a later one finds
    // the descriptor closed instead of reading a number that may have been reused.
    std::lock_guard lock(state_->mutex);
    Reactor::instance().remove(state_->token, state_->fd.get());
    state_->fd.close();
}

}  // namespace platform
