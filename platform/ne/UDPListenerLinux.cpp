#include "platform/ne/UDPListenerLinux.hpp"

#include <liburing.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

#include "platform/ne/IoLoop.hpp"
#include "platform/ne/UringLoop.hpp"

namespace platform::ne {

namespace {

constexpr std::size_t kSlot = 65536;
// Room for the queries of a burst, or of a moment the thread spends elsewhere: the
// default buffer (about 200 KB) holds a few hundred small datagrams, a few
// milliseconds of a busy network's queries. Not much more: under a load beyond
// what the proxy can serve, a deeper queue would only answer everything later.
constexpr int kReceiveBuffer = 1 << 20;
constexpr std::size_t kControlSlot = 64;  // >= CMSG_SPACE(sizeof(in6_pktinfo)), a multiple of 8
static_assert(CMSG_SPACE(sizeof(in6_pktinfo)) <= kControlSlot);
static_assert(CMSG_SPACE(sizeof(in_pktinfo)) <= kControlSlot);

void check(int result, const char* what, const asio::ip::udp::endpoint& address) {
    if (result == 0) return;
    const int error = errno;
    throw std::system_error(
        error, std::generic_category(),
        std::string(what) + " " + address.address().to_string() + " port " + std::to_string(address.port()));
}

asio::ip::udp::endpoint endpointFrom(const sockaddr_storage& storage, socklen_t length) {
    asio::ip::udp::endpoint endpoint;
    if (length > endpoint.capacity()) length = static_cast<socklen_t>(endpoint.capacity());
    std::memcpy(endpoint.data(), &storage, length);
    endpoint.resize(length);
    return endpoint;
}

// The destination address from the packet-info control message, if any.
bool localFromControl(msghdr& header, std::uint16_t port, asio::ip::udp::endpoint& local) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            asio::ip::address_v4::bytes_type bytes;
            std::memcpy(bytes.data(), &info.ipi_addr, bytes.size());
            local = asio::ip::udp::endpoint(asio::ip::address_v4(bytes), port);
            return true;
        }
        if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), &info.ipi6_addr, bytes.size());
            local = asio::ip::udp::endpoint(asio::ip::address_v6(bytes), port);
            return true;
        }
    }
    return false;
}

// Writes `info` as the one control message of `header`, whose control buffer is
// zeroed and large enough.
template <typename Info>
void putPacketInfo(msghdr& header, int level, int type, const Info& info) {
    cmsghdr* c = CMSG_FIRSTHDR(&header);
    c->cmsg_level = level;
    c->cmsg_type = type;
    c->cmsg_len = CMSG_LEN(sizeof info);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    header.msg_controllen = CMSG_SPACE(sizeof info);
}

// The receiving thread's slots, shared by every listener it reads (a thread runs one
// receive at a time, and its caller is done with one batch before the next).
// Allocated uncleared: a slot's pages become resident only once a datagram that
// long has filled them.
struct ReceiveArea {
    std::size_t capacity = 0;
    std::unique_ptr<std::uint8_t[]> buffers;
    std::vector<std::uint8_t> control;
    std::vector<mmsghdr> messages;
    std::vector<iovec> vectors;
    std::vector<sockaddr_storage> sources;
    std::vector<UDPListener::Received> received;

    std::uint8_t* slot(std::size_t i) const { return buffers.get() + i * kSlot; }

    void reserve(std::size_t batch) {
        if (batch <= capacity) return;
        buffers = std::make_unique_for_overwrite<std::uint8_t[]>(batch * kSlot);
        control.assign(batch * kControlSlot, 0);
        messages.assign(batch, mmsghdr{});
        vectors.resize(batch);
        sources.resize(batch);
        received.reserve(batch);
        for (std::size_t i = 0; i < batch; ++i) {
            vectors[i] = iovec{slot(i), kSlot};
            auto& header = messages[i].msg_hdr;
            header.msg_name = &sources[i];
            header.msg_iov = &vectors[i];
            header.msg_iovlen = 1;
        }
        capacity = batch;
    }
};

ReceiveArea& receiveArea(std::size_t batch) {
    thread_local ReceiveArea area;
    area.reserve(batch);
    return area;
}

}  // namespace

