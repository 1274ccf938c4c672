#pragma once
// System-extension activation as the application sees it: a request to activate or deactivate
// the extension with a given identifier, submitted to the process's manager, answered through
// the request's delegate on the request's queue (needs the user's approval, replace an
// installed version?, finished with a result, failed with an error).
//
// Who carries the request out is an ExtensionHost (platform/sysext/ExtensionHost.hpp): on a
// computer run by systemd its system unit, started over D-Bus with polkit's answer as the
// user's approval (SystemdExtensionHost); elsewhere a supervisor that runs the extension's
// daemon itself (SupervisedExtensionHost).
//
// Threads: submitRequest from any thread; the delegate is held weakly and called on the
// request's queue only.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Dispatch.hpp"
#include "platform/xpc/ErrorObject.hpp"

namespace platform {

inline constexpr std::string_view OSSystemExtensionErrorDomain = "OSSystemExtensionErrorDomain";

enum class OSSystemExtensionError : std::int64_t {
    unknown = 1,
    missingEntitlement = 2,
    unsupportedParentBundleLocation = 3,
    extensionNotFound = 4,
    extensionMissingIdentifier = 5,
    duplicateExtensionIdentifer = 6,
    unknownExtensionCategory = 7,
    codeSignatureInvalid = 8,
    validationFailed = 9,
    forbiddenBySystemPolicy = 10,
    requestCanceled = 11,
    requestSuperseded = 12,
    authorizationRequired = 13,
};

ErrorObject makeSystemExtensionError(OSSystemExtensionError code, std::string description);

enum class OSSystemExtensionRequestResult : std::int64_t { completed = 0, willCompleteAfterReboot = 1 };
enum class OSSystemExtensionReplacementAction { cancel, replace };

// What a host knows of one extension.
struct OSSystemExtensionProperties {
    std::string bundleIdentifier;
    std::string bundleVersion;       // CFBundleVersion
    std::string bundleShortVersion;  // CFBundleShortVersionString
    std::filesystem::path url;       // the extension's folder
    std::filesystem::path executable;

    bool operator==(const OSSystemExtensionProperties&) const = default;
};

class OSSystemExtensionRequest;

class OSSystemExtensionRequestDelegate {
public:
    virtual ~OSSystemExtensionRequestDelegate() = default;
    virtual OSSystemExtensionReplacementAction actionForReplacingExtension(
        const OSSystemExtensionRequest& request, const OSSystemExtensionProperties& existing,
        const OSSystemExtensionProperties& extension) = 0;
    virtual void requestNeedsUserApproval(const OSSystemExtensionRequest& request) = 0;
    virtual void didFinishWithResult(const OSSystemExtensionRequest& request,
                                     OSSystemExtensionRequestResult result) = 0;
    virtual void didFailWithError(const OSSystemExtensionRequest& request, const ErrorObject& error) = 0;
};

class OSSystemExtensionRequest {
public:
    enum class Action { activate, deactivate };

    static std::shared_ptr<OSSystemExtensionRequest> activationRequest(std::string identifier,
                                                                       DispatchQueuePtr queue);
    static std::shared_ptr<OSSystemExtensionRequest> deactivationRequest(std::string identifier,
                                                                         DispatchQueuePtr queue);
    OSSystemExtensionRequest(Action action, std::string identifier, DispatchQueuePtr queue);

    Action action() const { return action_; }
    const std::string& identifier() const { return identifier_; }
    const DispatchQueuePtr& queue() const { return queue_; }
    // Set before submitting; held weakly.
    void setDelegate(std::weak_ptr<OSSystemExtensionRequestDelegate> delegate) {
        delegate_ = std::move(delegate);
    }
    std::shared_ptr<OSSystemExtensionRequestDelegate> delegate() const { return delegate_.lock(); }
    // "<OSSystemExtensionRequest activate com.example.extension>"
    std::string description() const;

private:
    const Action action_;
    const std::string identifier_;
    const DispatchQueuePtr queue_;
    std::weak_ptr<OSSystemExtensionRequestDelegate> delegate_;
};

class ExtensionHost;

class OSSystemExtensionManager {
public:
    // The process's manager: SystemdExtensionHost where systemd runs the computer
    // (/run/systemd/system exists), else SupervisedExtensionHost with its defaults.
    static OSSystemExtensionManager& shared();
    explicit OSSystemExtensionManager(std::shared_ptr<ExtensionHost> host);

    void submitRequest(const std::shared_ptr<OSSystemExtensionRequest>& request);
    const std::shared_ptr<ExtensionHost>& host() const { return host_; }

private:
    std::shared_ptr<ExtensionHost> host_;
};

}  // namespace platform
