#include "platform/xpc/XPCConnection.hpp"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/Reactor.hpp"
#include "platform/SystemLog.hpp"
#include "platform/xpc/MutexGuarded.hpp"
#include "platform/xpc/XPCServiceAddress.hpp"

namespace platform {
namespace {

// Bytes waiting to be written before the peer counts as stuck.
constexpr std::size_t kMaxQueuedOutput = 4 * kXPCMaxFrameSize;
// Output waiting for a bounded peer above which its calls are no longer read: a peer that
// calls without reading the replies is held back instead of growing our queue.
constexpr std::size_t kReadingPausedOutput = 256 * 1024;

// Peer-supplied text in log lines and error texts: bounded and printable.
std::string printable(std::string_view text) {
    constexpr std::size_t kMax = 80;
    std::string out;
    for (char c : text.substr(0, kMax)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
    if (text.size() > kMax) out += "...";
    return out;
}

// The kernel's record of the peer; a short answer or an invalid pid gives nothing.
std::optional<XPCPeerCredentials> peerCredentialsOf(int fd) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred ||
        cred.pid <= 0) {
        return std::nullopt;
    }
    XPCPeerCredentials peer{cred.pid, cred.uid, cred.gid, {}};
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 4; ++attempt) {
        socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
            groups.resize(bytes / sizeof(gid_t));
            peer.groups = std::move(groups);
            break;
        }
        if (errno != ERANGE) break;
        groups.resize(bytes / sizeof(gid_t) + 1);
    }
    return peer;
}

ErrorObject replyInvalidError(const std::string& serviceName, const std::string& selector) {
    return {std::string(NSCocoaErrorDomain), NSXPCConnectionReplyInvalid,
            "The reply to " + selector + " from service " + serviceName + " was abandoned."};
}

}  // namespace

ErrorObject xpcInterruptedError(const std::string& serviceName) {
    return {std::string(NSCocoaErrorDomain), NSXPCConnectionInterrupted,
            "The connection to service " + serviceName + " was interrupted."};
}

ErrorObject xpcInvalidError(const std::string& serviceName, const std::string& detail) {
    return {std::string(NSCocoaErrorDomain), NSXPCConnectionInvalid,
            "The connection to service " + serviceName + " was invalidated" +
                (detail.empty() ? std::string(".") : ": " + detail + ".")};
}

namespace {

// An error handler owed a call, collected under the lock and run on the queue.
struct Failure {
    XPCErrorHandler handler;
    ErrorObject error;
};

void runFailures(std::vector<Failure>& failures) {
    for (auto& f : failures) {
        if (f.handler) f.handler(f.error);
    }
}
}  // namespace

// What a connection shares between callers, the reactor thread and its queue.
struct XPCConnection::LinkState {
    struct Pending {
        std::string selector;
        std::shared_ptr<const XPCInterface> interface;  // keeps `replyTypes` alive
        const std::vector<XPCParameter>* replyTypes = nullptr;
        XPCReplyHandler reply;
        XPCErrorHandler error;
    };
    struct OutFrame {
        std::string bytes;
        std::size_t written = 0;
        XPCErrorHandler oneWayError;  // set for messages without reply block
    };
    enum class Link { idle, connected, invalid };

    Link link = Link::idle;
    bool resumed = false;
    // An accepted connection stays shut until its listener's delegate has said to keep
    // it, even when the delegate resumed it while deciding: a refused connection must
    // never deliver a message.
    bool awaitingDelegate = false;
    bool invalidateCalled = false;
    bool flushScheduled = false;
    // Calls taken from the peer and not finished, and how many may be (accepted
    // connections only; a client trusts the service it called).
    std::size_t callsInFlight = 0;
    std::size_t maxCallsInFlight = SIZE_MAX;
    bool readingPaused = false;
    bool resumeScheduled = false;
    std::unique_ptr<XPCConnectionSlot> slot;  // released when the socket is closed
    int fd = -1;
    std::uint64_t token = 0;  // the socket's reactor registration
    bool wantWrite = false;
    std::deque<OutFrame> out;
    std::size_t outBytes = 0;
    std::map<std::uint64_t, Pending> pending;
    XPCHandler invalidation;
    XPCHandler interruption;
    std::shared_ptr<const XPCInterface> exportedInterface;
    std::shared_ptr<const XPCInterface> remoteInterface;
    std::shared_ptr<XPCExportedObject> exportedObject;
    ErrorObject invalidReason;  // what messages sent after invalidation report

