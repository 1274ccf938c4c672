#include "platform/ne/UpstreamSockets.hpp"

#include <sys/socket.h>

#include <asio/execution/context.hpp>
#include <asio/query.hpp>
#include <cerrno>

namespace platform::ne {

namespace {

// More than this many datagrams left behind is no late reply but a flood: such a
// socket is closed rather than read dry.
constexpr int kMaxDrained = 64;

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

}  // namespace

asio::execution_context::id UpstreamSockets::id;

UpstreamSockets::UpstreamSockets(asio::execution_context& context)
    : asio::execution_context::service(context) {}

UpstreamSockets::~UpstreamSockets() = default;

UpstreamSockets& UpstreamSockets::of(const Queue& queue) {
    return asio::use_service<UpstreamSockets>(asio::query(queue, asio::execution::context));
}

std::optional<asio::ip::udp::socket> UpstreamSockets::take(const asio::ip::udp& protocol, std::uint32_t mark) {
    std::lock_guard lock(mutex_);
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
        if (it->mark != mark || it->family != protocol.family()) continue;
        std::optional<asio::ip::udp::socket> taken(std::move(it->socket));
        idle_.erase(std::next(it).base());
        return taken;
    }
    return std::nullopt;
}

void UpstreamSockets::give(asio::ip::udp::socket socket, int family, std::uint32_t mark,
                           const Queue& queue) {
    asio::error_code ec;
    socket.cancel(ec);
    if (ec || !disconnectAndDrain(socket.native_handle())) return;  // closed as it goes
    std::lock_guard lock(mutex_);
    if (shutDown_ || idle_.size() >= kMaxIdle) return;
    idle_.push_back(Idle{std::move(socket), family, mark, period_});
    if (!timer_) timer_.emplace(queue);
    armTrimLocked();
}

void UpstreamSockets::armTrimLocked() {
    if (timerWaiting_ || !timer_) return;
    timerWaiting_ = true;
    timer_->expires_after(kTrimPeriod);
    timer_->async_wait([this](const asio::error_code& ec) {
        if (ec == asio::error::operation_aborted) return;
        trim();
    });
}

void UpstreamSockets::trim() {
    std::vector<Idle> closing;
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
    }
    // Closed outside the lock.
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
        timer_.reset();
    }
}

}  // namespace platform::ne
