#include "helper/DNSSettingsModifier.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "helper/DNSResolvConf.hpp"
#include "helper/HelperPaths.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/NotificationCenter.hpp"
#include "platform/dbus/ResolvedClient.hpp"
#include "platform/keychain/KIVLogHelper.hpp"

namespace helper {
namespace {

constexpr const char* kSessionName = "KIVDNSModifier";
constexpr const char* kServerAddressesKey = "ServerAddresses";
constexpr std::size_t kMaxResolvConfBytes = 64u << 10;

std::mutex& environmentMutex() {
    static platform::NoDestructor<std::mutex> mutex;
    return *mutex;
}

DNSModifierEnvironment& storedEnvironment() {
    static platform::NoDestructor<DNSModifierEnvironment> environment;
    return *environment;
}

std::string errnoText(int error) { return std::strerror(error); }

std::string joined(const Resolvers& resolvers) {
    std::string text;
    for (const auto& resolver : resolvers) text += (text.empty() ? "" : ", ") + resolver;
    return text;
}

// The kernel's links in index order, with their flags; links that vanish while we look are left out.
std::vector<NetworkService> kernelLinks() {
    std::vector<NetworkService> services;
    struct if_nameindex* names = ::if_nameindex();
    if (names == nullptr) return services;
    const platform::FileDescriptor probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    for (const struct if_nameindex* entry = names; entry->if_index != 0 && entry->if_name; ++entry) {
        ifreq request{};
        std::strncpy(request.ifr_name, entry->if_name, IFNAMSIZ - 1);
        if (!(probe.get() >= 0) || ::ioctl(probe.get(), SIOCGIFFLAGS, &request) != 0) continue;
        // The loopback link carries no DNS settings of its own: it is no network service.
        if ((request.ifr_flags & IFF_LOOPBACK) != 0) continue;
        NetworkService service;
        service.identifier = entry->if_name;
        service.name = entry->if_name;
        service.interfaceIndex = static_cast<int>(entry->if_index);
        service.enabled = (request.ifr_flags & IFF_UP) != 0;
        service.loopback = (request.ifr_flags & IFF_LOOPBACK) != 0;
        services.push_back(std::move(service));
    }
    ::if_freenameindex(names);
    std::sort(services.begin(), services.end(), [](const NetworkService& a, const NetworkService& b) {
        return a.interfaceIndex < b.interfaceIndex;
    });
    return services;
}

// A D-Bus address for the socket at `path`, its bytes escaped as the address syntax asks.
std::string unixBusAddress(const std::filesystem::path& path) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string address = "unix:path=";
    for (const unsigned char c : path.string()) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           c == '-' || c == '_' || c == '/' || c == '.' || c == '\\' || c == '*';
        if (plain) {
            address += static_cast<char>(c);
        } else {
            address += '%';
            address += kHex[c >> 4];
            address += kHex[c & 15];
        }
    }
    return address;
}

// The environment with every default filled in. A root of its own brings its own system bus
// (<root>/run/dbus/system_bus_socket), so a run on another root never reaches the machine's.
DNSModifierEnvironment completed(DNSModifierEnvironment environment) {
    const HelperPaths paths = HelperPaths::fromEnvironment();
    if (!environment.root) environment.root = paths.root;
    if (!environment.busAddress) {
        if (paths.resolveBusAddress) {
            environment.busAddress = paths.resolveBusAddress;
        } else if (*environment.root != "/") {
            environment.busAddress = unixBusAddress(*environment.root / "run/dbus/system_bus_socket");
        }
    }
    if (!environment.backups) environment.backups = platform::UserDefaults::standard();
    if (!environment.services) environment.services = kernelLinks;
    if (!environment.log) {
        environment.log = [](const std::string& message) {
            platform::KIVLogHelper::sharedInstance().log(message);
        };
    }
    return environment;
}

// The walks' lock: flock on a file of our own, so walks of every process are serialised.
class WalkLock {
public:
    explicit WalkLock(const std::filesystem::path& root) {
        const auto folder = root / "run";
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            error_ = folder.string() + ": " + errnoText(errno);
            return;
        }
        const auto file = folder / (std::string(kSessionName) + ".lock");
        descriptor_ =
            platform::FileDescriptor(::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!(descriptor_.get() >= 0)) {
            error_ = file.string() + ": " + errnoText(errno);
            return;
        }
        while (::flock(descriptor_.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                error_ = file.string() + ": " + errnoText(errno);
                descriptor_ = platform::FileDescriptor();
                return;
            }
        }
    }
    // Closing the descriptor releases the lock.
    bool held() const { return (descriptor_.get() >= 0); }
    const std::string& error() const { return error_; }

