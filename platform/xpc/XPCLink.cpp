// The socket link of a connection: connecting on demand, writing the queued output, reading
// frames, holding a bounded peer's reading back, and the partial-frame timer. The socket is read
// and written on the reactor thread only; sendReplyFrame() and callFinished() may be called from
// any thread, and the ...Locked routines run under the connection's lock.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/Clock.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/Reactor.hpp"
#include "platform/xpc/XPCConnection.hpp"
#include "platform/xpc/XPCConnectionState.hpp"
#include "platform/xpc/XPCServiceAddress.hpp"

namespace platform {

using xpcdetail::kMaxQueuedOutput;

void xpcdetail::closeSocket(int fd, std::uint64_t token) {
    if (fd < 0) return;
    auto& reactor = Reactor::instance();
    auto close = [fd, token, &reactor] {
        if (token != 0) reactor.remove(token, fd);
        ::close(fd);
    };
    if (reactor.onReactorThread()) {
        close();
    } else {
        reactor.post(close);
    }
}

void XPCConnection::sendReplyFrame(std::string frame) {
    std::string overflow;
    {
        auto s = core_->state.lock();
        // A reply for a peer that has gone away has nobody to reach.
        if (s->link != LinkState::Link::connected) return;
        s->outBytes += frame.size();
        s->out.push_back({std::move(frame), 0, {}});
        if (s->outBytes > kMaxQueuedOutput) {
            overflow = "more than " + std::to_string(kMaxQueuedOutput) + " bytes wait to be sent";
        } else if (!s->flushScheduled) {
            s->flushScheduled = true;
            Reactor::instance().post([self = shared_from_this()] { self->flushOnReactor(); });
        }
    }
    if (!overflow.empty()) invalidateWith(xpcInvalidError(serviceName_, overflow), overflow);
}

void XPCConnection::flushOnReactor() {
    std::string failure;
    bool lost = false;
    {
        auto s = core_->state.lock();
        s->flushScheduled = false;
        if (s->link == LinkState::Link::invalid || !s->running()) return;
        if (s->link == LinkState::Link::idle) {
            if (s->out.empty()) return;
            failure = connectLocked(*s);
        }
        if (failure.empty()) lost = !writeLocked(*s);
    }
    if (!failure.empty()) {
        invalidateWith(xpcInvalidError(serviceName_, failure), {});
    } else if (lost) {
        peerLost();
    }
}

std::string XPCConnection::connectLocked(LinkState& s) {
    const XPCServiceAddress address = xpcServiceAddress(serviceName_);
    if (!address.error.empty()) return address.error;
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return std::string("cannot create a socket: ") + std::strerror(errno);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.address), sizeof address.address) !=
        0) {
        const int saved = errno;
        return (saved == EAGAIN ? "the listener at " + address.path + " is not accepting"
                                : "no listener at " + address.path) +
               " (" + std::strerror(saved) + ")";
    }
    const std::uint64_t token =
        Reactor::instance().add(fd.get(), EPOLLIN, std::make_shared<SocketHandler>(shared_from_this()));
    if (token == 0) return std::string("cannot watch the socket: ") + std::strerror(errno);
    s.fd = fd.release();
    s.token = token;
    s.wantWrite = false;
    s.link = LinkState::Link::connected;
    core_->reader.reset();
    return {};
}

bool XPCConnection::writeLocked(LinkState& s) {
    bool lost = false;
    while (!s.out.empty()) {
        auto& f = s.out.front();
        const ssize_t n =
            ::send(s.fd, f.bytes.data() + f.written, f.bytes.size() - f.written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            lost = true;
            break;
        }
        f.written += std::size_t(n);
        if (f.written == f.bytes.size()) {
            s.outBytes -= f.bytes.size();
            s.out.pop_front();
        }
    }
    const bool want = !lost && !s.out.empty();
    if (want != s.wantWrite) {
        s.wantWrite = want;
        Reactor::instance().modify(s.token, s.fd, s.interest());
    }
    if (!lost) resumeReadingIfDueLocked(s);
    return !lost;
}

void XPCConnection::onSocketEvents(std::uint64_t token, std::uint32_t events) {
    bool paused = false;
    {
        auto s = core_->state.lock();
        if (token != s->token || s->link != LinkState::Link::connected) return;
        paused = s->readingPaused;
    }
    // A peer that hung up while its calls were held back gets none of them run.
    if (paused && (events & (EPOLLHUP | EPOLLERR))) {
        peerLost();
        return;
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) readOnReactor();
    if (events & EPOLLOUT) flushOnReactor();
}

