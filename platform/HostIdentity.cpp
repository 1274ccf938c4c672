#include "platform/HostIdentity.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/AtomicFile.hpp"

namespace platform {
namespace {

constexpr std::size_t kMaxSystemFileBytes = 4u << 20;

std::optional<std::string> readSystemFile(const std::filesystem::path& path) {
    FileRead read = readWholeFile(path, kMaxSystemFileBytes);
    if (read.status != FileRead::Status::read) return std::nullopt;
    return std::move(read.content);
}

// One line of text at a time, without its line feed.
template <class Visit>
void forEachLine(std::string_view text, Visit&& visit) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        visit(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

// A value as an env-style file writes it: 'single' quotes take everything literally, "double"
// quotes honour backslash escapes, and a bare value ends at the first blank.
std::string unquote(std::string_view value) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    std::string out;
    if (value.starts_with('\'')) {
        value.remove_prefix(1);
        return std::string(value.substr(0, value.find('\'')));
    }
    if (value.starts_with('"')) {
        for (std::size_t i = 1; i < value.size() && value[i] != '"'; ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) ++i;
            out += value[i];
        }
        return out;
    }
    for (char c : value) {
        if (c == ' ' || c == '\t' || c == '\r') break;
        out += c;
    }
    return out;
}

}  // namespace

std::optional<UserAccount> HostIdentity::effectiveUser() const {
    long bufferSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (bufferSize <= 0) bufferSize = 16384;
    std::vector<char> buffer(static_cast<std::size_t>(bufferSize));
    passwd entry{};
    passwd* found = nullptr;
    int error = 0;
    while ((error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0 || found == nullptr) return std::nullopt;
    return UserAccount{entry.pw_name ? entry.pw_name : "",
                       fullNameFromGecos(entry.pw_gecos ? entry.pw_gecos : ""),
                       entry.pw_dir ? entry.pw_dir : ""};
}

std::string HostIdentity::hostName() const {
    utsname names{};
    if (::uname(&names) != 0) return {};
    return names.nodename;
}

std::string HostIdentity::computerName() const {
    if (auto text = readSystemFile(paths_.machineInfo)) {
        if (auto pretty = prettyHostName(*text); pretty && !pretty->empty()) return *pretty;
    }
    return hostName();
}

bool HostIdentity::isLocalAccount(std::string_view loginName) const {
    const auto text = readSystemFile(paths_.passwd);
    if (!text || loginName.empty()) return false;
    bool listed = false;
    forEachLine(*text, [&](std::string_view line) {
        const auto colon = line.find(':');
        if (colon != std::string_view::npos && line.substr(0, colon) == loginName) listed = true;
    });
    return listed;
}

std::vector<NetworkInterfaceInfo> HostIdentity::networkInterfaces() const {
    std::vector<NetworkInterfaceInfo> interfaces;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return interfaces;
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, ::freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr || entry->ifa_name[0] == '\0') continue;
        const std::string name = entry->ifa_name;
        if ((entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
        bool seen = false;
        for (const auto& known : interfaces) seen = seen || known.name == name;
        if (!seen) interfaces.push_back({name, isWireless(name)});
    }
    return interfaces;
}

bool HostIdentity::isWireless(std::string_view interfaceName) const {
    // Kernel interface names never hold a slash; a name that does is no interface of ours.
    if (interfaceName.empty() || interfaceName.find('/') != std::string_view::npos || interfaceName == "." ||
        interfaceName == "..") {
        return false;
    }
    std::error_code error;
    return std::filesystem::exists(paths_.classNet / std::string(interfaceName) / "wireless", error);
}

std::optional<OSVersion> HostIdentity::osVersion() const {
    utsname names{};
    if (::uname(&names) != 0) return std::nullopt;
    return parseRelease(names.release);
}

std::optional<std::string> HostIdentity::prettyHostName(std::string_view machineInfo) {
    std::optional<std::string> value;
    forEachLine(machineInfo, [&](std::string_view line) {
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        constexpr std::string_view key = "PRETTY_HOSTNAME=";
        if (line.starts_with(key)) value = unquote(line.substr(key.size()));  // the last one wins
    });
    return value;
}

std::optional<OSVersion> HostIdentity::parseRelease(std::string_view release) {
    OSVersion version;
    if (release.empty() || release.front() < '0' || release.front() > '9') return std::nullopt;
    const char* begin = release.data();
    const char* end = release.data() + release.size();
    auto [afterMajor, majorError] = std::from_chars(begin, end, version.major);
    if (majorError != std::errc() || afterMajor == end || *afterMajor != '.') return std::nullopt;
    if (afterMajor + 1 == end || afterMajor[1] < '0' || afterMajor[1] > '9') return std::nullopt;
    if (std::from_chars(afterMajor + 1, end, version.minor).ec != std::errc()) return std::nullopt;
    return version;
}

std::string HostIdentity::fullNameFromGecos(std::string_view gecos) {
    return std::string(gecos.substr(0, gecos.find(',')));
}

}  // namespace platform
