#pragma once
// The application's client of the privileged helper. It makes the application's authorization
// once, checks the helper's rights (which the installation defines; the application cannot
// widen them) and keeps one connection to the helper's service, opened at the first command and
// again after the connection was invalidated. Every command is sent one way: its outcome is only
// logged, never reported to the caller.
//
// Threads: commands from any thread; sending is serialised. Replies and connection errors are
// logged on the connection's queue; forgetting an invalidated connection happens on the main
// queue. Destroying the proxy closes its connection; replies still in flight are dropped.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "helper/protocol/Authorization.hpp"
#include "platform/SystemLog.hpp"
#include "platform/xpc/XPCConnection.hpp"

namespace kiv {

class KIVHelperProxy {
public:
    // The helper's rights database as the helper reads it (RightsDatabase::standardPath()).
    KIVHelperProxy();
    explicit KIVHelperProxy(const helper::RightsDatabase& rights);
    ~KIVHelperProxy();
    KIVHelperProxy(const KIVHelperProxy&) = delete;
    KIVHelperProxy& operator=(const KIVHelperProxy&) = delete;

    static KIVHelperProxy& sharedInstance();
    // A new random UUID, 36 characters.
    static std::string generateUUID();

    void updateLogDebug(bool enabled);
    void updateTrayType(std::optional<std::int64_t> trayType);
    void flushDNS();
    void writeLocation(const std::string& locationKey);
    void downloadCert(const std::string& url, const std::string& filename);
    void importCert(const std::string& path);
    void rollbackDNSResolvers();
    void setDNSResolvers(const std::vector<std::string>& servers, const std::vector<std::string>& services);
    void rollbackDNSForServices(const std::vector<std::string>& services);

    void connectToHelperTool();
    void logError(const platform::ErrorObject& error) const;

    // The 32-byte form sent with every command; nothing when it could not be made.
    std::optional<std::vector<std::uint8_t>> authorization() const;
    // The connection in use; nullptr before the first command and after an invalidation.
    std::shared_ptr<platform::XPCConnection> helperToolConnection() const;

private:
    struct State;
    void setupAuth(const helper::RightsDatabase& rights);
    void send(const char* selector, platform::XPCArguments arguments, const char* failureLine,
              const char* successLine);

    helper::AuthorizationRef authRef_;
    std::shared_ptr<State> state_;
};

}  // namespace kiv
