// The rtnetlink change subscription on the reactor.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/FileDescriptor.hpp"
#include "platform/Reactor.hpp"
#include "platform/SystemLog.hpp"
#include "platform/net/NetlinkWatcher.hpp"

namespace platform {

struct NetlinkWatcher::Impl final : Reactor::Handler, std::enable_shared_from_this<NetlinkWatcher::Impl> {
    FileDescriptor fd;
    DispatchQueuePtr queue;
    std::function<void()> onChange;
    std::atomic<bool> pending{false};
    std::atomic<bool> reportedError{false};

    void onEvents(std::uint64_t, std::uint32_t) override {
        bool changed = false;
        std::array<char, 16 * 1024> buffer;
        for (;;) {
            const ssize_t received = ::recv(fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (received > 0) {
                changed = true;
                continue;
            }
            if (received < 0 && errno == EINTR) continue;
            if (received < 0 && errno == ENOBUFS) {
                // Messages were lost; the listener re-reads the whole state anyway.
                changed = true;
                continue;
            }
            if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && !reportedError.exchange(true)) {
                SystemLog("kiv", "netlink")
                    .error(std::string("netlink receive failed: ") + std::strerror(errno));
            }
            break;
        }
        if (changed) post();
    }

    // At most one call waits on the queue: it reads the state as it is when it runs, which
    // covers every change before it.
    void post() {
        if (pending.exchange(true)) return;
        queue->async([self = shared_from_this()] {
            self->pending = false;
            self->onChange();
        });
    }

    std::uint64_t token = 0;
};

std::unique_ptr<NetlinkWatcher> NetlinkWatcher::start(std::uint32_t groups, DispatchQueuePtr queue,
                                                      std::function<void()> onChange) {
    FileDescriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (fd.get() < 0) return nullptr;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) < 0) return nullptr;
    auto impl = std::make_shared<Impl>();
    impl->fd = std::move(fd);
    impl->queue = std::move(queue);
    impl->onChange = std::move(onChange);
    impl->token = Reactor::instance().add(impl->fd.get(), EPOLLIN, impl);
    if (impl->token == 0) return nullptr;
    return std::make_unique<NetlinkWatcher>(Key{}, std::move(impl));
}

NetlinkWatcher::NetlinkWatcher(Key, std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

NetlinkWatcher::~NetlinkWatcher() {
    // The descriptor closes with the handler, once the reactor and any queued call let go.
    Reactor::instance().remove(impl_->token, impl_->fd.get());
}

}  // namespace platform