// The listener's receive on the ring: armed while a reader waits (re-armed when the
// kernel ends it, as it does when the provided buffers run out: once a buffer comes
// back, never at once). A reader that stops waiting (a host that leaves its socket
// unread for a while) stops the receive too, and what had arrived is copied out of
// the ring's buffers, which go back to the kernel for the thread's other sockets:
// what comes meanwhile waits in the socket's own buffer, as on the epoll path. The
// ring holds it, in a slot the listener owns, and until the kernel has reported its
// end: it outlives its listener that long.
struct UDPListener::Multishot : UringOperation {
    struct Arrived {
        unsigned buffer;
        std::size_t length;
    };
    UringLoop* loop;
    UringSlot slot;         // the ring's, which holds it
    UDPListener* listener;  // null once the listener is gone
    int fd;
    msghdr shape{};  // how much room for the source address and control messages
    bool armed = false;
    bool cancelled = false;        // for good: never armed again
    bool paused = false;           // the reader stopped waiting: the receive ends
    bool telling = false;          // the reader's handler runs
    std::vector<Arrived> arrived;  // not handed over yet
    std::vector<unsigned> held;    // handed over by the last receive()
    // What arrived in a buffer while (or just before) the receive was stopped,
    // copied out of it, oldest first; and the copies the last receive() handed over.
    std::vector<Datagram> backlog;
    std::vector<Datagram> servedBacklog;
    std::function<void(const asio::error_code&)> handler;
    std::function<void()> onEnded;  // the cancel's, once the kernel's receive has ended
    struct Tell : UringDeferred {
        Multishot* owner = nullptr;
    };
    Tell tell;
    // Armed again once a buffer comes back, after the kernel ended the receive for
    // want of one.
    Tell rearm;
    Tell drop;  // at the io_context's shutdown

    Multishot(UringLoop& ring, UDPListener& owner, bool wantControl, int descriptor)
        : loop(&ring), listener(&owner), fd(descriptor) {
        complete = &Multishot::completed;
        tell.owner = this;
        tell.run = &Multishot::told;
        rearm.owner = this;
        rearm.run = &Multishot::rearmed;
        drop.owner = this;
        drop.run = &Multishot::dropped;
        // Rounded up to 8: the kernel puts the control messages right behind the
        // address, and a cmsghdr wants that alignment.
        shape.msg_namelen = (sizeof(sockaddr_in6) + 7) & ~std::size_t{7};
        shape.msg_controllen = wantControl ? kControlSlot : 0;
        loop->atShutdown(drop);
    }

    ~Multishot() {
        // Off every list of the ring: a re-arm waiting for a buffer, a telling queued.
        loop->forget(drop);
        loop->forget(tell);
        loop->forget(rearm);
    }
    Multishot(const Multishot&) = delete;
    Multishot& operator=(const Multishot&) = delete;

    // The io_context is going: the reader's handler (which may hold the listener)
    // goes, as a waiting handler would on the epoll path.
    static void dropped(UringDeferred& work) {
        auto& me = *static_cast<Tell&>(work).owner;
        me.loop->forget(work);
        auto handler = std::move(me.handler);
        me.handler = nullptr;
        me.onEnded = nullptr;
        me.loop->forget(me.tell);
        me.loop->forget(me.rearm);
        handler = nullptr;  // may end the listener, and with it this record
    }

    void arm() {
        if (armed || cancelled || paused || !listener || loop->stopping()) return;
        armed = true;
        io_uring_sqe* sqe = loop->entry(slot);
        io_uring_prep_recvmsg_multishot(sqe, fd, &shape, 0);
        sqe->flags |= IOSQE_BUFFER_SELECT;
        sqe->buf_group = UringLoop::kBufferGroup;
    }

    // Ends the kernel's receive, if armed (its last completion still comes).
    void disarm() {
        if (armed && !loop->stopping()) loop->cancel(slot);
    }

    void giveBack() {
        for (const unsigned buffer : held) loop->release(buffer);
        held.clear();
        servedBacklog.clear();
    }

    // Copies what arrived out of the ring's buffers and gives the buffers back.
    void copyOut() {
        for (const auto& item : arrived) {
            const auto* data = loop->buffer(item.buffer);
            backlog.emplace_back(data, data + item.length);
            loop->release(item.buffer);
        }
        arrived.clear();
    }

    // The reader stopped waiting: the receive ends and the buffers go back.
    void pause() {
        if (paused || cancelled) return;
        paused = true;
        disarm();
        giveBack();
        copyOut();
    }

