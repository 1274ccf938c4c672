#include "helper/KIVHelper.hpp"

#include <functional>
#include <map>

#include "helper/DNSSettingsModifier.hpp"
#include "helper/protocol/Common.hpp"
#include "helper/protocol/KIVHelperProtocol.hpp"

namespace helper {
namespace {

using platform::XPCArguments;
using platform::XPCInvocation;
using platform::XPCValue;

// Serves one connection on behalf of the peer the kernel named when it connected.
class HelperSession final : public platform::XPCExportedObject {
public:
    HelperSession(std::weak_ptr<KIVHelper> helper, AuthorizationCaller caller,
                  std::weak_ptr<platform::XPCConnection> connection)
        : helper_(std::move(helper)), caller_(std::move(caller)), connection_(std::move(connection)) {}
    void invoke(XPCInvocation invocation) override {
        if (auto helper = helper_.lock()) helper->handle(caller_, connection_, invocation);
    }

private:
    std::weak_ptr<KIVHelper> helper_;
    const AuthorizationCaller caller_;
    // Weak: the connection owns this session.
    const std::weak_ptr<platform::XPCConnection> connection_;
};

void replyWith(const platform::XPCReply& reply, std::optional<platform::ErrorObject> error) {
    reply(XPCArguments{error ? XPCValue(std::move(*error)) : XPCValue()});
}

std::vector<std::string> textsOrEmpty(const XPCValue& value) {
    const auto* list = value.textList();
    return list ? *list : std::vector<std::string>{};
}

// Characters, not bytes, of a text of word characters.
std::size_t characterCount(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char c : text) count += (c & 0xC0) != 0x80 ? 1 : 0;
    return count;
}

}  // namespace

platform::ErrorObject osStatusError(OSStatus status) {
    return platform::ErrorObject{std::string(platform::NSOSStatusErrorDomain), status, {}};
}

std::shared_ptr<KIVHelper> KIVHelper::make(HelperPaths paths, platform::HTTPClientPtr http) {
    return std::make_shared<KIVHelper>(Key{}, std::move(paths), std::move(http));
}

KIVHelper::KIVHelper(Key, HelperPaths paths, platform::HTTPClientPtr http)
    : paths_(std::move(paths)),
      log_(std::make_shared<const platform::KIVLogHelper>(paths_.logFile())),
      callerLog_(std::make_shared<CallerLog>(log_)),
      rights_(paths_.rightsDatabase()),
      config_(paths_.configFile(), *log_),
      certs_(paths_, *log_, std::move(http)),
      dnsQueue_(platform::makeSerialQueue("com.veltrix.kivHelper.dns")),
      flushes_(platform::makeSerialQueue("com.veltrix.kivHelper.flush"),
               [callerLog = callerLog_](uid_t uid) { callerLog->log(uid, DNSModifyHelper::flushCaches()); }),
      listener_(platform::XPCListener::makeWithMachServiceName(kHelperServiceName)) {}

bool KIVHelper::run(std::optional<int> listeningFd) {
    listener_->setDelegate(weak_from_this());
    // Every local user reaches this socket. The largest request is a URL or path (under
    // 4 KiB), a file name, or lists of DNS servers and network services, with the
    // 32-byte authorization: 64 KiB is a wide margin, and 64 connections of it are little.
    platform::XPCListenerLimits limits;
    limits.perConnection.maxFrameSize = 64 * 1024;
    listener_->setLimits(limits);
    return listeningFd ? listener_->resumeWithListeningSocket(*listeningFd) : listener_->resume();
}

std::string KIVHelper::lastError() const { return listener_->lastError(); }

void KIVHelper::stop() { listener_->invalidate(); }

bool KIVHelper::shouldAcceptNewConnection(platform::XPCListener& listener,
                                          const std::shared_ptr<platform::XPCConnection>& newConnection) {
    if (!newConnection || &listener != listener_.get()) return false;
    const auto& peer = newConnection->peerCredentials();
    if (!peer) return false;
    newConnection->setExportedInterface(kivHelperProtocol());
    newConnection->setExportedObject(std::make_shared<HelperSession>(
        weak_from_this(), AuthorizationCaller{peer->uid, peer->gid, peer->groups}, newConnection));
    newConnection->resume();
    return true;
}

std::optional<platform::ErrorObject> KIVHelper::checkAuthorization(const XPCValue& authorization,
                                                                   std::string_view selector,
                                                                   const AuthorizationCaller& caller) const {
    const auto* bytes = authorization.data();
    if (bytes == nullptr || bytes->size() != kAuthorizationExternalFormLength) return osStatusError(paramErr);
    AuthorizationRef reference;
    if (const OSStatus status = authorizationCreateFromExternalForm(*bytes, reference); status != 0) {
        return osStatusError(status);
    }
    const auto right = Common::authorizationRightForCommand(selector);
    if (!right) return osStatusError(errAuthorizationDenied);
    if (const OSStatus status = rights_.copyRights(*right, caller); status != 0) return osStatusError(status);
    return std::nullopt;
}

