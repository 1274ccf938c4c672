#pragma once
// A NetworkExtensionManager of the test's own: a scripted system-extension host (the test
// answers each request), a DNS-proxy manager on the temporary preferences file, a link of its
// own, and an extension bundle whose service nobody serves unless the test starts one.
#include <mutex>
#include <vector>

#include "ExtensionTestSupport.hpp"
#include "app/netext/NetworkExtensionManager.hpp"
#include "platform/sysext/ExtensionHost.hpp"

namespace kiv::netexttest {

class ScriptedHost final : public platform::ExtensionHost {
public:
    void activate(std::shared_ptr<platform::RequestReport> report) override { add(std::move(report)); }
    void deactivate(std::shared_ptr<platform::RequestReport> report) override { add(std::move(report)); }
    std::vector<std::shared_ptr<platform::RequestReport>> reports() {
        std::lock_guard lock(mutex_);
        return reports_;
    }
    std::shared_ptr<platform::RequestReport> last() {
        std::lock_guard lock(mutex_);
        return reports_.empty() ? nullptr : reports_.back();
    }

private:
    void add(std::shared_ptr<platform::RequestReport> report) {
        std::lock_guard lock(mutex_);
        reports_.push_back(std::move(report));
    }
    std::mutex mutex_;
    std::vector<std::shared_ptr<platform::RequestReport>> reports_;
};

// Records the extension's stop reports instead of reacting to them.
class RecordingManager final : public NetworkExtensionManager {
public:
    using NetworkExtensionManager::NetworkExtensionManager;
    Lines reports;

protected:
    void handleProxyStopped(std::int64_t reason) override {
        reports.add("stopped " + std::to_string(reason));
    }
    void handleConnectionError(const platform::ErrorObject& error) override {
        reports.add("error " + error.domain + " " + std::to_string(error.code));
    }
};

class ManagerEnvironment : public ExtensionEnvironment {
protected:
    NetworkExtensionManager::Options options(std::shared_ptr<platform::ExtensionHost> host,
                                             const std::string& service = "kiv.test.netext.unserved") {
        NetworkExtensionManager::Options o;
        o.extensionManager = std::make_shared<platform::OSSystemExtensionManager>(std::move(host));
        o.dnsProxyManager = dnsProxy_;
        o.ipc = ipc_;
        o.locateExtension = [path = folder_.path(), service]() -> std::optional<platform::Bundle> {
            return platform::Bundle::withInfoDictionary(
                path, {{"CFBundleIdentifier", NetworkExtensionManager::kExtensionIdentifier},
                       {"NetworkExtension", {{"NEMachServiceName", service}}}});
        };
        o.primaryIPv4Address = [this] { return primaryAddress_; };
        o.dnsAddresses = [] { return std::vector<std::string>{"192.0.2.1"}; };
        return o;
    }
    std::shared_ptr<RecordingManager> makeManager(std::shared_ptr<platform::ExtensionHost> host,
                                                  const std::string& service = "kiv.test.netext.unserved") {
        return std::make_shared<RecordingManager>(options(std::move(host), service));
    }

    // configureProxy, waiting for its completion; the completion's error, or "dropped" when none
    // came (the attempt was dropped).
    std::optional<std::string> configure(NetworkExtensionManager& manager,
                                         std::optional<NetworkExtConfig> record, bool enable) {
        bool called = false;
        std::optional<std::string> result;
        manager.configureProxy(std::move(record), enable, [&](const std::optional<std::string>& error) {
            called = true;
            result = error;
        });
        turnUntil([&] { return called || !manager.isConfiguring(); });
        drainMainQueue();
        return called ? result : std::optional<std::string>("dropped");
    }

    std::optional<std::string> primaryAddress_;
    std::shared_ptr<platform::NEDNSProxyManager> dnsProxy_ =
        platform::NEDNSProxyManager::make((folder_.path() / "dnsproxy" / "preferences.json").string());
    std::shared_ptr<IPCConnection> ipc_ = IPCConnection::create();
};

}  // namespace kiv::netexttest