    // For good (the listener's cancel or end): nothing kept, never armed again.
    void stop() {
        cancelled = true;
        disarm();
        giveBack();
        for (const auto& item : arrived) loop->release(item.buffer);
        arrived.clear();
        backlog.clear();
        loop->forget(rearm);
    }

    bool pending() const { return !arrived.empty() || !backlog.empty(); }

    // Tells the reader once, after the rest of this turn's completions, so that one
    // call takes them all.
    void notify() {
        if (tell.queued || !handler || !pending() || !listener || cancelled) return;
        loop->defer(tell);
    }

    static void rearmed(UringDeferred& work) {
        auto& me = *static_cast<Tell&>(work).owner;
        if (me.loop->stopping() || !me.listener) return;
        me.arm();
    }

    static void told(UringDeferred& work) {
        auto& me = *static_cast<Tell&>(work).owner;
        if (me.loop->stopping() || !me.listener || !me.handler || !me.pending() || me.cancelled) return;
        // The handler may end the listener: the record stays through the call.
        const UringLoop::InUse inUse(*me.loop, me.slot);
        auto handler = std::move(me.handler);
        me.handler = nullptr;
        me.telling = true;
        handler(asio::error_code());
        me.telling = false;
        // A reader that did not wait again has stopped reading for now.
        if (!me.handler && me.listener) me.pause();
    }

    static void completed(UringOperation& operation, const io_uring_cqe& cqe) {
        auto& me = static_cast<Multishot&>(operation);
        const bool more = cqe.flags & IORING_CQE_F_MORE;
        if (!more) me.armed = false;
        if (!more && me.cancelled && me.onEnded && !me.loop->stopping()) {
            auto ended = std::move(me.onEnded);
            me.onEnded = nullptr;
            ended();
        }
        const bool usable = me.listener && !me.loop->stopping() && !me.cancelled;
        if (cqe.flags & IORING_CQE_F_BUFFER) {
            const unsigned buffer = cqe.flags >> IORING_CQE_BUFFER_SHIFT;
            if (cqe.res >= 0 && usable) {
                me.arrived.push_back(Arrived{buffer, static_cast<std::size_t>(cqe.res)});
                // Stopped, but the datagram came first: kept, and its buffer goes back.
                if (me.paused) me.copyOut();
            } else {
                me.loop->release(buffer);
            }
        }
        if (!usable) return;
        if (!more && !me.paused) {
            if (cqe.res == -ENOBUFS) {
                // Armed again by the reader's next wait, or else as soon as a buffer
                // is back; never at once, which would only end the same way.
                me.loop->whenBuffersReturn(me.rearm);
            } else if (cqe.res != -ECANCELED) {
                me.arm();
            }
        }
        me.notify();
    }
};

UDPListener::~UDPListener() {
    if (!multishot_) return;
    multishot_->handler = nullptr;
    if (!multishot_->loop->stopping()) {
        // The kernel holds the socket while the receive is armed: ended now, so that
        // the port is free again as soon as this listener is gone.
        multishot_->stop();
        multishot_->loop->submit();
    }
    multishot_->listener = nullptr;
    multishot_->loop->letGo(multishot_->slot);
    ::close(ringDescriptor_);
}

