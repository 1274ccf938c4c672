#pragma once
// The system's DNS-proxy manager as the application sees it: one configuration (description,
// enabled flag, provider protocol) held in memory, loaded from, saved to and removed from the
// DNS-proxy preferences file that kivdnsproxy follows (platform/ne/DNSProxyPreferences.hpp).
//
// The preferences folder belongs to root and the group "kiv" (mode 2770, made by the installing
// step): whoever writes the file steers the computer's DNS. Saved files are mode 0640, so the
// group reads them and only the folder's members can replace them.
//
// Errors are those of the platform: NEDNSProxyErrorDomain with the NEDNSProxyManagerError codes
// (an invalid configuration, a file changed by someone else since it was loaded, one that cannot
// be removed), or NSPOSIXErrorDomain with the errno of a failed read, write or removal.
//
// Threads: the in-memory members may be read and set from any thread (one lock). load, save and
// remove run on the completion queue (the main queue unless given) and call their completion
// there, never on the caller's stack.
#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Dispatch.hpp"
#include "platform/xpc/ErrorObject.hpp"

namespace platform {

inline constexpr std::string_view NEDNSProxyErrorDomain = "NEDNSProxyErrorDomain";

enum class NEDNSProxyManagerError : std::int64_t {
    configurationInvalid = 1,
    configurationDisabled = 2,
    configurationStale = 3,
    configurationCannotBeRemoved = 4,
};

ErrorObject makeNEDNSProxyError(NEDNSProxyManagerError code, const std::string& description = {});

struct NEDNSProxyProviderProtocol {
    std::optional<std::string> serverAddress;
    std::string providerBundleIdentifier;
    std::optional<nlohmann::json> providerConfiguration;  // an object: the provider's vendor data
    bool disconnectOnSleep = false;
    bool enforceRoutes = false;

    bool operator==(const NEDNSProxyProviderProtocol&) const = default;
};

class NEDNSProxyManager : public std::enable_shared_from_this<NEDNSProxyManager> {
public:
    using Completion = std::function<void(std::optional<ErrorObject>)>;
    enum class Operation { load, save, remove };

    // The process's manager on the default preferences file
    // (platform::ne::defaultDNSProxyPreferencesPath(), read when first asked for).
    static std::shared_ptr<NEDNSProxyManager> shared();
    static std::shared_ptr<NEDNSProxyManager> make(std::string preferencesPath,
                                                   DispatchQueuePtr completionQueue = mainQueue());
    NEDNSProxyManager(std::string preferencesPath, DispatchQueuePtr completionQueue);

    const std::string& preferencesPath() const { return path_; }

    bool isEnabled() const;
    void setEnabled(bool enabled);
    std::string localizedDescription() const;
    void setLocalizedDescription(std::string description);
    std::optional<NEDNSProxyProviderProtocol> providerProtocol() const;
    void setProviderProtocol(std::optional<NEDNSProxyProviderProtocol> protocol);

    // Reads the file into memory. No file is no error: the manager is then empty (disabled, no
    // protocol). An unreadable or malformed file leaves memory as it was.
    void loadFromPreferences(Completion completion);
    // Writes memory to the file. A configuration without a provider protocol or without a
    // provider identifier is invalid; a file that changed on disk since the last load or save is
    // stale (load again first).
    void saveToPreferences(Completion completion);
    // Removes the file; memory becomes empty. No file is no error.
    void removeFromPreferences(Completion completion);

    // Tests: the next `operation` fails with `error` instead of touching the file (one per call,
    // in order).
    void failNext(Operation operation, ErrorObject error);

private:
    struct FileIdentity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        std::int64_t modifiedNanoseconds = 0;
        bool operator==(const FileIdentity&) const = default;
    };
    struct Memory {
        std::string localizedDescription;
        bool enabled = false;
        std::optional<NEDNSProxyProviderProtocol> protocol;
        // What the file was at the last load or save; nullopt: none was there.
        std::optional<std::optional<FileIdentity>> known;
        std::map<Operation, std::deque<ErrorObject>> faults;
    };

    std::optional<ErrorObject> takeFault(Operation operation);
    std::optional<FileIdentity> identityOnDisk() const;
    std::optional<ErrorObject> load();
    std::optional<ErrorObject> save();
    std::optional<ErrorObject> remove();
    void perform(Operation operation, Completion completion);

    const std::string path_;
    const DispatchQueuePtr queue_;
    mutable std::mutex mutex_;
    Memory memory_;  // guarded by mutex_
};

}  // namespace platform