void XPCConnection::readOnReactor() {
    std::array<char, 64 * 1024> buffer;
    if (!takeBufferedMessages()) return;
    // Bounded per wake-up so that one busy peer cannot starve the others.
    for (int round = 0; round < 16; ++round) {
        int fd = -1;
        {
            auto s = core_->state.lock();
            if (s->link != LinkState::Link::connected || s->readingPaused) return;
            fd = s->fd;  // closed only on this thread, so it stays valid below
        }
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n == 0) {
            peerLost();
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            peerLost();
            return;
        }
        core_->reader.append(buffer.data(), std::size_t(n));
        if (!takeBufferedMessages()) return;
    }
}

bool XPCConnection::takeBufferedMessages() {
    bool completed = false;
    for (;;) {
        {
            auto s = core_->state.lock();
            if (s->link != LinkState::Link::connected) return false;
            if (s->readingPaused || s->mustPauseReading()) {
                // The wait is ours, not the peer's: no frame times out meanwhile.
                core_->partialSince.reset();
                if (!s->readingPaused) pauseReadingLocked(*s);
                return false;
            }
        }
        XPCMessage message;
        std::string error;
        const auto status = core_->reader.next(message, error);
        if (status == XPCFrameReader::Status::needMore) break;
        if (status == XPCFrameReader::Status::malformed) {
            invalidateWith(xpcInvalidError(serviceName_, "malformed message"), "malformed frame: " + error);
            return false;
        }
        completed = true;
        bool alive = true;
        if (auto* call = std::get_if<XPCCallMessage>(&message)) {
            alive = handleIncomingCall(std::move(*call));
        } else if (auto* reply = std::get_if<XPCReplyMessage>(&message)) {
            alive = handleIncomingReply(reply->replyId, &reply->arguments);
        } else {
            alive = handleIncomingReply(std::get<XPCAbandonMessage>(message).replyId, nullptr);
        }
        if (!alive) return false;
    }
    notePartialFrame(completed);
    return true;
}

void XPCConnection::pauseReadingLocked(LinkState& s) {
    s.readingPaused = true;
    if (s.token != 0) Reactor::instance().modify(s.token, s.fd, s.interest());
}

void XPCConnection::resumeReadingIfDueLocked(LinkState& s) {
    if (!s.readingPaused || s.resumeScheduled || s.mustPauseReading() || s.link != LinkState::Link::connected)
        return;
    s.resumeScheduled = true;
    Reactor::instance().post([self = shared_from_this()] { self->resumeReading(); });
}

void XPCConnection::resumeReading() {
    {
        auto s = core_->state.lock();
        s->resumeScheduled = false;
        if (!s->readingPaused || s->mustPauseReading() || s->link != LinkState::Link::connected) return;
        s->readingPaused = false;
        Reactor::instance().modify(s->token, s->fd, s->interest());
    }
    readOnReactor();  // the frames already read first, then the socket
}

void XPCConnection::callFinished() {
    auto s = core_->state.lock();
    if (s->callsInFlight > 0) --s->callsInFlight;
    resumeReadingIfDueLocked(*s);
}

void XPCConnection::notePartialFrame(bool frameCompleted) {
    if (core_->partialFrameTimeout.count() <= 0) return;
    if (core_->reader.buffered() == 0) {
        core_->partialSince.reset();
        return;
    }
    // The time runs from the first byte of the frame being read.
    if (frameCompleted || !core_->partialSince) core_->partialSince = processClock()->monotonic();
    if (!core_->partialTimerArmed) armPartialFrameTimer(core_->partialFrameTimeout);
}

void XPCConnection::armPartialFrameTimer(std::chrono::nanoseconds delay) {
    core_->partialTimerArmed = true;
    queue_->asyncAfter(delay, [weak = weak_from_this()] {
        if (auto self = weak.lock()) Reactor::instance().post([self] { self->checkPartialFrame(); });
    });
}

void XPCConnection::checkPartialFrame() {
    core_->partialTimerArmed = false;
    {
        auto s = core_->state.lock();
        if (s->link != LinkState::Link::connected) return;
    }
    if (!core_->partialSince) return;
    const auto waited = processClock()->monotonic() - *core_->partialSince;
    if (waited < core_->partialFrameTimeout) {
        armPartialFrameTimer(core_->partialFrameTimeout - waited);
        return;
    }
    const std::string why = "a frame stayed incomplete for " +
                            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(waited).count()) +
                            " s";
    invalidateWith(xpcInvalidError(serviceName_, "the peer stopped in the middle of a message"), why);
}

}  // namespace platform
