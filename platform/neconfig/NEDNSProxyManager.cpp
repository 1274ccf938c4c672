#include "platform/neconfig/NEDNSProxyManager.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/AtomicFile.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"

namespace platform {
namespace {

// Group-readable for the folder's group "kiv"; nobody else reads what steers the DNS.
constexpr mode_t kPreferencesMode = 0640;

std::string_view describe(NEDNSProxyManagerError code) {
    switch (code) {
        case NEDNSProxyManagerError::configurationInvalid:
            return "The DNS proxy configuration is invalid";
        case NEDNSProxyManagerError::configurationDisabled:
            return "The DNS proxy configuration is not enabled";
        case NEDNSProxyManagerError::configurationStale:
            return "The DNS proxy configuration was changed by another process since it was loaded";
        case NEDNSProxyManagerError::configurationCannotBeRemoved:
            return "The DNS proxy configuration cannot be removed";
    }
    return "The DNS proxy configuration failed";
}

ErrorObject posixError(int error, const std::string& what) {
    return ErrorObject{std::string(NSPOSIXErrorDomain), error, what + ": " + std::strerror(error)};
}

}  // namespace

ErrorObject makeNEDNSProxyError(NEDNSProxyManagerError code, const std::string& description) {
    std::string text(describe(code));
    if (!description.empty()) text += ": " + description;
    return ErrorObject{std::string(NEDNSProxyErrorDomain), static_cast<std::int64_t>(code), std::move(text)};
}

std::shared_ptr<NEDNSProxyManager> NEDNSProxyManager::shared() {
    static NoDestructor<std::shared_ptr<NEDNSProxyManager>> manager(
        make(ne::defaultDNSProxyPreferencesPath(), mainQueue()));
    return *manager;
}

std::shared_ptr<NEDNSProxyManager> NEDNSProxyManager::make(std::string preferencesPath,
                                                           DispatchQueuePtr completionQueue) {
    return std::make_shared<NEDNSProxyManager>(std::move(preferencesPath), std::move(completionQueue));
}

NEDNSProxyManager::NEDNSProxyManager(std::string preferencesPath, DispatchQueuePtr completionQueue)
    : path_(std::move(preferencesPath)), queue_(std::move(completionQueue)) {}

bool NEDNSProxyManager::isEnabled() const {
    std::lock_guard lock(mutex_);
    return memory_.enabled;
}

void NEDNSProxyManager::setEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    memory_.enabled = enabled;
}

std::string NEDNSProxyManager::localizedDescription() const {
    std::lock_guard lock(mutex_);
    return memory_.localizedDescription;
}

void NEDNSProxyManager::setLocalizedDescription(std::string description) {
    std::lock_guard lock(mutex_);
    memory_.localizedDescription = std::move(description);
}

std::optional<NEDNSProxyProviderProtocol> NEDNSProxyManager::providerProtocol() const {
    std::lock_guard lock(mutex_);
    return memory_.protocol;
}

void NEDNSProxyManager::setProviderProtocol(std::optional<NEDNSProxyProviderProtocol> protocol) {
    std::lock_guard lock(mutex_);
    memory_.protocol = std::move(protocol);
}

void NEDNSProxyManager::loadFromPreferences(Completion completion) {
    perform(Operation::load, std::move(completion));
}
void NEDNSProxyManager::saveToPreferences(Completion completion) {
    perform(Operation::save, std::move(completion));
}
void NEDNSProxyManager::removeFromPreferences(Completion completion) {
    perform(Operation::remove, std::move(completion));
}

void NEDNSProxyManager::failNext(Operation operation, ErrorObject error) {
    std::lock_guard lock(mutex_);
    memory_.faults[operation].push_back(std::move(error));
}

std::optional<ErrorObject> NEDNSProxyManager::takeFault(Operation operation) {
    std::lock_guard lock(mutex_);
    auto& faults = memory_.faults[operation];
    if (faults.empty()) return std::nullopt;
    ErrorObject fault = std::move(faults.front());
    faults.pop_front();
    return fault;
}