    // Whether sockets may be read and written.
    bool running() const { return resumed && !awaitingDelegate; }
    bool bounded() const { return maxCallsInFlight != SIZE_MAX; }
    // Whether the peer's further calls must wait before they are read.
    bool mustPauseReading() const {
        return bounded() && (callsInFlight >= maxCallsInFlight || outBytes > kReadingPausedOutput);
    }
    std::uint32_t interest() const { return (readingPaused ? 0u : EPOLLIN) | (wantWrite ? EPOLLOUT : 0u); }

    // Moves every outstanding reply and unwritten one-way message into `failures`.
    void failOutstanding(const ErrorObject& error, std::vector<Failure>& failures) {
        for (auto& [id, p] : pending) failures.push_back({std::move(p.error), error});
        pending.clear();
        for (auto& f : out) {
            if (f.oneWayError) failures.push_back({std::move(f.oneWayError), error});
        }
        out.clear();
        outBytes = 0;
    }
};

struct XPCConnection::Core {
    MutexGuarded<LinkState> state;
    std::atomic<std::uint64_t> nextReplyId{1};
    XPCFrameReader reader;  // reactor thread only
    // Since when the frame being read is incomplete, and whether a check is due; reactor
    // thread only. A zero timeout never closes.
    std::chrono::nanoseconds partialFrameTimeout{0};
    std::optional<std::chrono::nanoseconds> partialSince;
    bool partialTimerArmed = false;
    std::optional<XPCPeerCredentials> peer;  // set before the connection is shared
    SystemLog log{"com.veltrix.kiv", "xpc"};
};

struct XPCConnection::SocketHandler final : Reactor::Handler {
    explicit SocketHandler(std::shared_ptr<XPCConnection> c) : owner(std::move(c)) {}
    void onEvents(std::uint64_t token, std::uint32_t events) override {
        owner->onSocketEvents(token, events);
    }
    std::shared_ptr<XPCConnection> owner;
};

