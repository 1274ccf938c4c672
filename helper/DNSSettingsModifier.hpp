#pragma once
// DNSModifyHelper: sets the DNS servers of the computer's network services, keeps a backup of each
// service's DNS settings before it first changes them, puts them back on request and flushes the
// system's DNS cache. Runs as root inside the helper tool; every operation logs to the helper log.
//
// Network services on Linux are the kernel's links (if_nameindex, flags from SIOCGIFFLAGS), in
// index order; a service's identifier and its user-visible name are the interface name ("eth0").
// A service is enabled when its link is administratively up, and supports DNS unless it is a
// loopback link. Where systemd-resolved owns org.freedesktop.resolve1 on the system bus, a
// service's DNS configuration is its link's servers and domains in resolved (read through the
// link's "DNS" and "Domains" properties); servers are set with SetLinkDNS as each service is
// visited, and "no servers" is RevertLink for a link without domains, else SetLinkDNS with none
// (its domains stay). Elsewhere every service shares <root>/etc/resolv.conf: a walk edits it in
// memory and its commit writes it once, atomically, keeping every line but the "nameserver"
// lines. A resolv.conf that is a symbolic link belongs to another resolver manager: it is
// neither followed nor replaced, and changes through it fail.
//
// Backups live in the user defaults of the helper process (root's), one entry per service under
// backupKey(identifier); an entry is written on the first change of a service, never overwritten,
// and removed only by a rollback of that service that succeeded.
// With the shared resolv.conf, a service first changed after another one is backed up with the
// other's backup (the file before the first change), so a rollback in any order restores it.
//
// Threads: any. Walks are serialised by an advisory lock (flock) on <root>/run/KIVDNSModifier.lock,
// also between processes, held until the walk's changes are committed.
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/UserDefaults.hpp"

namespace helper {

// Server addresses as texts; each must be a plain IPv4 or IPv6 literal (no zone, no port), else the
// request is refused whole. An empty list means "no servers of our own": DHCP-supplied ones apply.
using Resolvers = std::vector<std::string>;
using ServiceIdentifiers = std::vector<std::string>;

// One network service as a walk sees it. Only valid inside the walk's block.
struct NetworkService {
    std::string identifier;  // the interface name
    std::string name;        // user-visible name (the interface name)
    int interfaceIndex = 0;  // 0: no interface
    bool enabled = false;    // link administratively up
    bool loopback = false;
};

// Where the modifier acts. Every part left empty takes the running system's (HelperPaths'
// root and resolved bus address); tests point every part elsewhere.
struct DNSModifierEnvironment {
    std::optional<std::filesystem::path> root;  // <root>/etc/resolv.conf, <root>/run/KIVDNSModifier.lock
    // Where resolved is asked; none: HelperPaths' bus address, else <root>/run/dbus/system_bus_socket
    // (the system bus itself for the root "/").
    std::optional<std::string> busAddress;
    platform::UserDefaultsPtr backups;  // none: platform::UserDefaults::standard()
    // The services of the computer; none: the kernel's links but loopback.
    std::function<std::vector<NetworkService>()> services;
    // The helper log; none: platform::KIVLogHelper::sharedInstance().
    std::function<void(const std::string&)> log;
};

class DNSModifyHelper {
public:
    using ServiceBlock = std::function<bool(const NetworkService&)>;

    // Every service, with backup; commits; posts "CONFIGURATION_CHANGED". False when any service
    // could not be changed (the others are changed and committed all the same), when a server
    // address is not an IP literal (then nothing is changed), or when the commit failed.
    static bool setResolvers(const Resolvers& resolvers);
    // Every service back to its backup; commits; posts "CONFIGURATION_CHANGED".
    static bool rollbackResolvers();
    // The listed services (identifiers naming no service are skipped), with backup; no notification.
    static bool setResolversForServices(const Resolvers& resolvers, const ServiceIdentifiers& services);
    static bool rollbackResolversForServices(const ServiceIdentifiers& services);
    // Flushes resolved's caches where it runs (glibc keeps none). Always true.
    static bool flushDNS();
    // The flush without its log line: the line, for a caller that logs it under its own rules.
    static std::string flushCaches();

    // The per-service steps; called inside a walk.
    static bool setResolversTo(const Resolvers& resolvers, const NetworkService& service, bool backupDNS);
    // True when there was no backup or it was restored; false (backup kept) when restoring failed.
    static bool rollbackResolversFor(const NetworkService& service);
    static bool dnsSupportForNetworkService(const NetworkService& service);

    // The walkers: lock, run the block per service (result ANDed), commit, unlock.
    static bool applyToNetworkServices(const ServiceBlock& block, bool commit);
    static bool applyToPartNetworkServices(const ServiceBlock& block, const ServiceIdentifiers& services,
                                           bool commit);

    static void touchDynamicStore();
    static void forceDHCPUpdate();

    // "KIVDNSModifier:Backup/Network/Service/<identifier>/IPv4".
    static std::string backupKey(const std::string& serviceIdentifier);

    // The environment of every later call: the helper's start sets it, tests point it elsewhere.
    static void setEnvironment(DNSModifierEnvironment environment);
    static DNSModifierEnvironment environment();
};

// Name of the in-process notification posted after whole-set changes.
inline constexpr const char* kConfigurationChangedNotification = "CONFIGURATION_CHANGED";

}  // namespace helper
