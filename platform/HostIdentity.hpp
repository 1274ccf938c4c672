#pragma once
// Who and where we are, as the device server is told: the account of the effective user id, the
// computer's names, its network interfaces and the kernel's version. Every answer is read afresh
// from the system; nothing is cached and nothing is written.
//
// The files consulted are named by HostIdentityPaths, so tests point them at temporary folders:
//   machine-info  PRETTY_HOSTNAME=... (systemd's hostnamed file; shell-style quoting)
//   passwd        the local account file (an account listed there is a local account)
//   class/net     <interface>/wireless exists for a Wi-Fi interface
//
// Threads: any; no state.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct HostIdentityPaths {
    std::filesystem::path machineInfo = "/etc/machine-info";
    std::filesystem::path passwd = "/etc/passwd";
    std::filesystem::path classNet = "/sys/class/net";
};

struct UserAccount {
    std::string loginName;
    std::string fullName;  // the GECOS field up to its first comma; may be empty
    std::filesystem::path home;
};

struct NetworkInterfaceInfo {
    std::string name;
    bool wireless = false;
    bool operator==(const NetworkInterfaceInfo&) const = default;
};

struct OSVersion {
    long major = 0;
    long minor = 0;
    bool operator==(const OSVersion&) const = default;
};

class HostIdentity {
public:
    explicit HostIdentity(HostIdentityPaths paths = {}) : paths_(std::move(paths)) {}

    // getpwuid_r of the effective user id; nothing when the account database has no entry.
    std::optional<UserAccount> effectiveUser() const;
    // The kernel's host name (uname's node name).
    std::string hostName() const;
    // PRETTY_HOSTNAME of the machine-info file when it is set and not empty, else hostName().
    std::string computerName() const;
    // True when `loginName` has an entry in the local account file (not only through NSS).
    bool isLocalAccount(std::string_view loginName) const;
    // The interfaces the kernel lists (getifaddrs), each once, in the kernel's order, loopback
    // interfaces left out.
    std::vector<NetworkInterfaceInfo> networkInterfaces() const;
    bool isWireless(std::string_view interfaceName) const;
    // The running kernel's version (uname's release).
    std::optional<OSVersion> osVersion() const;

    // The value of PRETTY_HOSTNAME in the text of a machine-info file, unquoted; nothing when
    // absent.
    static std::optional<std::string> prettyHostName(std::string_view machineInfo);
    // The first two numbers of a kernel release text ("6.1.0-18-amd64": 6.1).
    static std::optional<OSVersion> parseRelease(std::string_view release);
    // The GECOS field's full name: the text before the first comma.
    static std::string fullNameFromGecos(std::string_view gecos);

private:
    HostIdentityPaths paths_;
};

}  // namespace platform
