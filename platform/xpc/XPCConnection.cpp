#include "platform/xpc/XPCConnection.hpp"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/Reactor.hpp"
#include "platform/SystemLog.hpp"
#include "platform/xpc/XPCConnectionState.hpp"

// The connection: its life cycle (making, resuming, invalidating, losing the peer), its
// handlers, and the delivery of calls and replies. The socket link is XPCLink.cpp; replies
// and proxies are XPCReply.cpp.
namespace platform {

using xpcdetail::closeSocket;
using xpcdetail::Failure;
using xpcdetail::kMaxQueuedOutput;
using xpcdetail::replyInvalidError;
using xpcdetail::runFailures;

namespace {

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

}  // namespace

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
                                                           std::unique_ptr<XPCConnectionSlot> slot,
                                                           std::shared_ptr<XPCLogBudget> faultLog) {
    auto c = std::make_shared<XPCConnection>(Key{}, serviceName, 0, true);
    c->core_->peer = std::move(peer);
    c->core_->reader.setMaxFrameSize(limits.maxFrameSize);
    c->core_->partialFrameTimeout = limits.partialFrameTimeout;
    c->core_->faultLog = std::move(faultLog);
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
        const std::string line = "XPC connection to service " + serviceName_ + " invalidated: " + logLine;
        if (core_->faultLog) {
            core_->faultLog->log(core_->log, LogType::error, line);
        } else {
            core_->log.error(line);
        }
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