void KIVHelper::handle(const AuthorizationCaller& caller,
                       const std::weak_ptr<platform::XPCConnection>& connection,
                       const XPCInvocation& invocation) {
    const std::string& name = invocation.selector;
    const XPCArguments& args = invocation.arguments;
    const platform::XPCReply reply = invocation.reply;
    const XPCValue& authorization = args.back();
    auto refused = [&]() { return checkAuthorization(authorization, name, caller); };
    auto self = shared_from_this();
    auto say = [&](const std::string& line) { callerLog_->log(caller.uid, line); };
    auto alive = [connection] {
        const auto live = connection.lock();
        return live && !live->isInvalidated();
    };
    // DNS work may wait on the system's resolver service; it runs off the connection's queue.
    auto onDNSQueue = [&](std::function<bool()> action) {
        dnsQueue_->async([self, action = std::move(action), reply, alive] {
            if (!alive()) return;
            replyWith(reply, action() ? std::nullopt : std::optional(osStatusError(paramErr)));
        });
    };

    if (name == selector::setLogDebug) {
        const bool enabled = *args[0].boolean();
        const std::string value = enabled ? "true" : "false";
        say("Setting LogDebug info to: " + value);
        if (auto error = refused()) {
            say("Authentication error");
            return replyWith(reply, error);
        }
        const bool written = config_.updateConfigFileSection("ApplicationSettings", "LogDebug", value);
        return replyWith(reply, written ? std::nullopt : std::optional(osStatusError(paramErr)));
    }
    if (name == selector::setTrayType) {
        const auto* trayType = args[0].integer();
        if (trayType == nullptr || *trayType < 0 || *trayType > 3) {
            say("Invalid tray type specified");
            return replyWith(reply, osStatusError(paramErr));
        }
        const std::string value = std::to_string(*trayType);
        say("Updating tray type to: " + value);
        if (auto error = refused()) {
            say("Authentication error");
            return replyWith(reply, error);
        }
        const bool written = config_.updateConfigFileSection("ApplicationSettings", "TrayType", value);
        return replyWith(reply, written ? std::nullopt : std::optional(osStatusError(paramErr)));
    }
    if (name == selector::writeLocation) {
        say("Updating location key");
        const auto* key = args[0].text();
        if (key == nullptr || !KIVConfigHelper::isWordText(*key) || characterCount(*key) != 32) {
            say("Invalid location key");
            return replyWith(reply, osStatusError(paramErr));
        }
        if (auto error = refused()) {
            say("Authentication error");
            return replyWith(reply, error);
        }
        const bool written = config_.updateConfigFileSection("XNCServerInfoSection", "LocationKey", *key);
        return replyWith(reply, written ? std::nullopt : std::optional(osStatusError(paramErr)));
    }
    if (name == selector::modifyDNS) {
        if (auto error = refused()) return replyWith(reply, error);
        say("======== Modify DNS =======");
        return onDNSQueue(
            [servers = textsOrEmpty(args[0])] { return DNSModifyHelper::setResolvers(servers); });
    }
    if (name == selector::rollbackDNS) {
        if (auto error = refused()) return replyWith(reply, error);
        say("======== Revert DNS =======");
        return onDNSQueue([] { return DNSModifyHelper::rollbackResolvers(); });
    }
    if (name == selector::modifyDNSForServices) {
        if (auto error = refused()) return replyWith(reply, error);
        auto services = textsOrEmpty(args[1]);
        if (!services.empty()) say("======== Modify DNS =======");
        return onDNSQueue([servers = textsOrEmpty(args[0]), services = std::move(services)] {
            return DNSModifyHelper::setResolversForServices(servers, services);
        });
    }
    if (name == selector::rollbackDNSForServices) {
        if (auto error = refused()) return replyWith(reply, error);
        auto services = textsOrEmpty(args[0]);
        if (!services.empty()) say("======== Revert DNS =======");
        return onDNSQueue([services = std::move(services)] {
            return DNSModifyHelper::rollbackResolversForServices(services);
        });
    }
    if (name == selector::downloadCert) {
        const auto* url = args[0].text();
        const auto* filename = args[1].text();
        if (url == nullptr || filename == nullptr || !CertHelper::acceptableURL(*url) ||
            !CertHelper::acceptableFileName(*filename)) {
            return replyWith(reply, osStatusError(paramErr));
        }
        if (auto error = refused()) return replyWith(reply, error);
        certs_.downloadCert(*url, *filename, [self, reply] { replyWith(reply, std::nullopt); });
        return;
    }
    if (name == selector::importCert) {
        const auto* path = args[0].text();
        if (path == nullptr || !CertHelper::acceptablePath(*path))
            return replyWith(reply, osStatusError(paramErr));
        if (auto error = refused()) return replyWith(reply, error);
        certs_.importCert(*path, [self, reply] { replyWith(reply, std::nullopt); });
        return;
    }
    if (name == selector::flushDNS) {
        if (auto error = refused()) return replyWith(reply, error);
        flushes_.request({caller.uid, alive, [reply] { replyWith(reply, std::nullopt); }});
        return;
    }
    // The interface admits only the selectors above; anything else is refused.
    replyWith(reply, osStatusError(paramErr));
}

}  // namespace helper