private:
    platform::FileDescriptor descriptor_;
    std::string error_;
};

// One walk: what the services' changes go through, and what the commit writes.
struct Session {
    DNSModifierEnvironment environment;
    platform::ResolvedClientPtr resolved;  // set: resolved carries the links' servers

    // Without resolved: the file, as it was when the walk began, and as the walk changes it.
    std::filesystem::path resolvConfPath;
    platform::FileRead original;
    bool symlink = false;
    DNSResolvConf pending;
    bool changed = false;

    // Backups to remove once the rollbacks that restored them are committed.
    std::vector<std::string> restoredBackups;

    void log(const std::string& message) const { environment.log(message); }
};

thread_local Session* currentSession = nullptr;

void openFileBackend(Session& session) {
    session.resolvConfPath = *session.environment.root / "etc" / "resolv.conf";
    session.original = platform::readWholeFile(session.resolvConfPath, kMaxResolvConfBytes);
    struct stat info {};
    session.symlink = ::lstat(session.resolvConfPath.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
    if (session.original.status == platform::FileRead::Status::read) {
        session.pending = DNSResolvConf(session.original.content);
    }
}

Session openSession(DNSModifierEnvironment environment) {
    Session session;
    session.environment = std::move(environment);
    std::string error;
    auto client = platform::ResolvedClient::connect(session.environment.busAddress, &error);
    if (client && client->running()) {
        session.resolved = std::move(client);
    } else {
        openFileBackend(session);
    }
    return session;
}

// Writes the walk's changes; false (logged) when they could not be written.
bool commit(Session& session) {
    if (session.resolved || !session.changed) return true;
    struct stat info {};
    if (::lstat(session.resolvConfPath.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        session.log(session.resolvConfPath.string() + " became a symbolic link; not replacing it");
        return false;
    }
    // A file of ours keeps the mode it had; a new one is readable by every resolver client.
    const bool existed = ::lstat(session.resolvConfPath.c_str(), &info) == 0;
    const mode_t mode = existed ? (info.st_mode & 0777) : 0644;
    const std::string error =
        platform::writeFileAtomically(session.resolvConfPath, session.pending.text(), mode);
    if (!error.empty()) {
        session.log("Unable to commit DNS settings: " + error);
        return false;
    }
    return true;
}

using ServiceList = std::vector<NetworkService>;

// Runs `block` over the services `pick` chooses, inside a locked session; commits while the lock
// is still held, so another walk never sees (or overwrites) a half-applied change.
template <typename Pick>
bool walk(const DNSModifyHelper::ServiceBlock& block, bool shouldCommit, Pick pick) {
    if (currentSession != nullptr) {
        currentSession->log("A DNS walk cannot start inside another one");
        return false;
    }
    const DNSModifierEnvironment environment = DNSModifyHelper::environment();
    const WalkLock lock(*environment.root);
    if (!lock.held()) {
        environment.log("Unable to lock the DNS settings: " + lock.error());
        return false;
    }
    Session session = openSession(environment);
    bool result = true;
    {
        // The per-service steps find the walk's session here, also when the block throws.
        struct Current {
            explicit Current(Session& walkSession) { currentSession = &walkSession; }
            ~Current() { currentSession = nullptr; }
            Current(const Current&) = delete;
            Current& operator=(const Current&) = delete;
        } current(session);
        for (const auto& service : pick(session.environment.services())) result = block(service) && result;
    }
    if (shouldCommit) {
        if (commit(session)) {
            const auto& backups = session.environment.backups;
            for (const auto& key : session.restoredBackups) backups->removeObject(key);
            // A backup left behind would be restored again by a later rollback, over newer settings.
            if (!session.restoredBackups.empty() && !backups->synchronize()) {
                session.log("Unable to remove the restored DNS backups");
                result = false;
            }
        } else {
            result = false;
        }
        DNSModifyHelper::touchDynamicStore();
    }
    return result;
}

// Sets the service's servers in the session; false when it could not be done.
bool applyServers(Session& session, const NetworkService& service, const Resolvers& resolvers,
                  const nlohmann::json& current) {
    if (!session.resolved) {
        session.pending.setServers(resolvers);
        session.changed = true;
        return true;
    }
    platform::ResolvedResult result;
    const bool keepsDomains = current.contains("SearchDomains") && !current["SearchDomains"].empty();
    if (resolvers.empty() && !keepsDomains) {
        result = session.resolved->revertLink(service.interfaceIndex);
    } else {
        // Without servers but with domains, only the servers go: the domains stay as they are.
        result = session.resolved->setLinkDNS(service.interfaceIndex, resolvers);
    }
    if (!result.ok()) session.log("Unable to set " + service.name + "'s resolvers: " + result.error);
    return result.ok();
}

// The service's DNS configuration now: none when it has none; false when it cannot be read.
bool readConfiguration(Session& session, const NetworkService& service, std::optional<nlohmann::json>& out) {
    if (session.resolved) {
        std::string error;
        const auto link = session.resolved->linkDNS(service.interfaceIndex, &error);
        if (!link) {
            session.log(service.name + " is disabled: " + error);
            return false;
        }
        if (link->servers.empty() && link->domains.empty()) return true;
        out = nlohmann::json{{kServerAddressesKey, link->servers}};
        if (!link->domains.empty()) (*out)["SearchDomains"] = link->domains;
        return true;
    }
    if (session.symlink) {
        session.log(session.resolvConfPath.string() +
                    " is a symbolic link managed by another program; not changing it for " + service.name);
        return false;
    }
    switch (session.original.status) {
        case platform::FileRead::Status::read:
            out = DNSResolvConf(session.original.content).configuration();
            return true;
        case platform::FileRead::Status::missing:
            return true;
        case platform::FileRead::Status::failed:
            break;
    }
    session.log("Unable to read " + session.original.error);
    return false;
}

std::optional<Resolvers> serversOf(const nlohmann::json& backup) {
    Resolvers servers;
    const auto it = backup.find(kServerAddressesKey);
    if (it == backup.end() || !it->is_array()) return servers;
    for (const auto& server : *it) {
        if (!server.is_string()) return std::nullopt;
        servers.push_back(server.get<std::string>());
    }
    return servers;
}

// Without resolved every link shares resolv.conf: once one link was changed, the file holds our
// servers, not the original. The backup a link already holds is the file as it was before the
// first change, so a link changed later is backed up with the same value.
std::optional<nlohmann::json> sharedFileBackup(const platform::UserDefaults& defaults) {
    const std::string prefix = std::string(kSessionName) + ":Backup/Network/Service/";
    const nlohmann::json all = defaults.dictionaryRepresentation();
    if (!all.is_object()) return std::nullopt;
    for (const auto& [key, value] : all.items()) {
        if (key.starts_with(prefix) && key.ends_with("/IPv4") && value.is_object()) return value;
    }
    return std::nullopt;
}

bool validResolvers(const Resolvers& resolvers, const std::function<void(const std::string&)>& log) {
    for (const auto& resolver : resolvers) {
        if (!isServerAddress(resolver)) {
            const auto quoted =
                nlohmann::json(resolver).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            log("Refusing DNS server " + quoted + ": not an IP address");
            return false;
        }
    }
    return true;
}

}  // namespace

void DNSModifyHelper::setEnvironment(DNSModifierEnvironment environment) {
    const std::lock_guard guard(environmentMutex());
    storedEnvironment() = std::move(environment);
}

DNSModifierEnvironment DNSModifyHelper::environment() {
    const std::lock_guard guard(environmentMutex());
    return completed(storedEnvironment());
}

std::string DNSModifyHelper::backupKey(const std::string& serviceIdentifier) {
    return std::string(kSessionName) + ":Backup/Network/Service/" + serviceIdentifier + "/IPv4";
}

bool DNSModifyHelper::dnsSupportForNetworkService(const NetworkService& service) {
    return service.interfaceIndex > 0 && !service.loopback;
}

bool DNSModifyHelper::setResolversTo(const Resolvers& resolvers, const NetworkService& service,
                                     bool backupDNS) {
    Session* session = currentSession;
    if (session == nullptr || !dnsSupportForNetworkService(service)) return false;
    if (!service.enabled) {
        session->log(service.name + " is disabled");
        return false;
    }
    if (!validResolvers(resolvers, session->environment.log)) return false;
    std::optional<nlohmann::json> current;
    if (!readConfiguration(*session, service, current)) return false;

    nlohmann::json backup;
    if (current) {
        session->log(service.name + " had an existing configuration");
        backup = *current;
    } else {
        session->log(service.name + " had no existing configuration");
        backup = nlohmann::json{{kServerAddressesKey, nlohmann::json::array()}};
    }

    if (backupDNS) {
        const auto& defaults = session->environment.backups;
        const std::string key = backupKey(service.identifier);
        const auto stored = defaults->objectForKey(key);
        if (!stored || !stored->is_object()) {
            if (!session->resolved) {
                if (auto shared = sharedFileBackup(*defaults)) backup = std::move(*shared);
            }
            defaults->setObject(key, backup);
            // Without its backup the change could never be undone: leave the service as it is.
            if (!defaults->synchronize()) {
                session->log("Unable to back up " + service.name + "'s configuration; not changing it");
                return false;
            }
            session->log(service.name + "'s configuration is backed up, values: " + backup.dump());
        } else {
            session->log(
                service.name +
                "'s configuration was already there won't overwrite, previous value: " + stored->dump());
        }
    }

    const bool result =
        applyServers(*session, service, resolvers, current.value_or(nlohmann::json::object()));
    if (resolvers.empty()) {
        session->log("Setting " + service.name + "'s resolvers to DHCP");
    } else {
        session->log("Setting " + service.name + "'s resolvers to [" + joined(resolvers) + "]");
    }
    return result;
}

bool DNSModifyHelper::rollbackResolversFor(const NetworkService& service) {
    Session* session = currentSession;
    if (session == nullptr) return false;
    const std::string key = backupKey(service.identifier);
    const auto backup = session->environment.backups->objectForKey(key);
    if (!backup || !backup->is_object()) return true;
    const auto servers = serversOf(*backup);
    if (!servers || !setResolversTo(*servers, service, false)) {
        session->log("Unable to restore " + service.name + "'s configuration; keeping its backup");
        return false;
    }
    session->restoredBackups.push_back(key);
    return true;
}

bool DNSModifyHelper::applyToNetworkServices(const ServiceBlock& block, bool commit) {
    return walk(block, commit, [](ServiceList services) { return services; });
}

bool DNSModifyHelper::applyToPartNetworkServices(const ServiceBlock& block,
                                                 const ServiceIdentifiers& identifiers, bool commit) {
    return walk(block, commit, [&identifiers](const ServiceList& services) {
        ServiceList picked;
        for (const auto& identifier : identifiers) {
            const auto it = std::find_if(services.begin(), services.end(),
                                         [&](const NetworkService& s) { return s.identifier == identifier; });
            if (it != services.end()) picked.push_back(*it);
        }
        return picked;
    });
}

bool DNSModifyHelper::setResolvers(const Resolvers& resolvers) {
    if (!validResolvers(resolvers, environment().log)) return false;
    const bool result = applyToNetworkServices(
        [&](const NetworkService& service) { return setResolversTo(resolvers, service, true); }, true);
    platform::NotificationCenter::defaultCenter().post(kConfigurationChangedNotification,
                                                       std::string("DNSModifyHelper"));
    return result;
}

bool DNSModifyHelper::rollbackResolvers() {
    const bool result = applyToNetworkServices(
        [](const NetworkService& service) { return rollbackResolversFor(service); }, true);
    platform::NotificationCenter::defaultCenter().post(kConfigurationChangedNotification,
                                                       std::string("DNSModifyHelper"));
    return result;
}

bool DNSModifyHelper::setResolversForServices(const Resolvers& resolvers,
                                              const ServiceIdentifiers& services) {
    if (!validResolvers(resolvers, environment().log)) return false;
    return applyToPartNetworkServices(
        [&](const NetworkService& service) { return setResolversTo(resolvers, service, true); }, services,
        true);
}

bool DNSModifyHelper::rollbackResolversForServices(const ServiceIdentifiers& services) {
    return applyToPartNetworkServices(
        [](const NetworkService& service) { return rollbackResolversFor(service); }, services, true);
}

bool DNSModifyHelper::flushDNS() {
    environment().log(flushCaches());
    return true;
}

std::string DNSModifyHelper::flushCaches() {
    const DNSModifierEnvironment environment = DNSModifyHelper::environment();
    std::string error;
    auto client = platform::ResolvedClient::connect(environment.busAddress, &error);
    std::string output;
    if (!client || !client->running()) {
        output = "systemd-resolved is not running; no DNS cache to flush";
    } else {
        const auto result = client->flushCaches();
        output = result.ok() ? "caches flushed" : result.error;
    }
    return "Command org.freedesktop.resolve1.Manager.FlushCaches output " + output;
}

void DNSModifyHelper::touchDynamicStore() {
    // resolved and glibc take in the new settings by themselves; only the log line remains.
    environment().log("DynamicStore updated");
}

void DNSModifyHelper::forceDHCPUpdate() {
    // Linux has no request that makes every DHCP client renew; the operation has no caller.
    environment().log("Forcing DHCP update");
}

}  // namespace helper