UDPListener::UDPListener(asio::io_context& io, const asio::ip::udp::endpoint& address, bool reusePort,
                         std::size_t batchSize)
    : io_(io), socket_(io), batchSize_(batchSize == 0 ? 1 : batchSize) {
    asio::error_code ec;
    // Made here and handed to Asio as a descriptor that may have duplicates: other
    // threads' handles on this socket keep it open after this one closes, so Asio
    // must take it out of its epoll set itself instead of counting on the close.
    const int made = ::socket(address.protocol().family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (made < 0) check(-1, "cannot open a UDP socket for", address);
    socket_.assign(address.protocol(), made, ec);
    if (ec) {
        ::close(made);
        throw std::system_error(ec, "cannot open a UDP socket for " + address.address().to_string());
    }
    const int fd = socket_.native_handle();
    const int one = 1;
    // No SO_REUSEADDR: on UDP it lets any other socket that sets it bind our port
    // too and take queries. Only the host's own sockets share, through SO_REUSEPORT.
    if (reusePort) {
        check(::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one), "cannot set SO_REUSEPORT on",
              address);
    }
    // Beyond the system's limit only with the right to raise it; else as much as the
    // limit allows. Either way the socket still works, so failures are not errors.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    }
    // The same room for a burst of replies: a full send buffer is not waited for.
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    }
    if (address.address().is_v6()) {
        check(::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one), "cannot set IPV6_V6ONLY on",
              address);
    }
    if (address.address().is_unspecified()) {
        if (address.address().is_v4()) {
            check(::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one), "cannot set IP_PKTINFO on",
                  address);
        } else {
            check(::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one),
                  "cannot set IPV6_RECVPKTINFO on", address);
        }
    }
    socket_.bind(address, ec);
    if (ec) {
        throw std::system_error(ec, "cannot listen on " + address.address().to_string() + " port " +
                                        std::to_string(address.port()));
    }
    socket_.non_blocking(true, ec);
    bound_ = socket_.local_endpoint(ec);
    if (ec) throw std::system_error(ec, "cannot read the bound address");
    if (auto* loop = UringLoop::of(io)) {
        // Out of the event loop's epoll set: on the ring, a datagram's arrival would
        // only wake the thread once more, for nothing.
        ringDescriptor_ = socket_.release(ec);
        if (ec) throw std::system_error(ec, "cannot hand the listening socket to io_uring");
        auto record = std::make_unique<Multishot>(*loop, *this, wildcard(), ringDescriptor_);
        multishot_ = record.get();
        multishot_->slot = loop->hold(std::move(record), true);
    }
}

int UDPListener::descriptor() { return ringDescriptor_ >= 0 ? ringDescriptor_ : socket_.native_handle(); }

bool UDPListener::takeFromRing(const std::uint8_t* record, std::size_t length, std::size_t& truncated,
                               std::vector<Received>& received) {
    auto& ring = *multishot_;
    auto* out =
        io_uring_recvmsg_validate(const_cast<std::uint8_t*>(record), static_cast<int>(length), &ring.shape);
    if (!out || (out->flags & (MSG_TRUNC | MSG_CTRUNC)) || out->namelen > ring.shape.msg_namelen) {
        ++truncated;
        return false;
    }
    Received item;
    item.data = std::span<const std::uint8_t>(
        static_cast<const std::uint8_t*>(io_uring_recvmsg_payload(out, &ring.shape)),
        io_uring_recvmsg_payload_length(out, static_cast<int>(length), &ring.shape));
    item.source.resize(out->namelen);
    std::memcpy(item.source.data(), io_uring_recvmsg_name(out), out->namelen);
    item.local = bound_;
    if (wildcard()) {
        msghdr header{};
        header.msg_control = io_uring_recvmsg_cmsg_firsthdr(out, &ring.shape);
        header.msg_controllen = out->controllen;
        if (!header.msg_control || !localFromControl(header, bound_.port(), item.local)) return false;
    }
    received.push_back(item);
    return true;
}

std::vector<UDPListener::Received>& UDPListener::receiveFromRing(std::size_t& truncated) {
    auto& area = receiveArea(batchSize_);
    auto& received = area.received;
    received.clear();
    auto& ring = *multishot_;
    ring.giveBack();
    if (ring.cancelled) return received;
    if (!ring.backlog.empty()) {
        // What was copied out while the receive was stopped, first: it came first.
        const std::size_t take = std::min(ring.backlog.size(), batchSize_);
        for (std::size_t i = 0; i < take; ++i) ring.servedBacklog.push_back(std::move(ring.backlog[i]));
        ring.backlog.erase(ring.backlog.begin(), ring.backlog.begin() + static_cast<std::ptrdiff_t>(take));
        for (const auto& copy : ring.servedBacklog)
            takeFromRing(copy.data(), copy.size(), truncated, received);
        return received;
    }
    std::size_t used = 0;
    for (; used < ring.arrived.size() && received.size() < batchSize_; ++used) {
        const auto& arrived = ring.arrived[used];
        ring.held.push_back(arrived.buffer);
        takeFromRing(ring.loop->buffer(arrived.buffer), arrived.length, truncated, received);
    }
    ring.arrived.erase(ring.arrived.begin(), ring.arrived.begin() + static_cast<std::ptrdiff_t>(used));
    return received;
}

