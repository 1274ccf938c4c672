#include "platform/net/ResolverConfig.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <sstream>
#include <string_view>

#include "platform/FileDescriptor.hpp"

namespace platform {
namespace {

constexpr off_t kMaxFileSize = 1 << 20;

enum class ReadResult { ok, missing, failed };

ReadResult readSmallFile(const std::string& path, std::string& out) {
    // Symbolic links are followed: /etc/resolv.conf is one under systemd-resolved.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return errno == ENOENT ? ReadResult::missing : ReadResult::failed;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxFileSize) {
        return ReadResult::failed;
    }
    out.clear();
    std::array<char, 4096> buffer;
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return ReadResult::failed;
        if (got == 0) break;
        out.append(buffer.data(), static_cast<std::size_t>(got));
        if (out.size() > static_cast<std::size_t>(kMaxFileSize)) return ReadResult::failed;
    }
    return ReadResult::ok;
}

// The normalised numeric form of an address, IPv6 scope kept; "" when it is none.
std::string normalise(const std::string& text) {
    std::array<unsigned char, 16> bytes{};
    std::array<char, INET6_ADDRSTRLEN> out{};
    if (::inet_pton(AF_INET, text.c_str(), bytes.data()) == 1) {
        return ::inet_ntop(AF_INET, bytes.data(), out.data(), out.size()) ? out.data() : "";
    }
    const auto percent = text.find('%');
    const std::string host = text.substr(0, percent);
    if (::inet_pton(AF_INET6, host.c_str(), bytes.data()) != 1) return {};
    if (!::inet_ntop(AF_INET6, bytes.data(), out.data(), out.size())) return {};
    std::string result = out.data();
    if (percent != std::string::npos) {
        const std::string scope = text.substr(percent + 1);
        if (scope.empty()) return {};
        result += "%" + scope;
    }
    return result;
}

bool contains(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

std::vector<std::string> parseResolvConf(const std::string& text) {
    std::vector<std::string> servers;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // As the system's resolver reads it: the keyword starts the line, then blanks, then
        // the address; comment lines ('#', ';') start with neither.
        constexpr std::string_view kKeyword = "nameserver";
        if (line.compare(0, kKeyword.size(), kKeyword) != 0) continue;
        if (line.size() == kKeyword.size() || (line[kKeyword.size()] != ' ' && line[kKeyword.size()] != '\t'))
            continue;
        std::istringstream words(line.substr(kKeyword.size()));
        std::string address;
        if (!(words >> address)) continue;
        std::string normal = normalise(address);
        if (!normal.empty() && !contains(servers, normal)) servers.push_back(std::move(normal));
    }
    return servers;
}

bool isResolvedStub(const std::string& address) { return address == "127.0.0.53" || address == "127.0.0.54"; }

std::optional<ResolverState> ResolverState::load(const ResolverConfigPaths& paths) {
    std::string text;
    const ReadResult result = readSmallFile(paths.resolvConf, text);
    if (result == ReadResult::failed) return std::nullopt;
    std::vector<std::string> listed =
        result == ReadResult::ok ? parseResolvConf(text) : std::vector<std::string>{};

    if (std::any_of(listed.begin(), listed.end(), isResolvedStub)) {
        // The stub forwards to resolved's upstream servers: those are the system's servers.
        std::string upstream;
        std::vector<std::string> more;
        if (readSmallFile(paths.resolvedUpstream, upstream) == ReadResult::ok)
            more = parseResolvConf(upstream);
        for (auto& address : more) {
            if (!contains(listed, address)) listed.push_back(std::move(address));
        }
    }

    std::vector<std::string> own;
    for (const auto& address : paths.ownAddresses) own.push_back(normalise(address));
    ResolverState state;
    for (auto& address : listed) {
        if (isResolvedStub(address) || contains(own, address)) continue;
        if (state.servers_.size() == kMaxResolverServers) break;
        state.servers_.push_back(std::move(address));
    }
    return state;
}

}  // namespace platform
