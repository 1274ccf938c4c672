// Replies, remote proxies and the errors a connection reports.
#include <stdexcept>
#include <string>

#include "platform/xpc/XPCConnection.hpp"
#include "platform/xpc/XPCConnectionState.hpp"

namespace platform {

ErrorObject xpcInterruptedError(const std::string& serviceName) {
    return {std::string(NSCocoaErrorDomain), NSXPCConnectionInterrupted,
            "The connection to service " + serviceName + " was interrupted."};
}

ErrorObject xpcInvalidError(const std::string& serviceName, const std::string& detail) {
    return {std::string(NSCocoaErrorDomain), NSXPCConnectionInvalid,
            "The connection to service " + serviceName + " was invalidated" +
                (detail.empty() ? std::string(".") : ": " + detail + ".")};
}

ErrorObject xpcdetail::replyInvalidError(const std::string& serviceName, const std::string& selector) {
    return {std::string(NSCocoaErrorDomain), NSXPCConnectionReplyInvalid,
            "The reply to " + selector + " from service " + serviceName + " was abandoned."};
}

// ---- XPCReply ----

// A reply block dropped uncalled abandons its call, so that the caller hears of it.
XPCReply::State::~State() {
    if (used.exchange(true)) return;
    if (auto c = connection.lock()) {
        if (auto frame = encodeXPCFrame(XPCAbandonMessage{id})) c->sendReplyFrame(std::move(*frame));
        c->callFinished();
    }
}

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

}  // namespace platform
