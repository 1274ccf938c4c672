#pragma once
// The parts of an XPCConnection that its three files share: the state under the connection's
// lock (LinkState), what only the reactor thread touches (Core), and the socket's reactor
// handler. Internal to platform/xpc; nothing outside XPCConnection*.cpp includes it.
#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Reactor.hpp"
#include "platform/SystemLog.hpp"
#include "platform/xpc/MutexGuarded.hpp"
#include "platform/xpc/XPCConnection.hpp"
#include "platform/xpc/XPCLogBudget.hpp"

namespace platform {
namespace xpcdetail {

// Bytes waiting to be written before the peer counts as stuck.
inline constexpr std::size_t kMaxQueuedOutput = 4 * kXPCMaxFrameSize;
// Output waiting for a bounded peer above which its calls are no longer read: a peer that
// calls without reading the replies is held back instead of growing our queue.
inline constexpr std::size_t kReadingPausedOutput = 256 * 1024;

// An error handler owed a call, collected under the lock and run on the queue.
struct Failure {
    XPCErrorHandler handler;
    ErrorObject error;
};

inline void runFailures(std::vector<Failure>& failures) {
    for (auto& f : failures) {
        if (f.handler) f.handler(f.error);
    }
}

// Closes a socket on the reactor thread, where all socket I/O happens.
void closeSocket(int fd, std::uint64_t token);

ErrorObject replyInvalidError(const std::string& serviceName, const std::string& selector);

}  // namespace xpcdetail

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
        return bounded() && (callsInFlight >= maxCallsInFlight || outBytes > xpcdetail::kReadingPausedOutput);
    }
    std::uint32_t interest() const { return (readingPaused ? 0u : EPOLLIN) | (wantWrite ? EPOLLOUT : 0u); }

    // Moves every outstanding reply and unwritten one-way message into `failures`.
    void failOutstanding(const ErrorObject& error, std::vector<xpcdetail::Failure>& failures) {
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
    // Limits the lines a peer can cause (accepted connections); none for a client.
    std::shared_ptr<XPCLogBudget> faultLog;
};

struct XPCConnection::SocketHandler final : Reactor::Handler {
    explicit SocketHandler(std::shared_ptr<XPCConnection> c) : owner(std::move(c)) {}
    void onEvents(std::uint64_t token, std::uint32_t events) override {
        owner->onSocketEvents(token, events);
    }
    std::shared_ptr<XPCConnection> owner;
};

// What the copies of one reply block share (XPCReply.cpp).
struct XPCReply::State {
    State(std::weak_ptr<XPCConnection> c, std::uint64_t i, std::shared_ptr<const XPCInterface> iface,
          const XPCMethod& m)
        : connection(std::move(c)), id(i), interface(std::move(iface)), method(&m) {}
    ~State();
    std::weak_ptr<XPCConnection> connection;
    std::uint64_t id;
    std::shared_ptr<const XPCInterface> interface;
    const XPCMethod* method;
    std::atomic<bool> used{false};
};

}  // namespace platform
