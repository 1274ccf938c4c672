#pragma once
// A provider for host tests: records starts, stops and the flows it is offered,
// and takes them or not as told. Thread-safe enough for the tests' single io thread.
#include <functional>
#include <mutex>
#include <vector>

#include "platform/ne/NEDNSProxyProvider.hpp"

namespace testing_ne {

class RecordingProvider final : public platform::ne::NEDNSProxyProvider {
public:
    void startProxy(const platform::ne::StartOptions& options,
                    platform::ne::StartCompletion completion) override {
        std::lock_guard lock(mutex);
        starts.push_back(options);
        completion(std::nullopt);
    }
    void stopProxy(platform::ne::NEProviderStopReason reason, std::function<void()> completion) override {
        {
            std::lock_guard lock(mutex);
            stops.push_back(reason);
        }
        completion();
    }
    bool handleNewFlow(const std::shared_ptr<platform::ne::NEAppProxyFlow>&) override { return false; }
    bool handleNewUDPFlow(const std::shared_ptr<platform::ne::NEAppProxyUDPFlow>& flow,
                          const platform::ne::NWEndpoint& remote) override {
        bool taken = false;
        {
            std::lock_guard lock(mutex);
            remotes.push_back(remote);
            if (accept) flows.push_back(flow);
            taken = accept;
        }
        if (whileOffered) whileOffered();
        return taken;
    }

    std::size_t startCount() {
        std::lock_guard lock(mutex);
        return starts.size();
    }
    std::size_t stopCount() {
        std::lock_guard lock(mutex);
        return stops.size();
    }

    std::mutex mutex;
    bool accept = true;
    // Runs on the host's thread inside each offer, after the flow is recorded.
    std::function<void()> whileOffered;
    std::vector<platform::ne::StartOptions> starts;
    std::vector<platform::ne::NEProviderStopReason> stops;
    std::vector<std::shared_ptr<platform::ne::NEAppProxyUDPFlow>> flows;
    std::vector<platform::ne::NWEndpoint> remotes;
};

}  // namespace testing_ne