void NEDNSProxyManager::perform(Operation operation, Completion completion) {
    queue_->async([self = shared_from_this(), operation, completion = std::move(completion)] {
        std::optional<ErrorObject> error = self->takeFault(operation);
        if (!error) {
            switch (operation) {
                case Operation::load:
                    error = self->load();
                    break;
                case Operation::save:
                    error = self->save();
                    break;
                case Operation::remove:
                    error = self->remove();
                    break;
            }
        }
        if (completion) completion(std::move(error));
    });
}

std::optional<NEDNSProxyManager::FileIdentity> NEDNSProxyManager::identityOnDisk() const {
    struct stat info {};
    if (::lstat(path_.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{
        info.st_dev, info.st_ino, info.st_size,
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

std::optional<ErrorObject> NEDNSProxyManager::load() {
    const auto before = identityOnDisk();
    const ne::PreferencesLoad loaded = ne::loadDNSProxyPreferences(path_);
    std::lock_guard lock(mutex_);
    switch (loaded.status) {
        case ne::PreferencesLoad::Status::missing:
            memory_.localizedDescription.clear();
            memory_.enabled = false;
            memory_.protocol.reset();
            memory_.known = std::optional<FileIdentity>{};
            return std::nullopt;
        case ne::PreferencesLoad::Status::unreadable:
            return makeNEDNSProxyError(NEDNSProxyManagerError::configurationInvalid, loaded.error);
        case ne::PreferencesLoad::Status::loaded:
            break;
    }
    const ne::DNSProxyPreferences& file = loaded.preferences;
    memory_.localizedDescription = file.localizedDescription;
    memory_.enabled = file.enabled;
    if (file.providerBundleIdentifier.empty()) {
        memory_.protocol.reset();
    } else {
        memory_.protocol = NEDNSProxyProviderProtocol{file.serverAddress, file.providerBundleIdentifier,
                                                      file.providerConfiguration, file.disconnectOnSleep,
                                                      file.enforceRoutes};
    }
    memory_.known = before;
    return std::nullopt;
}

std::optional<ErrorObject> NEDNSProxyManager::save() {
    ne::DNSProxyPreferences file;
    {
        std::lock_guard lock(mutex_);
        if (!memory_.protocol || memory_.protocol->providerBundleIdentifier.empty()) {
            return makeNEDNSProxyError(NEDNSProxyManagerError::configurationInvalid,
                                       "no provider protocol with a provider bundle identifier");
        }
        if (memory_.protocol->providerConfiguration &&
            !memory_.protocol->providerConfiguration->is_object()) {
            return makeNEDNSProxyError(NEDNSProxyManagerError::configurationInvalid,
                                       "the provider configuration is not a dictionary");
        }
        // Someone else's save since ours would be lost without a word.
        if (memory_.known && *memory_.known != identityOnDisk()) {
            return makeNEDNSProxyError(NEDNSProxyManagerError::configurationStale, path_);
        }
        file.localizedDescription = memory_.localizedDescription;
        file.enabled = memory_.enabled;
        file.providerBundleIdentifier = memory_.protocol->providerBundleIdentifier;
        file.serverAddress = memory_.protocol->serverAddress;
        file.providerConfiguration = memory_.protocol->providerConfiguration;
        file.disconnectOnSleep = memory_.protocol->disconnectOnSleep;
        file.enforceRoutes = memory_.protocol->enforceRoutes;
    }
    // The folder's own answer first: its errno is the one worth reporting (no folder, not a
    // member of its group).
    const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
    FileDescriptor directory(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0) return posixError(errno, folder.string());
    if (::faccessat(directory.get(), ".", W_OK, AT_EACCESS) != 0) return posixError(errno, folder.string());
    const std::string failure = writeFileAtomically(path_, file.toJSON().dump(2) + "\n", kPreferencesMode);
    if (!failure.empty()) return ErrorObject{std::string(NSPOSIXErrorDomain), EIO, failure};
    std::lock_guard lock(mutex_);
    memory_.known = identityOnDisk();
    return std::nullopt;
}

std::optional<ErrorObject> NEDNSProxyManager::remove() {
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) return posixError(errno, path_);
    std::lock_guard lock(mutex_);
    memory_.localizedDescription.clear();
    memory_.enabled = false;
    memory_.protocol.reset();
    memory_.known = std::optional<FileIdentity>{};
    return std::nullopt;
}

}  // namespace platform