// Closes a socket on the reactor thread, where all socket I/O happens.
static void closeSocket(int fd, std::uint64_t token) {
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

// ---- XPCReply ----

struct XPCReply::State {
    State(std::weak_ptr<XPCConnection> c, std::uint64_t i, std::shared_ptr<const XPCInterface> iface,
          const XPCMethod& m)
        : connection(std::move(c)), id(i), interface(std::move(iface)), method(&m) {}
    ~State() {
        if (used.exchange(true)) return;
        if (auto c = connection.lock()) {
            if (auto frame = encodeXPCFrame(XPCAbandonMessage{id})) c->sendReplyFrame(std::move(*frame));
            c->callFinished();
        }
    }
    std::weak_ptr<XPCConnection> connection;
    std::uint64_t id;
    std::shared_ptr<const XPCInterface> interface;
    const XPCMethod* method;
    std::atomic<bool> used{false};
};

void XPCReply::operator()(XPCArguments values) const {
    if (!state_) return;
    const std::string mismatch = xpcMismatch(*state_->method->reply, values);
    if (!mismatch.empty()) {
        throw std::invalid_argument("reply to " + state_->method->selector + ": " + mismatch);
    }
    if (state_->used.exchange(true)) return;
    auto c = state_->connection.lock();
    if (!c) return;
    auto frame = encodeXPCFrame(XPCReplyMessage{state_->id, std::move(values)});
    if (!frame) {
        c->core_->log.error("XPC reply to " + state_->method->selector + " is too large to send; abandoned");
        frame = encodeXPCFrame(XPCAbandonMessage{state_->id});
    }
    if (frame) c->sendReplyFrame(std::move(*frame));
    c->callFinished();
}

// ---- XPCRemoteProxy ----

XPCRemoteProxy::XPCRemoteProxy(std::shared_ptr<XPCConnection> connection,
                               std::shared_ptr<const XPCInterface> interface, XPCErrorHandler errorHandler)
    : connection_(std::move(connection)),
      interface_(std::move(interface)),
      errorHandler_(std::move(errorHandler)) {}

bool XPCRemoteProxy::conformsTo(std::string_view protocolName) const {
    return interface_ && interface_->protocolName() == protocolName;
}

void XPCRemoteProxy::send(std::string_view selector, XPCArguments arguments) const {
    connection_->sendCall(interface_, selector, std::move(arguments), nullptr, errorHandler_);
}

void XPCRemoteProxy::send(std::string_view selector, XPCArguments arguments, XPCReplyHandler reply) const {
    if (!reply) throw std::invalid_argument(std::string(selector) + ": empty reply handler");
    connection_->sendCall(interface_, selector, std::move(arguments), std::move(reply), errorHandler_);
}

// ---- XPCConnection ----

XPCConnection::XPCConnection(Key, std::string serviceName, std::uint64_t options, bool accepted)
    : serviceName_(std::move(serviceName)),
      options_(options),
      accepted_(accepted),
      queue_(makeSerialQueue("com.veltrix.kiv.xpc." + serviceName_ + (accepted ? ".accepted" : ".client"))),
      core_(std::make_unique<Core>()) {}

XPCConnection::~XPCConnection() {
    // A connection with a watched socket is held by the reactor, so a socket left here
    // is an accepted one that was never resumed.
    auto s = core_->state.lock();
    if (s->fd >= 0 && s->token == 0) ::close(s->fd);
}

std::shared_ptr<XPCConnection> XPCConnection::makeWithMachServiceName(std::string serviceName,
                                                                      std::uint64_t options) {
    return std::make_shared<XPCConnection>(Key{}, std::move(serviceName), options, false);
}

std::shared_ptr<XPCConnection> XPCConnection::makeAccepted(const std::string& serviceName, int fd,
                                                           std::optional<XPCPeerCredentials> peer,
                                                           const XPCAcceptLimits& limits,
                                                           std::unique_ptr<XPCConnectionSlot> slot) {
    auto c = std::make_shared<XPCConnection>(Key{}, serviceName, 0, true);
    c->core_->peer = std::move(peer);
    c->core_->reader.setMaxFrameSize(limits.maxFrameSize);
    c->core_->partialFrameTimeout = limits.partialFrameTimeout;
    auto s = c->core_->state.lock();
    s->fd = fd;
    s->link = LinkState::Link::connected;
    s->awaitingDelegate = true;
    s->maxCallsInFlight = limits.maxCallsInFlight > 0 ? limits.maxCallsInFlight : 1;
    s->slot = std::move(slot);
    return c;
}

std::optional<XPCPeerCredentials> XPCConnection::readPeerCredentials(int fd) { return peerCredentialsOf(fd); }

const std::optional<XPCPeerCredentials>& XPCConnection::peerCredentials() const { return core_->peer; }

void XPCConnection::setExportedInterface(XPCInterface interface) {
    auto s = core_->state.lock();
    if (!s->invalidateCalled)
        s->exportedInterface = std::make_shared<const XPCInterface>(std::move(interface));
}

void XPCConnection::setExportedObject(std::shared_ptr<XPCExportedObject> object) {
    std::shared_ptr<XPCExportedObject> previous;
    auto s = core_->state.lock();
    if (s->invalidateCalled) return;
    previous = std::exchange(s->exportedObject, std::move(object));
    // `previous` is released after the lock (declared first, destroyed last).
}

void XPCConnection::setRemoteObjectInterface(XPCInterface interface) {
    auto s = core_->state.lock();
    if (!s->invalidateCalled) s->remoteInterface = std::make_shared<const XPCInterface>(std::move(interface));
}

void XPCConnection::setInvalidationHandler(XPCHandler handler) {
    XPCHandler previous;
    auto s = core_->state.lock();
    if (!s->invalidateCalled) previous = std::exchange(s->invalidation, std::move(handler));
}

void XPCConnection::setInterruptionHandler(XPCHandler handler) {
    XPCHandler previous;
    auto s = core_->state.lock();
    if (!s->invalidateCalled) previous = std::exchange(s->interruption, std::move(handler));
}

XPCHandler XPCConnection::invalidationHandler() { return core_->state.lock()->invalidation; }

XPCHandler XPCConnection::interruptionHandler() { return core_->state.lock()->interruption; }

bool XPCConnection::isInvalidated() { return core_->state.lock()->invalidateCalled; }

XPCRemoteProxy XPCConnection::remoteObjectProxyWithErrorHandler(XPCErrorHandler errorHandler) {
    std::shared_ptr<const XPCInterface> remote = core_->state.lock()->remoteInterface;
    return XPCRemoteProxy(shared_from_this(), std::move(remote), std::move(errorHandler));
}

void XPCConnection::resume() {
    std::string failure;
    {
        auto s = core_->state.lock();
        if (s->resumed || s->invalidateCalled) return;
        s->resumed = true;
        failure = startLocked(*s);
    }
    if (!failure.empty()) invalidateWith(xpcInvalidError(serviceName_, failure), failure);
}

void XPCConnection::keptByDelegate() {
    std::string failure;
    {
        auto s = core_->state.lock();
        if (!s->awaitingDelegate || s->invalidateCalled) return;
        s->awaitingDelegate = false;
        failure = startLocked(*s);
    }
    if (!failure.empty()) invalidateWith(xpcInvalidError(serviceName_, failure), failure);
}

std::string XPCConnection::startLocked(LinkState& s) {
    if (!s.running()) return {};
    // An accepted socket is read only from now on, so that nothing (not even a
    // malformed frame) is acted on before the delegate has set the connection up.
    if (s.link == LinkState::Link::connected && s.token == 0) {
        s.token = Reactor::instance().add(s.fd, EPOLLIN, std::make_shared<SocketHandler>(shared_from_this()));
        if (s.token == 0) return std::string("cannot watch the socket: ") + std::strerror(errno);
    }
    if (!s.out.empty() && !s.flushScheduled) {
        s.flushScheduled = true;
        Reactor::instance().post([self = shared_from_this()] { self->flushOnReactor(); });
    }
    return {};
}

void XPCConnection::invalidate() { invalidateWith(xpcInvalidError(serviceName_), {}); }

void XPCConnection::invalidateWith(const ErrorObject& reason, const std::string& logLine) {
    int fd = -1;
    std::uint64_t token = 0;
    std::unique_ptr<XPCConnectionSlot> slot;  // released after the lock
    {
        auto s = core_->state.lock();
        if (s->invalidateCalled) return;
        s->invalidateCalled = true;
        slot = std::move(s->slot);
        s->invalidReason = reason;
        s->link = LinkState::Link::invalid;
        std::vector<Failure> failures;
        s->failOutstanding(reason, failures);
        fd = std::exchange(s->fd, -1);
        token = std::exchange(s->token, 0);
        // Posted under the lock so that it follows everything posted before; the
        // exported object and handlers are released on the queue after the handler.
        queue_->async([failures = std::move(failures), invalidation = std::exchange(s->invalidation, nullptr),
                       interruption = std::exchange(s->interruption, nullptr),
                       object = std::exchange(s->exportedObject, nullptr),
                       exported = std::exchange(s->exportedInterface, nullptr)]() mutable {
            runFailures(failures);
            if (invalidation) invalidation();
            invalidation = nullptr;
            interruption = nullptr;
            object.reset();
        });
    }
    if (!logLine.empty()) {
        core_->log.error("XPC connection to service " + serviceName_ + " invalidated: " + logLine);
    }
    closeSocket(fd, token);
}

void XPCConnection::sendCall(const std::shared_ptr<const XPCInterface>& remote, std::string_view selector,
                             XPCArguments arguments, XPCReplyHandler reply,
                             const XPCErrorHandler& errorHandler) {
    if (!remote) throw std::invalid_argument("no remote object interface set for " + std::string(selector));
    const XPCMethod* method = remote->method(selector);
    if (method == nullptr) {
        throw std::invalid_argument(remote->protocolName() + " has no method " + std::string(selector));
    }
    if (const auto mismatch = xpcMismatch(method->arguments, arguments); !mismatch.empty()) {
        throw std::invalid_argument(std::string(selector) + ": " + mismatch);
    }
    if (method->reply.has_value() != bool(reply)) {
        throw std::invalid_argument(std::string(selector) +
                                    (method->reply ? " needs a reply handler" : " takes no reply handler"));
    }
    std::optional<std::uint64_t> id;
    if (reply) id = core_->nextReplyId.fetch_add(1);
    auto frame = encodeXPCFrame(XPCCallMessage{std::string(selector), std::move(arguments), id});

    std::string overflow;
    {
        auto s = core_->state.lock();
        if (s->invalidateCalled || !frame) {
            ErrorObject error = s->invalidateCalled
                                    ? s->invalidReason
                                    : ErrorObject{std::string(NSPOSIXErrorDomain), EMSGSIZE,
                                                  "The message " + std::string(selector) +
                                                      " is too large to send (the limit is " +
                                                      std::to_string(kXPCMaxFrameSize) + " bytes)."};
            queue_->async([errorHandler, error] {
                if (errorHandler) errorHandler(error);
            });
            return;
        }
        if (id) {
            s->pending.emplace(*id, LinkState::Pending{std::string(selector), remote, &*method->reply,
                                                       std::move(reply), errorHandler});
        }
        s->outBytes += frame->size();
        s->out.push_back({std::move(*frame), 0, id ? XPCErrorHandler{} : errorHandler});
        if (s->outBytes > kMaxQueuedOutput) {
            overflow = "more than " + std::to_string(kMaxQueuedOutput) + " bytes wait to be sent";
        } else if (s->running() && !s->flushScheduled) {
            s->flushScheduled = true;
            Reactor::instance().post([self = shared_from_this()] { self->flushOnReactor(); });
        }
    }
    if (!overflow.empty()) invalidateWith(xpcInvalidError(serviceName_, overflow), overflow);
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
            const XPCServiceAddress address = xpcServiceAddress(serviceName_);
            if (!address.error.empty()) {
                failure = address.error;
            } else {
                const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                if (fd < 0) {
                    failure = std::string("cannot create a socket: ") + std::strerror(errno);
                } else if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.address),
                                     sizeof address.address) != 0) {
                    const int saved = errno;
                    ::close(fd);
                    failure = (saved == EAGAIN ? "the listener at " + address.path + " is not accepting"
                                               : "no listener at " + address.path) +
                              " (" + std::strerror(saved) + ")";
                } else {
                    const std::uint64_t token = Reactor::instance().add(
                        fd, EPOLLIN, std::make_shared<SocketHandler>(shared_from_this()));
                    if (token == 0) {
                        failure = std::string("cannot watch the socket: ") + std::strerror(errno);
                        ::close(fd);
                    } else {
                        s->fd = fd;
                        s->token = token;
                        s->wantWrite = false;
                        s->link = LinkState::Link::connected;
                        core_->reader.reset();
                    }
                }
            }
        }
        if (failure.empty()) {
            while (!s->out.empty()) {
                auto& f = s->out.front();
                const ssize_t n = ::send(s->fd, f.bytes.data() + f.written, f.bytes.size() - f.written,
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                    lost = true;
                    break;
                }
                f.written += std::size_t(n);
                if (f.written == f.bytes.size()) {
                    s->outBytes -= f.bytes.size();
                    s->out.pop_front();
                }
            }
            const bool want = !lost && !s->out.empty();
            if (want != s->wantWrite) {
                s->wantWrite = want;
                Reactor::instance().modify(s->token, s->fd, s->interest());
            }
            if (!lost) resumeReadingIfDueLocked(*s);
        }
    }
    if (!failure.empty()) {
        invalidateWith(xpcInvalidError(serviceName_, failure), {});
    } else if (lost) {
        peerLost();
    }
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

