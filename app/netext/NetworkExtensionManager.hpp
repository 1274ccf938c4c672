#pragma once
// The application's one owner of the DNS-proxy extension: its activation and the DNS-proxy
// configuration (the preferences file that kivdnsproxy follows, platform/ne/DNSProxyPreferences).
//
// This build carries the operations that start-up and quit use. Removing and disabling the
// configuration act on the real preferences file; activation and deactivation of the extension
// are reported as done, since the extension's activation is not built yet.
//
// Threads: any. Completions run on the global default queue, never on the caller's stack.
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace kiv {

class NetworkExtensionManager {
public:
    // An error's localized description; nothing on success.
    using Completion = std::function<void(const std::optional<std::string>& error)>;

    // The process-wide manager, made on first use and never released.
    static NetworkExtensionManager& shared();

    // Submits the activation request of the extension.
    void activate();
    // Submits the deactivation request; `completion` receives its outcome.
    void deactivate(Completion completion);
    // Removes the DNS-proxy configuration. While `terminating` is set no configuration starts.
    void removeFromPreferences(bool terminating, Completion completion);
    // Disables the proxy and saves, keeping the rest of the configuration; nothing when there is
    // no configuration to load.
    void stopProxy();

    bool isTerminating() const;
    // The preferences file; $KIV_DNSPROXY_PREFERENCES or the system's default.
    std::string preferencesPath() const;

private:
    NetworkExtensionManager() = default;
    friend struct ManagerHolder;

    mutable std::mutex mutex_;
    bool isTerminating_ = false;  // guarded by mutex_
};

}  // namespace kiv
