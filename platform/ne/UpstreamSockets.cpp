#include "platform/ne/UpstreamSockets.hpp"

#include <malloc.h>
#include <sys/socket.h>

#include <asio/execution/context.hpp>
#include <asio/query.hpp>
#include <cerrno>
#include <memory>
#include <utility>

#include "platform/BlockPool.hpp"

namespace platform::ne {

namespace {

// More than this many datagrams left behind is no late reply but a flood: such a
// socket is closed rather than read dry.
constexpr int kMaxDrained = 64;
// Spare ring records kept per thread at most.
constexpr std::size_t kMaxSpareReturns = 256;

// Disconnects `fd` (which unbinds a socket that connect() bound, so no datagram
// can reach it any more) and reads away what is queued, including a pending error.
bool disconnectAndDrain(int fd) {
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    if (::connect(fd, &unspecified, sizeof unspecified) != 0) return false;
    for (int drained = 0; drained <= kMaxDrained; ++drained) {
        std::uint8_t discard;
        if (::recv(fd, &discard, sizeof discard, MSG_DONTWAIT | MSG_TRUNC) >= 0) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        // An error that the last peer's ICMP left is reported once, and so read away.
        if (errno != EINTR && errno != ECONNREFUSED && errno != EHOSTUNREACH && errno != ENETUNREACH) {
            return false;
        }
    }
    return false;
}

// A socket on its way back through the ring: disconnected, then read until the
// kernel says nothing is left. Its slot of the ring holds it until the last of its
// entries has come back; spares are reused, per thread.
struct RingReturn : UringOperation {
    std::optional<asio::ip::udp::socket> socket;
    std::optional<Queue> queue;
    int family = 0;
    std::uint32_t mark = 0;
    bool disconnected = false;  // the linked disconnect reports first
    int drained = 0;
    bool failed = false;
    std::uint8_t discard = 0;
    sockaddr unspecified{};
    UringLoop* ring = nullptr;
    UringSlot slot;

    RingReturn() {
        complete = &RingReturn::completed;
        ended = &RingReturn::spare;
    }

    static std::vector<std::unique_ptr<UringOperation>>& spares() {
        thread_local std::vector<std::unique_ptr<UringOperation>> pool;
        return pool;
    }

    static void spare(std::unique_ptr<UringOperation> record) {
        auto& me = static_cast<RingReturn&>(*record);
        if (!me.failed) UpstreamSockets::of(*me.queue).keep(std::move(*me.socket), me.family, me.mark);
        me.socket.reset();  // closed when not kept
        me.queue.reset();
        if (spares().size() < kMaxSpareReturns) spares().push_back(std::move(record));
    }

    void drainOnce() {
        io_uring_prep_recv(ring->entry(slot), socket->native_handle(), &discard, sizeof discard,
                           MSG_DONTWAIT | MSG_TRUNC);
    }