bool XPCConnection::handleIncomingCall(XPCCallMessage call) {
    std::string why;
    {
        auto s = core_->state.lock();
        if (s->link != LinkState::Link::connected) return false;
        why = admitCallLocked(*s, std::move(call));
        if (why.empty()) return true;
    }
    invalidateWith(xpcInvalidError(serviceName_, "malformed message"), why);
    return false;
}

std::string XPCConnection::admitCallLocked(LinkState& s, XPCCallMessage call) {
    if (!s.exportedInterface) return "a message arrived but nothing is exported";
    const XPCMethod* method = s.exportedInterface->method(call.selector);
    if (method == nullptr) {
        return s.exportedInterface->protocolName() + " has no method " + printable(call.selector);
    }
    if (const auto mismatch = xpcMismatch(method->arguments, call.arguments); !mismatch.empty()) {
        return method->selector + ": " + mismatch;
    }
    if (method->reply.has_value() != call.replyId.has_value()) {
        return method->selector +
               (method->reply ? " arrived without reply block" : " arrived with a reply block");
    }
    ++s.callsInFlight;
    queue_->async([self = shared_from_this(), interface = s.exportedInterface, method,
                   call = std::move(call)]() mutable { self->deliver(interface, *method, std::move(call)); });
    return {};
}

