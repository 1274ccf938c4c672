#include "platform/ne/DNSProxyPreferences.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/AtomicFile.hpp"

namespace platform::ne {

namespace {

constexpr std::size_t kMaxPreferences = 1 << 20;

std::string errnoText(const std::string& what, int error) { return what + ": " + std::strerror(error); }

template <typename T>
T member(const nlohmann::json& object, const char* key, T fallback) {
    const auto it = object.find(key);
    if (it == object.end()) return fallback;
    if constexpr (std::is_same_v<T, bool>) {
        return it->is_boolean() ? it->get<bool>() : fallback;
    } else {
        return it->is_string() ? it->get<std::string>() : fallback;
    }
}

}  // namespace

nlohmann::json DNSProxyPreferences::toJSON() const {
    nlohmann::json protocol = {{"providerBundleIdentifier", providerBundleIdentifier},
                               {"disconnectOnSleep", disconnectOnSleep},
                               {"enforceRoutes", enforceRoutes}};
    if (serverAddress) protocol["serverAddress"] = *serverAddress;
    if (providerConfiguration) protocol["providerConfiguration"] = *providerConfiguration;
    nlohmann::json result = {
        {"localizedDescription", localizedDescription}, {"enabled", enabled}, {"providerProtocol", protocol}};
    if (intercept) result["intercept"] = *intercept;
    return result;
}

DNSProxyPreferences DNSProxyPreferences::fromJSON(const nlohmann::json& json) {
    DNSProxyPreferences result;
    if (!json.is_object()) return result;
    result.localizedDescription = member<std::string>(json, "localizedDescription", "");
    result.enabled = member<bool>(json, "enabled", false);
    if (const auto it = json.find("intercept"); it != json.end() && it->is_boolean()) {
        result.intercept = it->get<bool>();
    }
    const auto protocol = json.find("providerProtocol");
    if (protocol == json.end() || !protocol->is_object()) return result;
    result.providerBundleIdentifier = member<std::string>(*protocol, "providerBundleIdentifier", "");
    if (const auto it = protocol->find("serverAddress"); it != protocol->end() && it->is_string()) {
        result.serverAddress = it->get<std::string>();
    }
    result.disconnectOnSleep = member<bool>(*protocol, "disconnectOnSleep", false);
    result.enforceRoutes = member<bool>(*protocol, "enforceRoutes", false);
    if (const auto it = protocol->find("providerConfiguration"); it != protocol->end() && it->is_object()) {
        result.providerConfiguration = *it;
    }
    return result;
}

std::string defaultDNSProxyPreferencesPath() {
    if (const char* path = std::getenv("KIV_DNSPROXY_PREFERENCES"); path && *path) return path;
    return "/var/lib/kiv/dnsproxy/preferences.json";
}

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = errnoText(path, errno);
        return std::nullopt;
    }
    struct stat info {};
    std::optional<std::string> result;
    if (::fstat(fd, &info) != 0) {
        error = errnoText(path, errno);
    } else if (!S_ISREG(info.st_mode)) {
        error = path + ": not a regular file";
    } else if (static_cast<std::size_t>(info.st_size) > limit) {
        error = path + ": larger than " + std::to_string(limit) + " bytes";
    } else {
        std::string content;
        char buffer[8192];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                error = errnoText(path, errno);
                break;
            }
            if (got == 0) {
                result = std::move(content);
                break;
            }
            content.append(buffer, static_cast<std::size_t>(got));
            if (content.size() > limit) {
                error = path + ": larger than " + std::to_string(limit) + " bytes";
                break;
            }
        }
    }
    ::close(fd);
    return result;
}

nlohmann::json parseBoundedJSON(const std::string& text, int maxDepth) {
    bool tooDeep = false;
    // The parser itself keeps its own stack; deeper values are dropped as they come.
    auto result = nlohmann::json::parse(
        text,
        [&](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
            if (depth > maxDepth) tooDeep = true;
            return !tooDeep;
        },
        false);
    if (tooDeep) return nlohmann::json(nlohmann::json::value_t::discarded);
    return result;
}

PreferencesLoad loadDNSProxyPreferences(const std::string& path) {
    PreferencesLoad load;
    std::string error;
    auto text = readSmallFile(path, kMaxPreferences, error);
    if (!text) {
        const bool missing = ::access(path.c_str(), F_OK) != 0 && errno == ENOENT;
        load.status = missing ? PreferencesLoad::Status::missing : PreferencesLoad::Status::unreadable;
        load.error = error;
        return load;
    }
    auto json = parseBoundedJSON(*text);
    if (json.is_discarded() || !json.is_object()) {
        load.status = PreferencesLoad::Status::unreadable;
        load.error =
            path + ": not a JSON object (or nested more than " + std::to_string(kMaxJSONDepth) + " deep)";
        return load;
    }
    load.status = PreferencesLoad::Status::loaded;
    load.preferences = DNSProxyPreferences::fromJSON(json);
    if (const auto enabled = json.find("enabled"); enabled != json.end() && !enabled->is_boolean()) {
        load.problems.push_back("\"enabled\" is not true or false: taken as false, the proxy stays stopped");
    }
    if (const auto intercept = json.find("intercept"); intercept != json.end() && !intercept->is_boolean()) {
        load.problems.push_back("\"intercept\" is not true or false: taken as absent");
    }
    return load;
}

std::string saveDNSProxyPreferences(const std::string& path, const DNSProxyPreferences& preferences) {
    // The setting the application does not manage survives its saves.
    auto saved = preferences;
    if (!saved.intercept) {
        if (const auto load = loadDNSProxyPreferences(path); load.status == PreferencesLoad::Status::loaded)
            saved.intercept = load.preferences.intercept;
    }
    return platform::writeFileAtomically(path, saved.toJSON().dump(2) + "\n", 0644);
}

std::string removeDNSProxyPreferences(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return errnoText(path, errno);
    return {};
}

}  // namespace platform::ne
