#pragma once
// The device server's two calls as synchronous operations: registration ("account_add_device" on
// "/api/register") and configuration fetch ("device_configure" on "/api/device"). Each call reads
// the server settings afresh (a new transport per valid "RPC_URL"), builds its body, posts it from
// a global queue and blocks until the reply has been stored, then returns it.
//
// Every call returns: at the latest when the transport's time limit has ended the request, and,
// as a backstop should a completion ever be lost, a few seconds after that limit. A call with no
// transport at all returns empty at once. On the main thread the wait turns the main loop between
// one-second waits, so main-queue work (log lines, notifications) goes on meanwhile.
//
// Threads: the calls from any thread, concurrently too; each takes one snapshot of the transport.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/core/Service.hpp"
#include "app/core/Settings.hpp"
#include "app/server/ComputerNameManager.hpp"
#include "app/server/DeviceRequestModel.hpp"
#include "app/server/Networking.hpp"
#include "app/server/Payload.hpp"
#include "platform/Dispatch.hpp"
#include "platform/HostIdentity.hpp"
#include "platform/http/HTTPClient.hpp"

namespace kiv {

class DeviceServerAPI {
public:
    static constexpr const char* kJSONRPCVersion = "2.0";
    static constexpr const char* kRegistrationType = "KIV";
    static constexpr const char* kClientVersion = "2.0.3";
    static constexpr const char* kOperatingSystemType = "Mac OS";

    struct RegistrationReply {
        std::optional<model::MainConfiguration> reply;
        std::optional<platform::HTTPError> error;
    };
    struct ConfigurationReply {
        std::optional<model::DeviceConfiguration> reply;
        std::optional<platform::HTTPError> error;
        std::optional<model::DeviceError> deviceError;
    };

    // What the configuration request tells about the computer.
    struct SystemFacts {
        std::function<std::vector<platform::NetworkInterfaceInfo>()> interfaces;
        std::function<std::optional<platform::OSVersion>()> osVersion;
        static SystemFacts system();
    };

    // The registry's settings, logger and identity; the process's HTTP client; 60 s.
    DeviceServerAPI();
    DeviceServerAPI(Injected<Settings> settings, Injected<KIVLogger> logger,
                    Injected<ComputerNameManager> computerNameManager, NetworkingOptions transport,
                    SystemFacts facts = SystemFacts::system());

    // Replaces the transport from "RPC_URL" and "ALLOW_WEAK_KEY" (exactly "true" turns certificate
    // checking off); without a valid URL the transport stays as it was.
    void configureNetworking();

    RegistrationReply registerDevice(const std::string& key, const std::string& name);
    ConfigurationReply configureDevice(const std::string& deviceKey,
                                       const std::optional<std::string>& locationName);

    // The registration body with the given identifier.
    static Payload registrationPayload(const std::string& key, const std::string& name,
                                       std::int64_t identifier);
    // The configuration body for these values (e-mail already checked).
    DeviceRequestModel configurationRequest(const std::string& deviceKey,
                                            const std::optional<std::string>& locationName,
                                            const std::string& email, const std::string& userName) const;
    // `email` unchanged when it looks like an address (^\S+@\S+\.\S+$), else with ".local" appended.
    static std::string checkedEmail(const std::string& email);

    // The transport now held (a snapshot; null before the first valid "RPC_URL").
    std::shared_ptr<Networking> networking() const;

private:
    void log(const std::string& message) const;
    std::shared_ptr<Networking> configuredSnapshot();
    // Blocks until `done` is signalled or the backstop passes; see the header comment.
    void waitForReply(platform::Semaphore& done, std::chrono::milliseconds limit) const;

    Injected<Settings> _settings;
    Injected<KIVLogger> _logger;
    Injected<ComputerNameManager> _computerNameManager;
    platform::DispatchQueuePtr concurrentQueue;  // carries no work
    NetworkingOptions transport_;
    SystemFacts facts_;

    mutable std::mutex mutex_;
    std::shared_ptr<Networking> networking_;  // guarded by mutex_
};

// The registry's record: `global`, a new DeviceServerAPI.
Service deviceServerAPIService();

}  // namespace kiv