bool XPCConnection::handleIncomingReply(std::uint64_t id, XPCArguments* arguments) {
    std::string why;
    {
        auto s = core_->state.lock();
        if (s->link != LinkState::Link::connected) return false;
        auto it = s->pending.find(id);
        if (it == s->pending.end()) {
            why = (arguments ? "a reply" : "an abandon notice") + std::string(" for unknown message ") +
                  std::to_string(id);
        } else if (arguments != nullptr) {
            const auto mismatch = xpcMismatch(*it->second.replyTypes, *arguments);
            if (!mismatch.empty()) why = "the reply to " + it->second.selector + ": " + mismatch;
        }
        if (why.empty()) {
            LinkState::Pending p = std::move(it->second);
            s->pending.erase(it);
            if (arguments != nullptr) {
                queue_->async([reply = std::move(p.reply), args = std::move(*arguments)]() mutable {
                    reply(std::move(args));
                });
            } else {
                queue_->async(
                    [handler = std::move(p.error), error = replyInvalidError(serviceName_, p.selector)] {
                        if (handler) handler(error);
                    });
            }
            return true;
        }
    }
    invalidateWith(xpcInvalidError(serviceName_, "malformed message"), why);
    return false;
}

void XPCConnection::deliver(const std::shared_ptr<const XPCInterface>& interface, const XPCMethod& method,
                            XPCCallMessage call) {
    std::shared_ptr<XPCExportedObject> object;
    {
        auto s = core_->state.lock();
        if (s->invalidateCalled) return;
        object = s->exportedObject;
    }
    XPCReply reply;
    if (call.replyId) {
        reply =
            XPCReply(std::make_shared<XPCReply::State>(weak_from_this(), *call.replyId, interface, method));
    }
    const bool oneWay = !call.replyId;
    if (object) {
        try {
            object->invoke(
                XPCInvocation{std::move(call.selector), std::move(call.arguments), std::move(reply)});
        } catch (const std::exception& e) {
            invalidateWith(xpcInvalidError(serviceName_),
                           "exported object failed on " + method.selector + ": " + e.what());
        }
    }
    // A reply block finishes its call when it is used or dropped (without an object it
    // is dropped here: the reply is abandoned).
    if (oneWay) callFinished();
}

void XPCConnection::peerLost() {
    int fd = -1;
    std::uint64_t token = 0;
    {
        auto s = core_->state.lock();
        if (s->link != LinkState::Link::connected) return;
        if (!accepted_) {
            fd = std::exchange(s->fd, -1);
            token = std::exchange(s->token, 0);
            s->wantWrite = false;
            s->link = LinkState::Link::idle;
            core_->reader.reset();
            std::vector<Failure> failures;
            s->failOutstanding(xpcInterruptedError(serviceName_), failures);
            // The handler is taken now: an interruption that happened before an
            // invalidation is reported before it, whenever the queue gets to it.
            queue_->async([failures = std::move(failures), interruption = s->interruption]() mutable {
                runFailures(failures);
                if (interruption) interruption();
            });
        }
    }
    if (accepted_) {
        invalidateWith(xpcInvalidError(serviceName_, "the peer closed the connection"), {});
    } else {
        closeSocket(fd, token);
    }
}

}  // namespace platform
