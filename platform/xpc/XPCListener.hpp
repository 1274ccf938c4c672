#pragma once
// A listener for a named service, after the platform's XPC listeners: it serves the
// service's Unix-domain socket (XPCServiceAddress) and hands each new connection to
// its delegate, which configures and resumes it and answers whether to keep it.
//
// Every local user may be able to reach the socket, so what a peer can hold is bounded
// (XPCListenerLimits): connections in total and per user, with the last slots kept for
// root so that no user can lock root out; frame size, calls in flight and the time a
// frame may take per connection (XPCAcceptLimits). With an access group, the socket is
// that group's (mode 0660) and a peer that is neither root, nor the listener's own user,
// nor a member of the group (primary or supplementary) is closed before its delegate hears
// of it. Refused peers are logged, at most a few lines a minute.
//
// Threads: any member from any thread. The delegate is asked on the listener's own
// serial queue, one connection at a time. The listener stays alive while it listens
// (until invalidate()); it holds its delegate weakly.
#include <memory>
#include <string>

#include "platform/Dispatch.hpp"
#include "platform/xpc/XPCConnection.hpp"

namespace platform {

class XPCListener;

struct XPCListenerLimits {
    XPCAcceptLimits perConnection;
    std::size_t maxConnections = 64;
    std::size_t maxConnectionsPerUser = 8;  // root has only the total cap
    std::size_t rootOnlyConnections = 8;    // of maxConnections, served to root only
    // Empty: any local user may connect. A group that does not exist lets only root in.
    std::string accessGroup;
};

class XPCListenerDelegate {
public:
    virtual ~XPCListenerDelegate() = default;
    // True keeps the connection (the delegate resumes it); false invalidates it. Nothing
    // is read from or sent to the peer before the answer, even if the delegate resumed it.
    virtual bool shouldAcceptNewConnection(XPCListener& listener,
                                           const std::shared_ptr<XPCConnection>& newConnection) = 0;
};

class XPCListener : public std::enable_shared_from_this<XPCListener> {
public:
    static std::shared_ptr<XPCListener> makeWithMachServiceName(std::string serviceName);
    ~XPCListener();
    XPCListener(const XPCListener&) = delete;
    XPCListener& operator=(const XPCListener&) = delete;

    const std::string& serviceName() const { return serviceName_; }
    void setDelegate(std::weak_ptr<XPCListenerDelegate> delegate);
    // Before resume(); later calls change nothing.
    void setLimits(XPCListenerLimits limits);
    // Connections accepted and not yet closed.
    std::size_t connectionCount() const;

    // Creates the run folder when needed, replaces a stale socket left by a dead
    // listener and starts accepting. False, with the reason logged at error level and
    // kept in lastError(), when the service cannot be served (bad name, path too long,
    // another live listener, no permission). Calling it again after success does nothing.
    bool resume();
    // Serves a socket that is already bound and listening, as a service manager hands
    // over on socket activation; the listener takes the descriptor over and closes it
    // on invalidate() but never removes the socket file, which is not its own. False,
    // with the reason in lastError(), when `fd` is no listening Unix stream socket.
    bool resumeWithListeningSocket(int fd);
    std::string lastError();
    // Stops accepting and removes the socket; connections already accepted go on.
    void invalidate();

    struct Key {
    private:
        friend class XPCListener;
        Key() = default;
    };
    XPCListener(Key, std::string serviceName);

private:
    struct State;
    struct ListenHandler;
    struct Slots;
    struct SlotHold;
    // A slot for the peer, or nothing with the reason in `why`.
    std::unique_ptr<XPCConnectionSlot> admit(const std::optional<XPCPeerCredentials>& peer, std::string& why);
    void logRefusal(const std::string& line);
    void acceptOnReactor();
    void offer(std::shared_ptr<XPCConnection> connection);

    const std::string serviceName_;
    const DispatchQueuePtr queue_;
    std::unique_ptr<State> state_;
    const std::shared_ptr<Slots> slots_;
};

}  // namespace platform