    static void completed(UringOperation& operation, const io_uring_cqe& cqe) {
        auto& me = static_cast<RingReturn&>(operation);
        if (!std::exchange(me.disconnected, true)) {
            if (cqe.res < 0) me.failed = true;
            return;
        }
        const int error = cqe.res < 0 ? -cqe.res : 0;
        if (cqe.res >= 0 || error == EINTR || error == ECONNREFUSED || error == EHOSTUNREACH ||
            error == ENETUNREACH) {
            // A late reply or the error its peer's ICMP left: read away, and look again.
            if (!me.failed && !me.ring->stopping() && ++me.drained <= kMaxDrained) {
                me.drainOnce();
            } else {
                me.failed = true;
            }
        } else if (error != EAGAIN && error != EWOULDBLOCK) {
            me.failed = true;  // also a drain cancelled by a failed disconnect
        }
        // Once nothing more is asked of the kernel, the slot lets the record go, and the
        // socket goes back to the idle ones (spare()) or closes.
    }
};

}  // namespace

void UpstreamSockets::giveThroughRing(UringLoop& ring, asio::ip::udp::socket socket, int family,
                                      std::uint32_t mark, const Queue& queue) {
    std::unique_ptr<UringOperation> record;
    auto& me = takeSpare<RingReturn>(RingReturn::spares(), record);
    me.ring = &ring;
    me.socket.emplace(std::move(socket));
    me.queue.emplace(queue);
    me.family = family;
    me.mark = mark;
    me.disconnected = false;
    me.drained = 0;
    me.failed = false;
    me.unspecified = sockaddr{};
    me.unspecified.sa_family = AF_UNSPEC;
    me.slot = ring.hold(std::move(record), false);
    // The disconnect gives the port up; the receive linked behind it reads what the
    // last peer left, and reports EAGAIN once nothing is.
    io_uring_sqe* disconnect = ring.entry(me.slot);
    io_uring_prep_connect(disconnect, me.socket->native_handle(), &me.unspecified, sizeof me.unspecified);
    disconnect->flags |= IOSQE_IO_LINK;
    me.drainOnce();
}

asio::execution_context::id UpstreamSockets::id;

UpstreamSockets::UpstreamSockets(asio::execution_context& context)
    : asio::execution_context::service(context),
      timer_(asio::use_service<IoLoop>(context), [this] { trim(); }) {}

UpstreamSockets::~UpstreamSockets() = default;

UpstreamSockets& UpstreamSockets::of(const Queue& queue) { return serviceOf<UpstreamSockets>(queue); }

std::optional<asio::ip::udp::socket> UpstreamSockets::take(const asio::ip::udp& protocol,
                                                           std::uint32_t mark) {
    std::lock_guard lock(mutex_);
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
        if (it->mark != mark || it->family != protocol.family()) continue;
        std::optional<asio::ip::udp::socket> taken(std::move(it->socket));
        idle_.erase(std::next(it).base());
        return taken;
    }
    return std::nullopt;
}

void UpstreamSockets::give(asio::ip::udp::socket socket, int family, std::uint32_t mark) {
    asio::error_code ec;
    socket.cancel(ec);
    if (ec || !disconnectAndDrain(socket.native_handle())) return;  // closed as it goes
    keep(std::move(socket), family, mark);
}

void UpstreamSockets::keep(asio::ip::udp::socket socket, int family, std::uint32_t mark) {
    std::lock_guard lock(mutex_);
    if (shutDown_ || idle_.size() >= kMaxIdle) return;
    idle_.push_back(Idle{std::move(socket), family, mark, period_});
    armTrimLocked();
}

void UpstreamSockets::armTrimLocked() {
    if (timerWaiting_) return;
    timerWaiting_ = true;
    timer_.at(IoLoop::Clock::now() + kTrimPeriod);
}

void UpstreamSockets::trim() {
    std::vector<Idle> closing;
    bool burstOver = false;
    {
        std::lock_guard lock(mutex_);
        timerWaiting_ = false;
        if (shutDown_) return;
        // The oldest come first: those returned before this period began go.
        std::size_t stale = 0;
        while (stale < idle_.size() && idle_[stale].since < period_) ++stale;
        closing.assign(std::make_move_iterator(idle_.begin()),
                       std::make_move_iterator(idle_.begin() + static_cast<std::ptrdiff_t>(stale)));
        idle_.erase(idle_.begin(), idle_.begin() + static_cast<std::ptrdiff_t>(stale));
        ++period_;
        if (!idle_.empty()) armTrimLocked();
        burstOver = stale > 0 && idle_.empty();
    }
    closing.clear();  // outside the lock
    // The last socket of a burst is gone, and a whole period passed without a query
    // here: what the burst's queries and replies took of the heap goes back to the
    // system, which the allocator's per-thread arenas would otherwise keep for good.
    if (burstOver) {
        ++bursts_;
        BlockPool::releaseFree();
        ::malloc_trim(0);
    }
}

std::size_t UpstreamSockets::idle() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

void UpstreamSockets::shutdown() {
    std::vector<Idle> closing;
    {
        std::lock_guard lock(mutex_);
        shutDown_ = true;
        closing = std::move(idle_);
        idle_.clear();
    }
}

}  // namespace platform::ne