std::vector<UDPListener::Received>& UDPListener::receive(std::size_t& truncated) {
    if (multishot_) return receiveFromRing(truncated);
    auto& area = receiveArea(batchSize_);
    const bool wantControl = wildcard();
    for (std::size_t i = 0; i < batchSize_; ++i) {
        // recvmmsg writes back the lengths; set them afresh for every call.
        auto& header = area.messages[i].msg_hdr;
        header.msg_namelen = sizeof(sockaddr_storage);
        header.msg_control = wantControl ? area.control.data() + i * kControlSlot : nullptr;
        header.msg_controllen = wantControl ? kControlSlot : 0;
        header.msg_flags = 0;
    }
    int got;
    do {
        got = ::recvmmsg(descriptor(), area.messages.data(), static_cast<unsigned>(batchSize_), MSG_DONTWAIT,
                         nullptr);
    } while (got < 0 && errno == EINTR);
    auto& received = area.received;
    received.clear();
    for (int i = 0; i < got; ++i) {
        auto& header = area.messages[i].msg_hdr;
        if (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) {
            ++truncated;
            continue;
        }
        Received item;
        item.data =
            std::span<const std::uint8_t>(area.slot(static_cast<std::size_t>(i)), area.messages[i].msg_len);
        item.source = endpointFrom(area.sources[i], header.msg_namelen);
        item.local = bound_;
        if (wantControl && !localFromControl(header, bound_.port(), item.local)) continue;
        received.push_back(item);
    }
    return received;
}

void UDPListener::waitReadable(std::function<void(const asio::error_code&)> handler) {
    if (multishot_) {
        auto& ring = *multishot_;
        if (ring.cancelled) {
            // As a cancelled socket's wait: aborted, in a turn of its own.
            IoLoop::of(io_).post([handler = std::move(handler)] { handler(asio::error::operation_aborted); });
            return;
        }
        ring.giveBack();
        ring.handler = std::move(handler);
        ring.paused = false;
        if (!ring.armed) ring.arm();
        ring.notify();
        return;
    }
    socket_.async_wait(asio::socket_base::wait_read, std::move(handler));
}

void UDPListener::cancel(std::function<void()> ended) {
    if (multishot_) {
        // Called from any thread: the ring is the listener's thread's.
        IoLoop::of(io_).post(
            [loop = multishot_->loop, slot = multishot_->slot, ended = std::move(ended)]() mutable {
                if (loop->stopping()) return;
                auto* ring = loop->find<Multishot>(slot);
                if (!ring) {
                    // The listener went, and the kernel has reported its receive's end.
                    if (ended) ended();
                    return;
                }
                const UringLoop::InUse inUse(*loop, slot);
                // For good: the receive ends, what arrived and what was handed over go
                // back to the ring, and nothing arms it again.
                ring->stop();
                if (ended) {
                    if (ring->armed) {
                        ring->onEnded = std::move(ended);
                    } else {
                        ended();
                    }
                }
                if (auto handler = std::move(ring->handler)) {
                    ring->handler = nullptr;
                    handler(asio::error::operation_aborted);
                }
            });
        return;
    }
    asio::error_code ignored;
    socket_.cancel(ignored);
    if (ended) IoLoop::of(io_).post(std::move(ended));
}

int UDPListener::steer(unsigned sockets) {
    const int fd = descriptor();
    if (sockets == 0) {
        const int unused = 0;
        if (::setsockopt(fd, SOL_SOCKET, SO_DETACH_REUSEPORT_BPF, &unused, sizeof unused) == 0) return 0;
        return errno == ENOENT ? 0 : errno;
    }
    // The kernel runs a group's program on the UDP payload and takes the member with
    // the index it returns: here the query's id plus the client's port (read back
    // from the UDP header, behind an IPv4 header without options or an IPv6 header
    // without extensions; any other two bytes would do as well), so that clients
    // that all use one id still spread, and one client with many queries in flight
    // too. A load beyond a short datagram's end ends the program with 0 (the first
    // member); an index past the group's last member (should the group be smaller
    // than asked) falls back to the kernel's hash, so no datagram is lost.
    const std::uint32_t sourcePort = SKF_NET_OFF + (bound_.address().is_v4() ? 20 : 40);
    std::array<sock_filter, 6> code{{
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 0),
        BPF_STMT(BPF_MISC | BPF_TAX, 0),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, sourcePort),
        BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),
        BPF_STMT(BPF_ALU | BPF_MOD | BPF_K, sockets),
        BPF_STMT(BPF_RET | BPF_A, 0),
    }};
    sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &program, sizeof program) != 0) return errno;
    return 0;
}

