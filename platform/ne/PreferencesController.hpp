#pragma once
// The DNS-proxy manager's side of the platform: turns the preferences file into
// proxy starts and stops on the provider host. Enabled preferences start the proxy
// with their provider configuration as the "VendorData" start option; disabled or
// removed preferences stop it (stop reasons configurationDisabled and
// configurationRemoved). A save that changes the provider configuration while the
// proxy runs restarts it (stop with reason superceded, then start), as the
// application's disable-then-enable would, so that no save is lost when the two
// writes reach the watcher together. The host rides through a disable and such a
// restart (ProviderHost's grace period); a removal, the application's quit, ends
// the proxy and its interception at once, also right after a disable. An
// unreadable file changes nothing.
// "intercept" false starts the proxy listening only; a change of it restarts the
// proxy too.
//
// Threads: refresh() may be called from any thread; its work runs on its own queue.
#include <asio/io_context.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/SystemLog.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"
#include "platform/ne/PreferencesWatcherLinux.hpp"
#include "platform/ne/ProviderHost.hpp"

namespace platform::ne {

class PreferencesController {
public:
    PreferencesController(asio::io_context& io, ProviderHost& host, std::string path);
    // Reads the file now and then on every change; a missing folder is waited for.
    // Throws std::system_error when neither the folder nor an ancestor can be
    // watched.
    void start();
    void refresh();

private:
    void apply(const PreferencesLoad& load);

    asio::io_context& io_;
    ProviderHost& host_;
    std::string path_;
    Queue queue_;
    SystemLog log_;
    std::unique_ptr<PreferencesWatcher> watcher_;
    // On queue_: the provider configuration the running proxy was started with.
    bool started_ = false;
    std::optional<nlohmann::json> startedWith_;
    bool startedIntercepting_ = true;
    std::vector<std::string> lastProblems_;  // the last file's problems, as logged
};

}  // namespace platform::ne
