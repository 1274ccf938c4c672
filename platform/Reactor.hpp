#pragma once
// The one I/O thread of the process (epoll). Every descriptor-based stand-in waits on it:
// XPC sockets and listeners, signals (platform/SignalSource.hpp), and file, network and
// bus watchers as they come; no library runs an I/O thread of its own. Handlers run on
// the reactor thread and never block: what people act on (messages, signals, changes)
// is handed to dispatch queues. The thread blocks every asynchronous signal, so a
// signal sent to it is left for a signalfd rather than taken by a handler there.
// The thread lives as long as the process. Not usable in a child forked without exec.
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

template <class T>
class NoDestructor;

class Reactor {
public:
    class Handler {
    public:
        virtual ~Handler() = default;
        // On the reactor thread; `token` names the registration the events belong to.
        virtual void onEvents(std::uint64_t token, std::uint32_t events) = 0;
    };

    static Reactor& instance();

    // Any thread. The reactor holds `handler` until remove(). Returns 0 on failure
    // (errno tells why).
    std::uint64_t add(int fd, std::uint32_t events, std::shared_ptr<Handler> handler);
    void modify(std::uint64_t token, int fd, std::uint32_t events);
    // Any thread. No event for `token` is delivered once this returns on the reactor
    // thread; from another thread, a handler call already under way may still be
    // running. The caller closes `fd` afterwards.
    void remove(std::uint64_t token, int fd);
    // Runs `task` on the reactor thread, in posting order. Tasks and descriptors take turns:
    // a task posted while tasks run waits until the descriptors ready by then are served.
    void post(std::function<void()> task);
    bool onReactorThread() const;

    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;

private:
    // Only the process-wide instance exists: its thread lives as long as the process.
    friend class NoDestructor<Reactor>;
    Reactor();
    ~Reactor();

    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
