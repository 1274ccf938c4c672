// Linux: sendmmsg for batched sends.
#include "platform/ne/NWUDPConnection.hpp"

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <asio/bind_executor.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <system_error>

#include "platform/LogLimiter.hpp"
#include "platform/Recycled.hpp"
#include "platform/SystemLog.hpp"
#include "platform/ne/Interception.hpp"
#include "platform/ne/OwnEndpoints.hpp"
#include "platform/ne/UpstreamSockets.hpp"

namespace platform::ne {

namespace {

constexpr std::size_t kMaxReply = 65536;
constexpr std::size_t kSendBatch = 64;
constexpr std::size_t kMaxSpareSends = 256;
constexpr std::size_t kMaxSpareBytes = 4096;

// A flow's resolver is nearly always the one the previous flow used: parsing its
// text for every connection would cost more than the rest of the connect.
asio::ip::address parseHost(const std::string& host, asio::error_code& ec) {
    thread_local std::string lastHost;
    thread_local asio::ip::address lastAddress;
    if (!lastHost.empty() && host == lastHost) return lastAddress;
    auto address = asio::ip::make_address(host, ec);
    // A scoped address is looked up afresh: its interface may come and go.
    if (!ec && host.find('%') == std::string::npos) {
        lastHost = host;
        lastAddress = address;
    }
    return address;
}

// The highest descriptor numbers are never an upstream socket's. Stuck queries
// would otherwise take every last descriptor, and a process with a full table can
// no longer read its preferences, reach its log, or (under the sanitizers) check a
// pointer: UBSan's vptr check probes memory through a pipe.
constexpr rlim_t kReservedDescriptors = 16;

std::atomic<rlim_t> descriptorLimit{0};  // RLIMIT_NOFILE's soft value once read

rlim_t readDescriptorLimit() {
    rlimit limit{};
    const rlim_t value = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : RLIM_INFINITY;
    descriptorLimit.store(value, std::memory_order_relaxed);
    return value;
}

bool inReservedBand(int fd) {
    const auto inBand = [fd](rlim_t limit) {
        if (limit == RLIM_INFINITY) return false;
        return static_cast<rlim_t>(fd) + std::min(kReservedDescriptors, limit / 4) >= limit;
    };
    const rlim_t known = descriptorLimit.load(std::memory_order_relaxed);
    if (known != 0 && !inBand(known)) return false;
    // Read again before refusing: the limit may have been raised since.
    return inBand(readDescriptorLimit());
}

// Said at most once per 10 s by the whole process: once descriptors run out, every
// connect would say it again.
void sayOutOfDescriptors(int error) {
    static LogLimiter said;
    if (!said.allowNow()) return;
    SystemLog("com.veltrix.kiv.KIVDNSProxy", "host")
        .error("Out of file descriptors (" + std::generic_category().message(error) +
               "): queries are dropped until flows end; raise RLIMIT_NOFILE or lower --max-flows");
}

bool isNoRouteError(int error) {
    return error == ENETUNREACH || error == EHOSTUNREACH || error == EADDRNOTAVAIL || error == ENETDOWN ||
           error == EPERM || error == EACCES;
}

struct QueueServices {
    UringLoop* ring;
    UpstreamSockets* sockets;
};

// The ring and the socket set of `queue`'s io_context. The registry's own lookup
// takes a lock and compares type names, twice per connection: each thread keeps
// the answer for the context its connections last used, until a context ends.
QueueServices servicesOf(const Queue& queue) {
    asio::io_context* own = ownContextOf(queue);
    if (!own) return {UringLoop::of(queue), &UpstreamSockets::of(queue)};
    thread_local ContextMemo<UringLoop*> known;
    asio::io_context& context = *own;
    auto& sockets = serviceOf<UpstreamSockets>(queue);
    // A ring not set up yet is asked for again; one that is stopping is not used.
    if (!known.holdsFor(context) || !known.value) known.value = UringLoop::of(context);
    if (known.value && known.value->stopping()) return {nullptr, &sockets};
    return {known.value, &sockets};
}

}  // namespace

std::shared_ptr<NWUDPConnection> NWUDPConnection::make(std::string host, std::uint16_t port) {
    return makePooled<NWUDPConnection>(std::move(host), port);
}

NWConnectionFactory NWUDPConnection::factory() {
    return [](const std::string& host, std::uint16_t port) -> NWConnectionPtr { return make(host, port); };
}

NWUDPConnection::NWUDPConnection(std::string host, std::uint16_t port)
    : host_(std::move(host)), port_(port) {}

void NWUDPConnection::start(Queue queue) {
    if (queue_ || cancelled_) return;
    queue_ = std::move(queue);
    // The ring belongs to its io_context's one thread: used when started there (or
    // before that thread first ran).
    const auto services = servicesOf(*queue_);
    if (services.ring && services.ring->inThread()) ring_ = services.ring;
    sockets_ = services.sockets;
    // At once when started on its queue (as a flow does): the states it reaches are
    // delivered through the queue all the same. In a turn of the ring that is known
    // already, without asking the type-erased executor.
    if (ring_ && ring_->inTurn()) {
        connectNow();
        return;
    }
    asio::dispatch(*queue_, [self = shared_from_this()] { self->connectNow(); });
}

void NWUDPConnection::setStateUpdateHandler(StateUpdateHandler handler) {
    // Not under a handler that is running: it is replaced once it returns.
    if (inHandler_) {
        replacement_ = std::move(handler);
    } else {
        handler_ = std::move(handler);
    }
}

void NWUDPConnection::setState(NWConnectionState::Kind kind, std::optional<NWError> error) {
    state_ = NWConnectionState{kind, error};
    // A change nobody listens for is not delivered (the owner of a connection clears
    // its handler before it cancels).
    if (!queue_ || !hasStateUpdateHandler()) return;
    // Changes made together (preparing, then ready) travel in one delivery.
    if (pendingCount_ < pending_.size()) {
        pending_[pendingCount_++] = state_;
        if (pendingCount_ > 1) return;
        // In a turn of the ring, at its end: before anything posted, and what the
        // handlers send goes in with the turn's one submission.
        if (ring_ && ring_->inTurn() && !ring_->stopping()) {
            stateDelivery_.run = &NWUDPConnection::deliverDeferredStates;
            stateDelivery_.owner = shared_from_this();
            ring_->defer(stateDelivery_);
            return;
        }
        asio::post(*queue_, [self = shared_from_this()] { self->deliverStates(); });
        return;
    }
    asio::post(*queue_, [self = shared_from_this(), state = state_] { self->deliver(state); });
}

void NWUDPConnection::deliverDeferredStates(UringDeferred& work) {
    const auto self = std::move(static_cast<StateDelivery&>(work).owner);
    // A ring that stops drops the delivery, as an io_context that ends drops the
    // handlers it still holds.
    if (self->ring_->stopping()) return;
    self->deliverStates();
}

void NWUDPConnection::deliverStates() {
    const auto states = pending_;
    const std::size_t count = pendingCount_;
    pendingCount_ = 0;
    ++delivering_;
    for (std::size_t i = 0; i < count; ++i) deliver(states[i]);
    --delivering_;
    // A ready state's handler sends at once: those sends complete now, after it, as
    // their posted completion would next, but without another turn of the event loop.
    if (delivering_ == 0 && !heldOutcomes_.empty()) {
        auto outcomes = std::move(heldOutcomes_);
        heldOutcomes_.clear();
        complete(outcomes);
    }
}

void NWUDPConnection::complete(SendOutcomes& outcomes) {
    for (auto& [completion, error] : outcomes) {
        if (cancelled_) return;
        if (completion) completion(error);
    }
}

void NWUDPConnection::deliver(const NWConnectionState& state) {
    // To whichever handler is set by now; one that replaces itself while it runs is
    // replaced when it returns.
    if (!handler_) return;
    inHandler_ = true;
    handler_(state);
    inHandler_ = false;
    if (replacement_) {
        handler_ = std::move(*replacement_);
        replacement_.reset();
    }
}

void NWUDPConnection::closeSocket() {
    ++generation_;
    readArmed_ = false;
    writeArmed_ = false;
    if (!socket_) return;
    const bool onRing = ring_ && !ring_->stopping();
    if (onRing && ringReceive_) {
        // Ended before the socket's disconnect, which the ring runs after it.
        ring_->cancel(ringReceive_);
    }
    if (connected_ && onRing && ring_->inTurn()) {
        // In a turn of the ring: the disconnect and the drain go in with the rest of it.
        UpstreamSockets::giveThroughRing(*ring_, std::move(*socket_), target_.protocol().family(), mark_,
                                         *queue_);
    } else if (connected_) {
        // Outside one, at once, as on the epoll path. The wait's cancel goes in at the
        // turn's end: a wait is a poll, which reads nothing, and its completion, should
        // the socket's next association bring a reply first, is this connection's to
        // ignore (an older socket's generation).
        // Its next association gets a port of its own all the same.
        sockets_->give(std::move(*socket_), target_.protocol().family(), mark_);
    } else {
        asio::error_code ignored;
        socket_->close(ignored);
    }
    socket_.reset();
    connected_ = false;
}

void NWUDPConnection::connectNow() {
    if (cancelled_) return;
    setState(NWConnectionState::Kind::preparing);
    asio::error_code ec;
    const auto address = parseHost(host_, ec);
    if (ec) {
        setState(NWConnectionState::Kind::failed, NWError::posix(EINVAL));
        return;
    }
    const asio::ip::udp::endpoint target(address, port_);
    if (OwnEndpoints::shared().wouldLoop(target)) {
        setState(NWConnectionState::Kind::failed, NWError::posix(ELOOP));
        return;
    }
    // A restart that was asked for twice connects twice: the socket of the first
    // attempt goes, and with it its pending waits.
    closeSocket();
    target_ = target;
    // While the computer's DNS is intercepted, only marked datagrams leave untouched:
    // an unmarked query would come straight back to the host.
    mark_ = upstreamSocketMark();
    if (auto idle = sockets_->take(target.protocol(), mark_)) {
        socket_.emplace(std::move(*idle));
    } else {
        socket_.emplace(*queue_);
        socket_->open(target.protocol(), ec);
        if (!ec && inReservedBand(socket_->native_handle())) ec = asio::error::no_descriptors;
        if (!ec) socket_->non_blocking(true, ec);
        if (!ec && mark_ != 0 &&
            ::setsockopt(socket_->native_handle(), SOL_SOCKET, SO_MARK, &mark_, sizeof mark_) != 0) {
            ec = asio::error_code(errno, asio::system_category());
        }
    }
    if (ec) {
        const int error = ec.value();
        closeSocket();
        if (error == EMFILE || error == ENFILE) sayOutOfDescriptors(error);
        setState(NWConnectionState::Kind::failed, NWError::posix(error));
        return;
    }
    socket_->connect(target, ec);
    if (ec) {
        const int error = ec.value();
        closeSocket();
        if (isNoRouteError(error)) {
            setState(NWConnectionState::Kind::waiting, NWError::posix(error));
        } else {
            setState(NWConnectionState::Kind::failed, NWError::posix(error));
        }
        return;
    }
    if (OwnEndpoints::shared().wildcardOnPort(port_)) {
        const auto local = socket_->local_endpoint(ec);
        if (ec || OwnEndpoints::shared().wouldLoop(target, local)) {
            closeSocket();
            setState(NWConnectionState::Kind::failed, NWError::posix(ec ? ec.value() : ELOOP));
            return;
        }
    }
    connected_ = true;
    setState(NWConnectionState::Kind::ready);
    flushSends();
    if (!receives_.empty()) armRead();
}

void NWUDPConnection::cancel() {
    if (cancelled_) return;
    cancelled_ = true;
    sends_.clear();
    receives_.clear();
    closeSocket();
    setState(NWConnectionState::Kind::cancelled);
}

void NWUDPConnection::restart() {
    if (cancelled_ || !queue_) return;
    closeSocket();
    asio::post(*queue_, [self = shared_from_this()] { self->connectNow(); });
}

std::optional<asio::ip::udp::endpoint> NWUDPConnection::localEndpoint() const {
    if (!socket_) return std::nullopt;
    asio::error_code ec;
    auto endpoint = socket_->local_endpoint(ec);
    if (ec) return std::nullopt;
    return endpoint;
}

void NWUDPConnection::batch(const std::function<void()>& block) {
    ++batchDepth_;
    block();
    --batchDepth_;
    if (batchDepth_ == 0 && state_.kind == NWConnectionState::Kind::ready) flushSends();
}

void NWUDPConnection::send(Datagram content, ContentContext, bool, SendCompletion completion) {
    if (cancelled_) return;
    sends_.push_back(PendingSend{std::move(content), std::move(completion)});
    if (batchDepth_ == 0 && state_.kind == NWConnectionState::Kind::ready) flushSends();
}

namespace {

// Spares kept of each kind of ring record, per thread; they serve the next.
std::vector<std::unique_ptr<UringOperation>>& spareSends() {
    thread_local std::vector<std::unique_ptr<UringOperation>> pool;
    return pool;
}
std::vector<std::unique_ptr<UringOperation>>& spareReceives() {
    thread_local std::vector<std::unique_ptr<UringOperation>> pool;
    return pool;
}

// An upstream send on the ring: owns its datagram until the kernel has sent it. A
// failure goes to its connection, if that is still there.
struct RingSend : UringOperation {
    Datagram data;
    std::weak_ptr<NWUDPConnection> owner;
    std::uint64_t generation = 0;

