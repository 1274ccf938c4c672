#include "helper/KIVHelper.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <span>

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

// One request as the rows of the table see it: its caller, arguments and reply, and the
// helper's parts that act on it.
struct KIVHelper::Request {
    KIVHelper& helper;
    const AuthorizationCaller& caller;
    const std::weak_ptr<platform::XPCConnection>& connection;
    const XPCArguments& args;
    const platform::XPCReply& reply;

    void say(const std::string& line) const { helper.callerLog_->log(caller.uid, line); }
    // Whether the connection is still there to take a reply.
    std::function<bool()> alive() const {
        return [connection = connection] {
            const auto live = connection.lock();
            return live && !live->isInvalidated();
        };
    }
    void writeConfig(const char* section, const char* key, const std::string& value) const {
        const bool written = helper.config_.updateConfigFileSection(section, key, value);
        replyWith(reply, written ? std::nullopt : std::optional(osStatusError(paramErr)));
    }
    // DNS work may wait on the system's resolver service; it runs off the connection's queue.
    void onDNSQueue(std::function<bool()> action) const {
        helper.dnsQueue_->async(
            [self = helper.shared_from_this(), action = std::move(action), reply = reply, alive = alive()] {
                if (!alive()) return;
                replyWith(reply, action() ? std::nullopt : std::optional(osStatusError(paramErr)));
            });
    }
};

// How a row's right is checked (the right itself is the selector's, from Common's table).
enum class KIVHelper::Right {
    quiet,       // a refusal is replied only
    logRefusal,  // and written to the caller's log as "Authentication error"
};

// One request the helper serves, in the order every request goes: its arguments are checked
// (false: refused with paramErr; the check writes the request's own lines), then its right,
// then it acts and replies exactly once.
struct KIVHelper::RequestRow {
    std::string_view selector;
    bool (*validate)(const Request&);  // nullptr: nothing to check
    Right right;
    void (*act)(const Request&);
};

std::span<const KIVHelper::RequestRow> KIVHelper::requestTable() {
    static constexpr RequestRow kRows[] = {
        {selector::setLogDebug,
         [](const Request& r) {
             r.say(std::string("Setting LogDebug info to: ") + (*r.args[0].boolean() ? "true" : "false"));
             return true;
         },
         Right::logRefusal,
         [](const Request& r) {
             r.writeConfig("ApplicationSettings", "LogDebug", *r.args[0].boolean() ? "true" : "false");
         }},
        {selector::setTrayType,
         [](const Request& r) {
             const auto* trayType = r.args[0].integer();
             if (trayType == nullptr || *trayType < 0 || *trayType > 3) {
                 r.say("Invalid tray type specified");
                 return false;
             }
             r.say("Updating tray type to: " + std::to_string(*trayType));
             return true;
         },
         Right::logRefusal,
         [](const Request& r) {
             r.writeConfig("ApplicationSettings", "TrayType", std::to_string(*r.args[0].integer()));
         }},
        {selector::writeLocation,
         [](const Request& r) {
             r.say("Updating location key");
             const auto* key = r.args[0].text();
             if (key == nullptr || !KIVConfigHelper::isWordText(*key) || characterCount(*key) != 32) {
                 r.say("Invalid location key");
                 return false;
             }
             return true;
         },
         Right::logRefusal,
         [](const Request& r) { r.writeConfig("XNCServerInfoSection", "LocationKey", *r.args[0].text()); }},
        {selector::modifyDNS, nullptr, Right::quiet,
         [](const Request& r) {
             r.say("======== Modify DNS =======");
             r.onDNSQueue(
                 [servers = textsOrEmpty(r.args[0])] { return DNSModifyHelper::setResolvers(servers); });
         }},
        {selector::rollbackDNS, nullptr, Right::quiet,
         [](const Request& r) {
             r.say("======== Revert DNS =======");
             r.onDNSQueue([] { return DNSModifyHelper::rollbackResolvers(); });
         }},
        {selector::modifyDNSForServices, nullptr, Right::quiet,
         [](const Request& r) {
             auto services = textsOrEmpty(r.args[1]);
             if (!services.empty()) r.say("======== Modify DNS =======");
             r.onDNSQueue([servers = textsOrEmpty(r.args[0]), services = std::move(services)] {
                 return DNSModifyHelper::setResolversForServices(servers, services);
             });
         }},
        {selector::rollbackDNSForServices, nullptr, Right::quiet,
         [](const Request& r) {
             auto services = textsOrEmpty(r.args[0]);
             if (!services.empty()) r.say("======== Revert DNS =======");
             r.onDNSQueue([services = std::move(services)] {
                 return DNSModifyHelper::rollbackResolversForServices(services);
             });
         }},
        {selector::downloadCert,
         [](const Request& r) {
             const auto* url = r.args[0].text();
             const auto* filename = r.args[1].text();
             return url != nullptr && filename != nullptr && CertHelper::acceptableURL(*url) &&
                    CertHelper::acceptableFileName(*filename);
         },
         Right::quiet,
         [](const Request& r) {
             r.helper.certs_.downloadCert(
                 *r.args[0].text(), *r.args[1].text(),
                 [self = r.helper.shared_from_this(), reply = r.reply] { replyWith(reply, std::nullopt); });
         }},
        {selector::importCert,
         [](const Request& r) {
             const auto* path = r.args[0].text();
             return path != nullptr && CertHelper::acceptablePath(*path);
         },
         Right::quiet,
         [](const Request& r) {
             r.helper.certs_.importCert(
                 *r.args[0].text(),
                 [self = r.helper.shared_from_this(), reply = r.reply] { replyWith(reply, std::nullopt); });
         }},
        {selector::flushDNS, nullptr, Right::quiet,
         [](const Request& r) {
             r.helper.flushes_.request(
                 {r.caller.uid, r.alive(), [reply = r.reply] { replyWith(reply, std::nullopt); }});
         }},
    };
    return kRows;
}

void KIVHelper::handle(const AuthorizationCaller& caller,
                       const std::weak_ptr<platform::XPCConnection>& connection,
                       const XPCInvocation& invocation) {
    const Request request{*this, caller, connection, invocation.arguments, invocation.reply};
    const auto rows = requestTable();
    const auto row = std::find_if(rows.begin(), rows.end(),
                                  [&](const RequestRow& r) { return r.selector == invocation.selector; });
    // The interface admits only the selectors of the table; anything else is refused.
    if (row == rows.end()) return replyWith(request.reply, osStatusError(paramErr));
    if (row->validate != nullptr && !row->validate(request)) {
        return replyWith(request.reply, osStatusError(paramErr));
    }
    if (auto error = checkAuthorization(request.args.back(), row->selector, caller)) {
        if (row->right == Right::logRefusal) request.say("Authentication error");
        return replyWith(request.reply, error);
    }
    row->act(request);
}

}  // namespace helper
