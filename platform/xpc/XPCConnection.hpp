#pragma once
// Two-way message connections between processes, after the platform's XPC connections,
// over Unix-domain sockets (XPCServiceAddress) carrying JSON frames (XPCWire).
//
// A connection is made to a named service (client) or handed to a listener's delegate
// (accepted). Each side may export an object that serves an interface and call the
// other side's exported object through a remote proxy. Messages are checked against
// the interfaces in both directions; a message from the peer that does not fit, or a
// malformed frame, invalidates the connection.
//
// Threads: every member may be called from any thread, also from inside handlers.
// Messages for the exported object, replies, error handlers and the interruption and
// invalidation handlers all run on the connection's own serial queue, one at a time,
// in arrival order, never on the caller's thread.
//
// Delivery rules:
// - A message with a reply block gets exactly one of its reply or its error handler.
//   Peer loss before the reply: NSXPCConnectionInterrupted on a client connection,
//   NSXPCConnectionInvalid on an accepted one; a missing or dead listener, or an
//   invalidated connection: NSXPCConnectionInvalid. A reply block the peer dropped
//   uncalled: NSXPCConnectionReplyInvalid. A message too large for one frame:
//   NSPOSIXErrorDomain EMSGSIZE, and the connection goes on.
// - A message without reply block gets its error handler when it could not be
//   written out before the connection was interrupted or invalidated.
// - A client connection whose peer went away runs its interruption handler (before
//   the invalidation handler, if that follows) and connects again on the next message. An accepted connection
//   whose peer went away is invalidated.
// - The invalidation handler runs once; after it nothing of the connection runs
//   except the error handlers of messages sent later, which report the invalidation.
//
// An accepted connection neither reads nor writes before its listener's delegate has
// returned true, even when the delegate resumed it while deciding.
//
// Bounds of an accepted connection (set by its listener, XPCAcceptLimits): at most
// `maxCallsInFlight` calls are taken from the peer and not yet finished (a call with a
// reply block finishes when its reply is sent or abandoned, a one-way call when the
// exported object returns); past that, or while much of the output waits for the peer to
// read it, the socket is not read, so that the peer's further calls wait in the kernel's
// socket buffer and then in the peer. When the peer goes away, calls taken but not yet
// started are dropped. A frame whose header announces more than `maxFrameSize` bytes, or
// that is not whole within `partialFrameTimeout` of the process clock after its first
// byte arrived, invalidates the connection.
//
// Lifetime: while its socket is open a resumed connection stays alive even when
// nobody holds it (as the system keeps a connection alive); invalidate() releases it.
// An accepted connection that is dropped before resume() closes its socket.
// Invalidation releases the exported object and the handlers.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Dispatch.hpp"
#include "platform/xpc/XPCInterface.hpp"
#include "platform/xpc/XPCValue.hpp"
#include "platform/xpc/XPCWire.hpp"

namespace platform {

class XPCConnection;
class XPCListener;
class XPCLogBudget;

using XPCHandler = std::function<void()>;

// Who is at the other end of an accepted connection, as the kernel recorded it when the
// peer connected (SO_PEERCRED, SO_PEERGROUPS); never taken from a message.
struct XPCPeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups; empty when the kernel gave none
};
using XPCErrorHandler = std::function<void(const ErrorObject&)>;
using XPCReplyHandler = std::function<void(XPCArguments)>;

// What an accepted connection may take from its peer; see "Bounds" above.
struct XPCAcceptLimits {
    std::size_t maxFrameSize = kXPCMaxFrameSize;
    std::size_t maxCallsInFlight = 8;
    std::chrono::nanoseconds partialFrameTimeout = std::chrono::seconds(10);
};

// Held by an accepted connection until its socket is closed; a listener counts its
// connections with it.
class XPCConnectionSlot {
public:
    virtual ~XPCConnectionSlot() = default;
};