    RingSend() {
        complete = &RingSend::completed;
        ended = &RingSend::spare;
    }

    static void completed(UringOperation& operation, const io_uring_cqe& cqe) {
        auto& me = static_cast<RingSend&>(operation);
        if (cqe.res >= 0) return;
        if (const auto owner = me.owner.lock()) owner->ringSendFailed(me.generation, -cqe.res);
    }

    // Spares are bounded in number and in the memory each keeps: a burst of large
    // queries does not stay pinned.
    static void spare(std::unique_ptr<UringOperation> record) {
        auto& me = static_cast<RingSend&>(*record);
        me.owner.reset();
        me.data.clear();
        if (me.data.capacity() > kMaxSpareBytes) Datagram().swap(me.data);
        if (spareSends().size() < kMaxSpareSends) spareSends().push_back(std::move(record));
    }
};

// The wait for a reply on the ring, for one socket of a connection.
struct RingReceive : UringOperation {
    std::weak_ptr<NWUDPConnection> owner;
    std::uint64_t generation = 0;

    RingReceive() {
        complete = &RingReceive::completed;
        ended = &RingReceive::spare;
    }

    static void completed(UringOperation& operation, const io_uring_cqe& cqe) {
        auto& me = static_cast<RingReceive&>(operation);
        // Held through the call: the reply may be the connection's last work.
        if (const auto owner = me.owner.lock()) owner->ringReceived(me.generation, cqe.res);
    }

