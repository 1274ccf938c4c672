#pragma once
// The helper service: serves KIVHelperProtocol as root for the menu-bar application. Every
// request is checked in this order: its arguments, then its authorization (the 32-byte form,
// then the command's right for the caller that the kernel names), then it acts and replies
// exactly once. The caller's identity comes from the connection's peer credentials, never from
// a message; a connection whose peer the kernel cannot name is refused.
//
// Threads: requests arrive on their connections' queues; DNS and certificate work runs on the
// helper's own queues and replies from there. DNS-cache flushes run on a queue of their own,
// coalesced (FlushCoalescer), so a flood of them never delays a DNS change. Lines a request
// causes go to the helper log under the caller's share (CallerLog). The object must outlive its listener (the
// process keeps it for its whole life).
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "helper/CallerLog.hpp"
#include "helper/CertHelper.hpp"
#include "helper/FlushCoalescer.hpp"
#include "helper/HelperPaths.hpp"
#include "helper/KIVConfigHelper.hpp"
#include "helper/protocol/Authorization.hpp"
#include "platform/http/HTTPClient.hpp"
#include "platform/keychain/KIVLogHelper.hpp"
#include "platform/xpc/XPCListener.hpp"

namespace helper {

class KIVHelper : public platform::XPCListenerDelegate, public std::enable_shared_from_this<KIVHelper> {
public:
    static std::shared_ptr<KIVHelper> make(HelperPaths paths, platform::HTTPClientPtr http);

    // Starts serving: on `listeningFd` when the service manager handed one over, else on the
    // service's own socket. False (reason in lastError()) when it cannot serve.
    bool run(std::optional<int> listeningFd);
    std::string lastError() const;
    // Stops accepting; the socket file is removed when it was ours.
    void stop();

    bool shouldAcceptNewConnection(platform::XPCListener& listener,
                                   const std::shared_ptr<platform::XPCConnection>& newConnection) override;
    // One request from `caller` on `connection`. Work queued for it is dropped, unanswered, when
    // the connection has gone by the time the work would start.
    void handle(const AuthorizationCaller& caller, const std::weak_ptr<platform::XPCConnection>& connection,
                const platform::XPCInvocation& invocation);

    // Nothing when `caller` may run `selector` with `authorization`, else the error to reply.
    std::optional<platform::ErrorObject> checkAuthorization(const platform::XPCValue& authorization,
                                                            std::string_view selector,
                                                            const AuthorizationCaller& caller) const;

    const platform::KIVLogHelper& log() const { return *log_; }

    struct Key {
    private:
        friend class KIVHelper;
        Key() = default;
    };
    KIVHelper(Key, HelperPaths paths, platform::HTTPClientPtr http);

private:
    struct Request;
    enum class Right;
    struct RequestRow;
    // The requests served, one row per selector (KIVHelper.cpp).
    static std::span<const RequestRow> requestTable();

    HelperPaths paths_;
    std::shared_ptr<const platform::KIVLogHelper> log_;
    // The lines that callers' requests cause, each caller under its own share.
    std::shared_ptr<CallerLog> callerLog_;
    RightsDatabase rights_;
    KIVConfigHelper config_;
    CertHelper certs_;
    platform::DispatchQueuePtr dnsQueue_;
    FlushCoalescer flushes_;
    std::shared_ptr<platform::XPCListener> listener_;
};

platform::ErrorObject osStatusError(OSStatus status);

}  // namespace helper
