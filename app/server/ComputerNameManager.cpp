#include "app/server/ComputerNameManager.hpp"

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/SystemLog.hpp"
#include "platform/dbus/BusConnection.hpp"
#include "platform/dbus/InfoPipeClient.hpp"

namespace kiv {
namespace {

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The directory may need the network; a lookup blocks its caller at most this long per call.
constexpr std::chrono::seconds kDirectoryTimeout{10};
constexpr const char* kAltSecurityIdentities = "altSecurityIdentities";
constexpr const char* kUserPrincipalName = "userPrincipalName";

std::string stepMessage(platform::dbus::InfoPipeError::Step step) {
    using Step = platform::dbus::InfoPipeError::Step;
    switch (step) {
        case Step::open:
            return "ODNode::nodeWithSession error ";
        case Step::query:
            return "ODQuery::queryWithNode error ";
        case Step::results:
            return "ODQuery::resultsAllowingPartial error ";
        case Step::attribute:
            break;
    }
    return "ODRecord::valuesForAttribute error ";
}

std::optional<std::string> firstValue(const std::map<std::string, std::vector<std::string>>& attributes,
                                      const char* name) {
    const auto found = attributes.find(name);
    if (found == attributes.end() || found->second.empty()) return std::nullopt;
    return found->second.front();
}

}  // namespace

std::optional<ComputerNameManager::DirectoryRecord> ComputerNameManager::infoPipeRecord(
    const std::string& busAddress, const std::string& loginName) {
    const auto lookup = platform::dbus::getUserAttributes(
        busAddress, loginName, {kAltSecurityIdentities, kUserPrincipalName}, kDirectoryTimeout);
    for (const auto& error : lookup.errors) {
        platform::nsLog(stepMessage(error.step) + error.name + " (" + std::to_string(error.code) + ")");
    }
    if (!lookup.attributes) return std::nullopt;
    return DirectoryRecord{firstValue(*lookup.attributes, kAltSecurityIdentities),
                           firstValue(*lookup.attributes, kUserPrincipalName)};
}

std::optional<std::string> ComputerNameManager::identityFrom(const DirectoryRecord& record) {
    if (record.altSecurityIdentity && !record.altSecurityIdentity->empty()) {
        const std::string& value = *record.altSecurityIdentity;
        const auto colon = value.find(':');
        if (colon == std::string::npos) return std::nullopt;
        std::string identity = value.substr(colon + 1, value.find(':', colon + 1) - colon - 1);
        if (identity.empty()) return std::nullopt;
        return identity;
    }
    if (record.userPrincipalName && !record.userPrincipalName->empty()) return record.userPrincipalName;
    return std::nullopt;
}

ComputerNameManager::Sources ComputerNameManager::Sources::system(platform::HostIdentityPaths paths) {
    const auto host = std::make_shared<platform::HostIdentity>(std::move(paths));
    Sources sources;
    sources.account = [host] { return host->effectiveUser(); };
    sources.hostName = [host] { return host->hostName(); };
    sources.computerName = [host] { return host->computerName(); };
    sources.isLocalAccount = [host](std::string_view name) { return host->isLocalAccount(name); };
    sources.directoryRecord = [](std::string_view loginName) {
        return infoPipeRecord(platform::dbus::BusConnection::systemBusAddress(), std::string(loginName));
    };
    sources.environment = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    sources.userDefaults = platform::UserDefaults::standard();
    return sources;
}

std::string ComputerNameManager::loginName() const {
    const auto account = sources_.account();
    return account ? account->loginName : std::string();
}

bool ComputerNameManager::isLocalUser() const {
    const std::string login = loginName();
    // No account at all gives no identity to ask about: counted as local.
    return login.empty() || sources_.isLocalAccount(login);
}

std::string ComputerNameManager::userNameFrom(std::string_view path) {
    // Components as file paths split: the leading "/" is the first one.
    std::vector<std::string_view> components;
    std::size_t at = 0;
    if (path.starts_with('/')) {
        components.push_back("/");
        at = 1;
    }
    while (at < path.size()) {
        const auto slash = path.find('/', at);
        const auto piece =
            path.substr(at, slash == std::string_view::npos ? std::string_view::npos : slash - at);
        if (!piece.empty()) components.push_back(piece);
        if (slash == std::string_view::npos) break;
        at = slash + 1;
    }
    if (components.size() < 3) return std::string(path);
    return std::string(components[2]);
}

std::optional<std::string> ComputerNameManager::nsUserName() const {
    const std::string login = loginName();
    if (login != "root") return login;
    const auto pwd = sources_.environment("PWD");
    if (!pwd) return std::nullopt;
    return userNameFrom(*pwd);
}

std::string ComputerNameManager::fullUserName() const {
    const auto account = sources_.account();
    return account ? account->fullName : std::string();
}

std::string ComputerNameManager::getEMail() const {
    std::string host = sources_.hostName();
    if (host.ends_with("local")) host = replaceAll(std::move(host), "local", "com");
    return nsUserName().value_or("") + "@" + host;
}

void ComputerNameManager::saveComputerName(const std::string& name) const {
    if (sources_.userDefaults) sources_.userDefaults->setString("computerName", name);
}

std::string ComputerNameManager::getComputerName() const {
    const std::string login = loginName();
    std::optional<std::string> identity;
    if (!isLocalUser()) {
        if (const auto record = sources_.directoryRecord(login)) identity = identityFrom(*record);
    }
    if (!identity) identity = login + "@" + sources_.computerName();
    if (!identity->ends_with("local")) *identity += ".local";
    return *identity;
}

Service computerNameManagerService() {
    return Service::make<ComputerNameManager>(Service::LifeCycle::global,
                                              [] { return std::make_shared<ComputerNameManager>(); });
}

}  // namespace kiv