    static void spare(std::unique_ptr<UringOperation> record) {
        static_cast<RingReceive&>(*record).owner.reset();
        if (spareReceives().size() < kMaxSpareSends) spareReceives().push_back(std::move(record));
    }
};

}  // namespace

void NWUDPConnection::ringSendFailed(std::uint64_t generation, int error) {
    if (ring_->stopping() || cancelled_ || generation != generation_ || receives_.empty()) return;
    auto completion = takeReceive();
    if (completion) completion(std::nullopt, std::nullopt, false, NWError::posix(error));
}

void NWUDPConnection::flushSends() {
    if (writeArmed_ || !socket_ || sends_.empty()) return;
    SendOutcomes outcomes;
    outcomes.reserve(sends_.size());
    std::size_t done = 0;
    if (ring_) {
        // In the kernel's hands at the end of the turn (the loop's wait), before the
        // sender's posted completion runs.
        const int fd = socket_->native_handle();
        const std::weak_ptr<NWUDPConnection> self = weak_from_this();
        for (auto& pending : sends_) {
            std::unique_ptr<UringOperation> record;
            auto& send = takeSpare<RingSend>(spareSends(), record);
            // The ring's record keeps the bytes; the emptied buffer it had serves a later datagram.
            std::swap(send.data, pending.content);
            Recycled<Datagram>::give(std::move(pending.content));
            send.owner = self;
            send.generation = generation_;
            const auto slot = ring_->hold(std::move(record), false);
            io_uring_prep_send(ring_->entry(slot), fd, send.data.data(), send.data.size(), 0);
            outcomes.emplace_back(std::move(pending.completion), std::nullopt);
        }
        // Handed to the ring: counted as sent.
        done = sends_.size();
    }
    const int fd = socket_->native_handle();
    while (done < sends_.size()) {
        const std::size_t count = std::min(kSendBatch, sends_.size() - done);
        // Only the first `count` entries are used, each set here: no clearing of all 64.
        std::array<mmsghdr, kSendBatch> messages;
        std::array<iovec, kSendBatch> vectors;
        for (std::size_t i = 0; i < count; ++i) {
            auto& content = sends_[done + i].content;
            vectors[i] = iovec{content.data(), content.size()};
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = ::sendmmsg(fd, messages.data(), static_cast<unsigned>(count), MSG_DONTWAIT);
        if (sent > 0) {
            for (int i = 0; i < sent; ++i)
                outcomes.emplace_back(std::move(sends_[done + i].completion), std::nullopt);
            done += static_cast<std::size_t>(sent);
            continue;
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) break;
        // The first datagram of this round failed; report it and go on with the rest.
        outcomes.emplace_back(std::move(sends_[done].completion), NWError::posix(error));
        ++done;
    }
    for (std::size_t i = 0; i < done; ++i) Recycled<Datagram>::give(std::move(sends_[i].content));
    sends_.erase(sends_.begin(), sends_.begin() + static_cast<std::ptrdiff_t>(done));
    if (!sends_.empty()) armWrite();
    if (outcomes.empty()) return;
    if (delivering_ > 0) {
        if (heldOutcomes_.empty()) {
            heldOutcomes_ = std::move(outcomes);
        } else {
            std::move(outcomes.begin(), outcomes.end(), std::back_inserter(heldOutcomes_));
        }
        return;
    }
    asio::post(*queue_, [self = shared_from_this(), outcomes = std::move(outcomes)]() mutable {
        self->complete(outcomes);
    });
}

void NWUDPConnection::armWrite() {
    armWait(asio::socket_base::wait_write, &NWUDPConnection::writeArmed_, &NWUDPConnection::flushSends);
}

void NWUDPConnection::armWait(asio::socket_base::wait_type type, bool NWUDPConnection::*armed,
                              void (NWUDPConnection::*ready)()) {
    if (this->*armed || !socket_) return;
    this->*armed = true;
    // On this connection's queue: a reused socket's own executor is its first owner's.
    socket_->async_wait(
        type, asio::bind_executor(*queue_, [self = shared_from_this(), generation = generation_, armed,
                                            ready](const asio::error_code& ec) {
            if (self->cancelled_ || generation != self->generation_) return;
            (*self).*armed = false;
            if (!ec) ((*self).*ready)();
        }));
}

void NWUDPConnection::receiveMessage(ReceiveCompletion completion) {
    if (cancelled_) return;
    receives_.push_back(std::move(completion));
    if (state_.kind == NWConnectionState::Kind::ready) armRead();
}

void NWUDPConnection::armRead() {
    if (ring_) {
        armRingRead();
        return;
    }
    armWait(asio::socket_base::wait_read, &NWUDPConnection::readArmed_, &NWUDPConnection::onReadable);
}

NWConnection::ReceiveCompletion NWUDPConnection::takeReceive() {
    auto completion = std::move(receives_.front());
    receives_.erase(receives_.begin());  // a handful at most: one per datagram of a batch
    return completion;
}

void NWUDPConnection::onReadable() {
    thread_local std::array<std::uint8_t, kMaxReply> scratch;
    while (!cancelled_ && socket_ && !receives_.empty()) {
        asio::ip::udp::endpoint from;
        socklen_t fromLength = static_cast<socklen_t>(from.capacity());
        const ssize_t got = ::recvfrom(socket_->native_handle(), scratch.data(), scratch.size(), MSG_DONTWAIT,
                                       from.data(), &fromLength);
        if (got >= 0) {
            // A connected socket takes only its peer's datagrams, but one that slipped
            // in just as a reused socket changed peers is not this association's.
            from.resize(fromLength);
            if (from != target_) continue;
        }
        if (got < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) break;
            auto completion = takeReceive();
            if (completion) completion(std::nullopt, std::nullopt, false, NWError::posix(error));
            continue;
        }
        auto completion = takeReceive();
        if (completion) {
            auto reply = Recycled<Datagram>::take();
            reply.assign(scratch.begin(), scratch.begin() + got);
            completion(std::move(reply), ContentContext::defaultMessage, true, std::nullopt);
        }
    }
    if (!cancelled_ && !receives_.empty()) armRead();
}

void NWUDPConnection::armRingRead() {
    // A wait of an earlier socket still being cancelled arms this one when it ends.
    if (ringReceive_ || !socket_ || receives_.empty() || cancelled_ || ring_->stopping()) return;
    std::unique_ptr<UringOperation> record;
    auto& receive = takeSpare<RingReceive>(spareReceives(), record);
    receive.owner = weak_from_this();
    receive.generation = generation_;
    ringReceive_ = ring_->hold(std::move(record), false);
    // The ring waits for the reply, and the reply is read as on the epoll path: it
    // takes none of the ring's provided buffers, which the listeners' datagrams fill,
    // so a reply never waits behind clients' datagrams for room.
    io_uring_prep_poll_add(ring_->entry(ringReceive_), socket_->native_handle(), POLLIN);
}

void NWUDPConnection::ringReceived(std::uint64_t generation, int result) {
    ringReceive_ = UringSlot{};
    if (ring_->stopping() || cancelled_) return;
    if (generation != generation_ || !socket_) {
        // The socket this wait was for has gone; the current one may want one.
        armRingRead();
        return;
    }
    if (result < 0 && result != -ECANCELED && result != -EINTR && !receives_.empty()) {
        auto completion = takeReceive();
        if (completion) completion(std::nullopt, std::nullopt, false, NWError::posix(-result));
    }
    // Reads what is there (and waits again while receives are pending).
    onReadable();
}

}  // namespace platform::ne
