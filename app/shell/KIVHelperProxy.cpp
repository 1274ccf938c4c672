#include "app/shell/KIVHelperProxy.hpp"

#include "helper/protocol/Common.hpp"
#include "helper/protocol/KIVHelperProtocol.hpp"
#include "platform/Dispatch.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/UUID.hpp"

namespace kiv {

struct KIVHelperProxy::State {
    std::mutex lock;  // serialises connect-and-send
    std::optional<std::vector<std::uint8_t>> authorization;
    std::shared_ptr<platform::XPCConnection> connection;  // under `lock`
    platform::SystemLog logObject{"com.veltrix.kiv.BrannockCloud", "KIVHelperProxy"};
};

KIVHelperProxy::KIVHelperProxy()
    : KIVHelperProxy(helper::RightsDatabase(helper::RightsDatabase::standardPath())) {}

KIVHelperProxy::KIVHelperProxy(const helper::RightsDatabase& rights) : state_(std::make_shared<State>()) {
    setupAuth(rights);
}

KIVHelperProxy::~KIVHelperProxy() {
    std::shared_ptr<platform::XPCConnection> connection;
    {
        std::lock_guard guard(state_->lock);
        connection = std::move(state_->connection);
    }
    if (connection) connection->invalidate();
}

KIVHelperProxy& KIVHelperProxy::sharedInstance() {
    static platform::NoDestructor<KIVHelperProxy> instance;
    return *instance;
}

std::string KIVHelperProxy::generateUUID() { return platform::makeUUIDString(); }

void KIVHelperProxy::setupAuth(const helper::RightsDatabase& rights) {
    if (helper::authorizationCreate(authRef_) != helper::errAuthorizationSuccess) {
        state_->logObject.error("Cannot create the helper authorization");
        return;
    }
    helper::AuthorizationExternalForm form;
    if (helper::authorizationMakeExternalForm(authRef_, form) == helper::errAuthorizationSuccess) {
        state_->authorization = std::vector<std::uint8_t>(form.begin(), form.end());
    }
    const auto* log = &state_->logObject;
    helper::Common::setupAuthorizationRights(authRef_, rights,
                                             [log](const std::string& line) { log->notice(line); });
}

std::optional<std::vector<std::uint8_t>> KIVHelperProxy::authorization() const {
    return state_->authorization;
}

std::shared_ptr<platform::XPCConnection> KIVHelperProxy::helperToolConnection() const {
    std::lock_guard guard(state_->lock);
    return state_->connection;
}

void KIVHelperProxy::logError(const platform::ErrorObject& error) const {
    state_->logObject.error("Error " + error.domain + " (" + std::to_string(error.code) + ")");
}

void KIVHelperProxy::connectToHelperTool() {
    // Called with `lock` held.
    if (state_->connection) return;
    auto connection = platform::XPCConnection::makeWithMachServiceName(
        helper::kHelperServiceName, platform::XPCConnection::NSXPCConnectionPrivileged);
    connection->setRemoteObjectInterface(helper::kivHelperProtocol());
    std::weak_ptr<State> weakState = state_;
    std::weak_ptr<platform::XPCConnection> weakConnection = connection;
    connection->setInvalidationHandler([weakState, weakConnection] {
        if (auto invalidated = weakConnection.lock()) invalidated->setInvalidationHandler(nullptr);
        platform::mainQueue()->async([weakState, weakConnection] {
            auto state = weakState.lock();
            if (!state) return;
            {
                std::lock_guard guard(state->lock);
                // Only the connection that went away is forgotten, not a newer one.
                if (state->connection && state->connection == weakConnection.lock())
                    state->connection.reset();
            }
            state->logObject.debug("KIV Helper connection invalidated");
        });
    });
    connection->resume();
    state_->connection = std::move(connection);
}

void KIVHelperProxy::send(const char* selector, platform::XPCArguments arguments, const char* failureLine,
                          const char* successLine) {
    std::lock_guard guard(state_->lock);
    connectToHelperTool();
    std::weak_ptr<State> weakState = state_;
    auto logFailure = [weakState](const platform::ErrorObject& error) {
        if (auto state = weakState.lock()) {
            state->logObject.error("Error " + error.domain + " (" + std::to_string(error.code) + ")");
        }
    };
    const auto proxy = state_->connection->remoteObjectProxyWithErrorHandler(logFailure);
    arguments.push_back(state_->authorization ? platform::XPCValue(*state_->authorization)
                                              : platform::XPCValue());
    proxy.send(selector, std::move(arguments),
               [weakState, logFailure, failureLine, successLine](platform::XPCArguments reply) {
                   auto state = weakState.lock();
                   if (!state) return;
                   const auto* error = reply.empty() ? nullptr : reply.front().error();
                   if (error) {
                       if (failureLine) state->logObject.error(failureLine);
                       logFailure(*error);
                   } else if (successLine) {
                       state->logObject.info(successLine);
                   }
               });
}

void KIVHelperProxy::updateLogDebug(bool enabled) {
    send(helper::selector::setLogDebug, {enabled}, nullptr, "Log debug info updated in settings");
}

void KIVHelperProxy::updateTrayType(std::optional<std::int64_t> trayType) {
    send(helper::selector::setTrayType, {trayType ? platform::XPCValue(*trayType) : platform::XPCValue()},
         nullptr, "Tray type updated in settings");
}

void KIVHelperProxy::flushDNS() { send(helper::selector::flushDNS, {}, nullptr, nullptr); }

void KIVHelperProxy::writeLocation(const std::string& locationKey) {
    send(helper::selector::writeLocation, {locationKey}, nullptr, nullptr);
}

void KIVHelperProxy::downloadCert(const std::string& url, const std::string& filename) {
    send(helper::selector::downloadCert, {url, filename}, nullptr, nullptr);
}

void KIVHelperProxy::importCert(const std::string& path) {
    send(helper::selector::importCert, {path}, nullptr, nullptr);
}

void KIVHelperProxy::rollbackDNSResolvers() {
    send(helper::selector::rollbackDNS, {}, "Failed to rollback DNS settings", nullptr);
}

void KIVHelperProxy::setDNSResolvers(const std::vector<std::string>& servers,
                                     const std::vector<std::string>& services) {
    send(helper::selector::modifyDNSForServices, {servers, services}, "Failed to change DNS settings",
         nullptr);
}

void KIVHelperProxy::rollbackDNSForServices(const std::vector<std::string>& services) {
    send(helper::selector::rollbackDNSForServices, {services}, "Failed to rollback DNS settings", nullptr);
}

}  // namespace kiv
