#pragma once
// The one I/O thread of the process that waits on every XPC socket (epoll). Used by
// XPCConnection and XPCListener only. Handlers run on the reactor thread and must
// not block; work for people (message delivery, handlers) goes to dispatch queues.
// The thread lives as long as the process. Not usable in a child forked without exec.
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class XPCReactor {
public:
    class Handler {
    public:
        virtual ~Handler() = default;
        // On the reactor thread; `token` names the registration the events belong to.
        virtual void onEvents(std::uint64_t token, std::uint32_t events) = 0;
    };

    static XPCReactor& instance();

    // Any thread. The reactor holds `handler` until remove(). Returns 0 on failure
    // (errno tells why).
    std::uint64_t add(int fd, std::uint32_t events, std::shared_ptr<Handler> handler);
    void modify(std::uint64_t token, int fd, std::uint32_t events);
    // Any thread. No event for `token` is delivered once this returns on the reactor
    // thread; the caller closes `fd` afterwards.
    void remove(std::uint64_t token, int fd);
    // Runs `task` on the reactor thread, in posting order.
    void post(std::function<void()> task);
    bool onReactorThread() const;

    XPCReactor();
    ~XPCReactor();
    XPCReactor(const XPCReactor&) = delete;
    XPCReactor& operator=(const XPCReactor&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