// The reply block of one delivered message. Copyable; the first call sends the reply
// (from any thread, at any time), later calls do nothing. When the last copy goes
// away uncalled, the caller's error handler gets NSXPCConnectionReplyInvalid.
class XPCReply {
public:
    XPCReply() = default;
    // False for messages that have no reply block; calling such a reply does nothing.
    bool expected() const { return state_ != nullptr; }
    // Throws std::invalid_argument when `values` do not fit the method's reply types.
    void operator()(XPCArguments values) const;

private:
    friend class XPCConnection;
    struct State;
    explicit XPCReply(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

struct XPCInvocation {
    std::string selector;
    XPCArguments arguments;  // already checked against the exported interface
    XPCReply reply;
};

class XPCExportedObject {
public:
    virtual ~XPCExportedObject() = default;
    // On the connection's queue. An exception thrown here invalidates the connection.
    virtual void invoke(XPCInvocation invocation) = 0;
};

// Sends messages of the connection's remote interface. Holds the connection.
class XPCRemoteProxy {
public:
    // The remote interface in force when the proxy was made; nullptr when none was set.
    const XPCInterface* remoteInterface() const { return interface_.get(); }
    bool conformsTo(std::string_view protocolName) const;
    const std::shared_ptr<XPCConnection>& connection() const { return connection_; }

    // Both throw std::invalid_argument when the selector is not in the remote
    // interface or the arguments do not fit it (a programming error).
    void send(std::string_view selector, XPCArguments arguments) const;
    void send(std::string_view selector, XPCArguments arguments, XPCReplyHandler reply) const;

private:
    friend class XPCConnection;
    XPCRemoteProxy(std::shared_ptr<XPCConnection> connection, std::shared_ptr<const XPCInterface> interface,
                   XPCErrorHandler errorHandler);
    std::shared_ptr<XPCConnection> connection_;
    std::shared_ptr<const XPCInterface> interface_;
    XPCErrorHandler errorHandler_;
};

class XPCConnection : public std::enable_shared_from_this<XPCConnection> {
public:
    // Carried for callers that ask for a privileged service; it changes nothing here.
    static constexpr std::uint64_t NSXPCConnectionPrivileged = 4096;

    // A client connection to `serviceName`. Nothing is connected before resume() and
    // a first message.
    static std::shared_ptr<XPCConnection> makeWithMachServiceName(std::string serviceName,
                                                                  std::uint64_t options = 0);
    ~XPCConnection();
    XPCConnection(const XPCConnection&) = delete;
    XPCConnection& operator=(const XPCConnection&) = delete;

    const std::string& serviceName() const { return serviceName_; }
    std::uint64_t options() const { return options_; }
    bool isAccepted() const { return accepted_; }
    // The peer of an accepted connection; nothing for a client connection or when the
    // kernel gave no valid credentials.
    const std::optional<XPCPeerCredentials>& peerCredentials() const;

    void setExportedInterface(XPCInterface interface);
    void setExportedObject(std::shared_ptr<XPCExportedObject> object);
    void setRemoteObjectInterface(XPCInterface interface);
    void setInvalidationHandler(XPCHandler handler);
    void setInterruptionHandler(XPCHandler handler);
    // The handlers in force; empty once invalidated.
    XPCHandler invalidationHandler();
    XPCHandler interruptionHandler();

    // Starts sending and delivery; an accepted connection reads nothing before it.
    // Calling it again does nothing.
    void resume();
    // Closes the connection: pending replies get NSXPCConnectionInvalid, then the
    // invalidation handler runs. Idempotent.
    void invalidate();
    bool isInvalidated();

    // `errorHandler` receives the failures of the messages sent through the proxy.
    XPCRemoteProxy remoteObjectProxyWithErrorHandler(XPCErrorHandler errorHandler);

private:
    friend class XPCListener;
    friend class XPCRemoteProxy;
    friend class XPCReply;
    struct Core;
    struct LinkState;
    struct SocketHandler;

public:
    // Only this class and XPCListener can make one; it lets make_shared reach the constructor.
    class Key {
        friend class XPCConnection;
        friend class XPCListener;
        Key() = default;
    };
    XPCConnection(Key, std::string serviceName, std::uint64_t options, bool accepted);

private:
    // For XPCListener: wraps an accepted socket, which is watched once the connection
    // is resumed and the delegate has kept it (keptByDelegate()), whichever comes last.
    static std::shared_ptr<XPCConnection> makeAccepted(const std::string& serviceName, int fd,
                                                       std::optional<XPCPeerCredentials> peer,
                                                       const XPCAcceptLimits& limits,
                                                       std::unique_ptr<XPCConnectionSlot> slot,
                                                       std::shared_ptr<XPCLogBudget> faultLog);
    // The kernel's record of the peer of a connected socket; nothing when it gave none.
    static std::optional<XPCPeerCredentials> readPeerCredentials(int fd);
    void keptByDelegate();
    // Watches the socket and schedules the output once resumed (and kept); the failure, if any.
    std::string startLocked(LinkState& s);

    void sendCall(const std::shared_ptr<const XPCInterface>& remote, std::string_view selector,
                  XPCArguments arguments, XPCReplyHandler reply, const XPCErrorHandler& errorHandler);
    void sendReplyFrame(std::string frame);
    // Connects a client when it has output and no socket, then writes what the socket takes.
    void flushOnReactor();
    // Connects an idle client connection to its service and watches the socket; the failure, if any.
    std::string connectLocked(LinkState& s);
    // Writes what the socket takes now and watches it for room for the rest; false when the peer is lost.
    bool writeLocked(LinkState& s);
    void onSocketEvents(std::uint64_t token, std::uint32_t events);
    void readOnReactor();
    // Hands on the complete frames already read while more calls may be taken; false
    // when reading must stop (paused, or the connection is gone).
    bool takeBufferedMessages();
    void pauseReadingLocked(LinkState& s);
    void resumeReadingIfDueLocked(LinkState& s);
    void resumeReading();
    // A call taken from the peer has finished (replied, abandoned, or returned).
    void callFinished();
    void notePartialFrame(bool frameCompleted);
    void armPartialFrameTimer(std::chrono::nanoseconds delay);
    void checkPartialFrame();
    bool handleIncomingCall(XPCCallMessage call);
    // Checks a call against the exported interface and queues it; the reason when it does not fit.
    std::string admitCallLocked(LinkState& s, XPCCallMessage call);
    bool handleIncomingReply(std::uint64_t id, XPCArguments* arguments);
    void deliver(const std::shared_ptr<const XPCInterface>& interface, const XPCMethod& method,
                 XPCCallMessage call);
    void peerLost();
    void invalidateWith(const ErrorObject& reason, const std::string& logLine);

    const std::string serviceName_;
    const std::uint64_t options_;
    const bool accepted_;
    const DispatchQueuePtr queue_;
    std::unique_ptr<Core> core_;
};

// The errors the connection reports, for tests and callers that compare codes.
ErrorObject xpcInterruptedError(const std::string& serviceName);
ErrorObject xpcInvalidError(const std::string& serviceName, const std::string& detail = {});

}  // namespace platform