int UDPListener::sendFrom(const std::vector<Datagram>& datagrams,
                          const std::vector<const asio::ip::udp::endpoint*>& destinations,
                          const asio::ip::udp::endpoint& from) {
    if (multishot_ && multishot_->loop->inThread() && !multishot_->loop->stopping()) {
        sendOnRing(datagrams, destinations, from, {});
        return 0;
    }
    const std::size_t total = std::min(datagrams.size(), destinations.size());
    constexpr std::size_t kInline = 8;
    // Left uninitialised: only the first `total` entries are used, each set below.
    std::array<mmsghdr, kInline> inlineMessages;
    std::array<iovec, kInline> inlineVectors;
    std::array<std::array<std::uint8_t, kControlSlot>, kInline> inlineControl;
    std::vector<mmsghdr> heapMessages;
    std::vector<iovec> heapVectors;
    std::vector<std::array<std::uint8_t, kControlSlot>> heapControl;
    mmsghdr* messages = inlineMessages.data();
    iovec* vectors = inlineVectors.data();
    std::array<std::uint8_t, kControlSlot>* control = inlineControl.data();
    if (total > kInline) {
        heapMessages.resize(total);
        heapVectors.resize(total);
        heapControl.resize(total);
        messages = heapMessages.data();
        vectors = heapVectors.data();
        control = heapControl.data();
    }
    for (std::size_t i = 0; i < total; ++i) {
        vectors[i] = iovec{const_cast<std::uint8_t*>(datagrams[i].data()), datagrams[i].size()};
        messages[i] = mmsghdr{};
        auto& header = messages[i].msg_hdr;
        header.msg_name = const_cast<sockaddr*>(destinations[i]->data());
        header.msg_namelen = static_cast<socklen_t>(destinations[i]->size());
        header.msg_iov = &vectors[i];
        header.msg_iovlen = 1;
        if (!wildcard()) continue;
        control[i].fill(0);
        header.msg_control = control[i].data();
        header.msg_controllen = kControlSlot;
        if (from.address().is_v4()) {
            in_pktinfo info{};
            const auto bytes = from.address().to_v4().to_bytes();
            std::memcpy(&info.ipi_spec_dst, bytes.data(), bytes.size());
            putPacketInfo(header, IPPROTO_IP, IP_PKTINFO, info);
        } else {
            in6_pktinfo info{};
            const auto bytes = from.address().to_v6().to_bytes();
            std::memcpy(&info.ipi6_addr, bytes.data(), bytes.size());
            putPacketInfo(header, IPPROTO_IPV6, IPV6_PKTINFO, info);
        }
    }
    int firstError = 0;
    std::size_t done = 0;
    while (done < total) {
        const int sent =
            ::sendmmsg(descriptor(), messages + done, static_cast<unsigned>(total - done), MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        const int error = errno;
        if (error == EINTR) continue;
        // A full send buffer is not waited for: the io thread never sleeps, and the
        // client asks again as for any datagram lost on the way. The writer hears of it.
        if (firstError == 0) firstError = error;
        ++done;  // that datagram is lost; the rest still go
    }
    return firstError;
}

void UDPListener::sendFrom(const std::vector<Datagram>& datagrams,
                           const std::vector<const asio::ip::udp::endpoint*>& destinations,
                           const asio::ip::udp::endpoint& from, SendDone done) {
    if (multishot_ && multishot_->loop->inThread() && !multishot_->loop->stopping()) {
        sendOnRing(datagrams, destinations, from, std::move(done));
        return;
    }
    const int error = sendFrom(datagrams, destinations, from);
    if (done) done(error);
}

namespace {

// The replies of one write through the ring: the writer hears once the last has
// been sent, with the first error.
struct ClientSendGroup {
    std::size_t pending = 0;
    int error = 0;
    UDPListener::SendDone done;
};

// Spare records kept per thread at most, and the largest reply whose memory a
// spare keeps: a burst of large replies does not stay pinned.
constexpr std::size_t kMaxSpareSends = 256;
constexpr std::size_t kMaxSpareBytes = 4096;

std::vector<std::unique_ptr<UringOperation>>& clientSendPool() {
    thread_local std::vector<std::unique_ptr<UringOperation>> pool;
    return pool;
}

// A reply on its way to a client through the ring: it owns the bytes and the
// header until the kernel has sent them, in a slot of the ring's. Kept per thread
// and reused.
struct ClientSend : UringOperation {
    msghdr header{};
    iovec vector{};
    sockaddr_storage destination{};
    std::array<std::uint8_t, kControlSlot> control{};
    Datagram data;
    std::shared_ptr<ClientSendGroup> group;
    UringLoop* loop = nullptr;

    ClientSend() {
        complete = &ClientSend::completed;
        ended = &ClientSend::spare;
    }

    static void completed(UringOperation& operation, const io_uring_cqe& cqe) {
        auto& me = static_cast<ClientSend&>(operation);
        auto group = std::move(me.group);
        // A ring that shuts down tells no writer: they are going.
        if (!group || me.loop->stopping()) return;
        if (cqe.res < 0 && group->error == 0) group->error = -cqe.res;
        if (--group->pending == 0 && group->done) group->done(group->error);
    }

    // Not while the ring shuts down: it may be reaped by another thread, whose pool
    // this is not.
    static void spare(std::unique_ptr<UringOperation> record) {
        auto& me = static_cast<ClientSend&>(*record);
        if (clientSendPool().size() >= kMaxSpareSends) return;
        if (me.data.capacity() > kMaxSpareBytes) Datagram().swap(me.data);
        clientSendPool().push_back(std::move(record));
    }
};

}  // namespace

std::pair<std::size_t, std::size_t> UDPListener::spareRingSends() {
    std::size_t bytes = 0;
    for (const auto& send : clientSendPool()) bytes += static_cast<const ClientSend&>(*send).data.capacity();
    return {clientSendPool().size(), bytes};
}

void UDPListener::sendOnRing(const std::vector<Datagram>& datagrams,
                             const std::vector<const asio::ip::udp::endpoint*>& destinations,
                             const asio::ip::udp::endpoint& from, SendDone done) {
    const std::size_t total = std::min(datagrams.size(), destinations.size());
    if (total == 0) {
        if (done) done(0);
        return;
    }
    std::shared_ptr<ClientSendGroup> group;
    if (done) {
        group = std::make_shared<ClientSendGroup>();
        group->pending = total;
        group->done = std::move(done);
    }
    auto& pool = clientSendPool();
    auto& loop = *multishot_->loop;
    for (std::size_t i = 0; i < total; ++i) {
        std::unique_ptr<UringOperation> record;
        auto* send = &takeSpare<ClientSend>(pool, record);
        send->group = group;
        send->loop = &loop;
        send->data.assign(datagrams[i].begin(), datagrams[i].end());
        send->vector = iovec{send->data.data(), send->data.size()};
        const auto length = std::min<std::size_t>(destinations[i]->size(), sizeof send->destination);
        std::memcpy(&send->destination, destinations[i]->data(), length);
        send->header = msghdr{};
        send->header.msg_name = &send->destination;
        send->header.msg_namelen = static_cast<socklen_t>(length);
        send->header.msg_iov = &send->vector;
        send->header.msg_iovlen = 1;
        if (wildcard()) {
            send->control.fill(0);
            send->header.msg_control = send->control.data();
            send->header.msg_controllen = kControlSlot;
            if (from.address().is_v4()) {
                in_pktinfo info{};
                const auto bytes = from.address().to_v4().to_bytes();
                std::memcpy(&info.ipi_spec_dst, bytes.data(), bytes.size());
                putPacketInfo(send->header, IPPROTO_IP, IP_PKTINFO, info);
            } else {
                in6_pktinfo info{};
                const auto bytes = from.address().to_v6().to_bytes();
                std::memcpy(&info.ipi6_addr, bytes.data(), bytes.size());
                putPacketInfo(send->header, IPPROTO_IPV6, IPV6_PKTINFO, info);
            }
        }
        io_uring_prep_sendmsg(loop.entry(loop.hold(std::move(record), false)), descriptor(), &send->header,
                              0);
    }
    // In the kernel's hands at the end of this turn of the loop, with whatever else
    // the turn queued; the writer hears once the kernel has sent them.
}

}  // namespace platform::ne
