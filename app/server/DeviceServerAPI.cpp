#include "app/server/DeviceServerAPI.hpp"

#include <algorithm>
#include <random>

#include "app/Logger/StandardOutput.hpp"
#include "app/server/CommmonValidator.hpp"
#include "model/JSONCoder.hpp"

namespace kiv {
namespace {

using namespace std::chrono_literals;
using K = XNCServerInfoSection;

// How long past the transport's own limit a caller waits for a completion that never comes.
constexpr std::chrono::milliseconds kBackstop = 5s;
constexpr std::chrono::milliseconds kMainThreadWait = 1s;

std::int64_t randomIdentifier() {
    thread_local std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<std::int64_t>(0, 998)(generator) + 1;
}

// What a reply handler stores for its waiting caller; shared because a handler may run after a
// backstopped caller has gone.
template <class Reply>
struct Cells {
    std::mutex mutex;
    Reply reply;  // guarded by mutex
    platform::Semaphore done;
};

}  // namespace

DeviceServerAPI::SystemFacts DeviceServerAPI::SystemFacts::system() {
    return SystemFacts{[] { return platform::HostIdentity().networkInterfaces(); },
                       [] { return platform::HostIdentity().osVersion(); }};
}

DeviceServerAPI::DeviceServerAPI()
    : DeviceServerAPI(Injected<Settings>(), Injected<KIVLogger>(), Injected<ComputerNameManager>(), {}) {}

DeviceServerAPI::DeviceServerAPI(Injected<Settings> settings, Injected<KIVLogger> logger,
                                 Injected<ComputerNameManager> computerNameManager,
                                 NetworkingOptions transport, SystemFacts facts)
    : _settings(std::move(settings)),
      _logger(std::move(logger)),
      _computerNameManager(std::move(computerNameManager)),
      concurrentQueue(platform::makeConcurrentQueue("DeviceServerAPI.queue")),
      transport_(std::move(transport)),
      facts_(std::move(facts)) {}

void DeviceServerAPI::log(const std::string& message) const {
    _logger->log(message, model::LogLevel::production);
}

std::shared_ptr<Networking> DeviceServerAPI::networking() const {
    std::lock_guard lock(mutex_);
    return networking_;
}

void DeviceServerAPI::configureNetworking() { (void)configuredSnapshot(); }

std::shared_ptr<Networking> DeviceServerAPI::configuredSnapshot() {
    const auto& defaults = _settings->userDefaults();
    std::optional<platform::URL> url;
    if (const auto text = defaults->stringForKey(std::string(rawValue(K::rpcURL))))
        url = Settings::serverURL(*text);
    if (!url) {
        log("missing RTC_URL in configureNetworking");
        return networking();
    }
    const bool allowWeakKey = defaults->stringForKey(std::string(rawValue(K::allowWeakKey))) == "true";
    auto made = std::make_shared<Networking>(std::move(*url), allowWeakKey, transport_, _logger);
    std::lock_guard lock(mutex_);
    networking_ = made;
    return made;
}

void DeviceServerAPI::waitForReply(platform::Semaphore& done, std::chrono::milliseconds limit) const {
    if (!platform::isMainThread()) {
        (void)done.waitFor(limit);
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) return;
        if (done.waitFor(std::min(left, kMainThreadWait))) return;
        platform::runMainLoopOnce(0ms);
    }
}

Payload DeviceServerAPI::registrationPayload(const std::string& key, const std::string& name,
                                             std::int64_t identifier) {
    Payload payload;
    payload.jsonrpc = kJSONRPCVersion;
    payload.identifier = identifier;
    payload.method = std::string(rawValue(ServerMethods::accountAddDevice));
    payload.params = PayloadParams{key, name, kRegistrationType, kClientVersion};
    return payload;
}

DeviceServerAPI::RegistrationReply DeviceServerAPI::registerDevice(const std::string& key,
                                                                   const std::string& name) {
    auto cells = std::make_shared<Cells<RegistrationReply>>();
    const auto transport = configuredSnapshot();
    auto data = registrationPayload(key, name, randomIdentifier()).toData();
    if (!data) {
        printLine("error in converting the payload to data: " + data.error().description());
        log("Failed to extract data from dataFromPayload()");
        return {};
    }
    if (!transport) return {};  // nothing to send with: no reply will ever come
    platform::globalQueue()->async([transport, cells, body = std::move(*data)]() mutable {
        transport->post(
            std::move(body), ServerMethods::accountAddDevice, serverPath(ServerMethods::accountAddDevice),
            [cells](std::optional<ServerResponse> reply, std::optional<platform::HTTPError> error,
                    const std::optional<model::DeviceError>&) {
                {
                    std::lock_guard lock(cells->mutex);
                    if (reply && std::holds_alternative<model::MainConfiguration>(*reply)) {
                        cells->reply.reply = std::get<model::MainConfiguration>(std::move(*reply));
                    }
                    cells->reply.error = std::move(error);
                }
                cells->done.signal();
            });
    });
    waitForReply(cells->done, transport->timeLimit() + kBackstop);
    std::lock_guard lock(cells->mutex);
    return cells->reply;
}

std::string DeviceServerAPI::checkedEmail(const std::string& email) {
    return CommmonValidator::contains(email, R"(^\S+@\S+\.\S+$)") ? email : email + ".local";
}

DeviceRequestModel DeviceServerAPI::configurationRequest(const std::string& deviceKey,
                                                         const std::optional<std::string>& locationName,
                                                         const std::string& email,
                                                         const std::string& userName) const {
    Extra extra;
    for (const auto& interface : facts_.interfaces()) {
        extra.nics.push_back(NIC{interface.name, interface.wireless, std::nullopt, std::nullopt});
    }
    const auto version = facts_.osVersion().value_or(platform::OSVersion{});
    extra.os = OperatingSystemInfo{kOperatingSystemType,
                                   std::to_string(version.major) + "." + std::to_string(version.minor)};

    DeviceRequestModel request;
    request.jsonrpc = kJSONRPCVersion;
    request.method = std::string(rawValue(ServerMethods::configDevice));
    request.params.device = Device{deviceKey, kClientVersion};
    request.params.extra = std::move(extra);
    request.params.location = model::Location{locationName, !locationName || locationName->empty()};
    request.params.user = User{email, userName, std::nullopt};
    return request;
}

DeviceServerAPI::ConfigurationReply DeviceServerAPI::configureDevice(
    const std::string& deviceKey, const std::optional<std::string>& locationName) {
    auto cells = std::make_shared<Cells<ConfigurationReply>>();
    const auto transport = configuredSnapshot();
    const auto customer = _settings->userDefaults()->stringForKey(std::string(rawValue(K::customerEmail)));
    const std::string userName = _computerNameManager->fullUserName();
    const std::string email = checkedEmail(customer ? *customer : _computerNameManager->getEMail());
    log("Calling configureDevice with username " + userName + " for email " + email);

    model::JSONEncoder encoder{.sortedKeys = true,
                               .dateEncodingStrategy = model::DateEncodingStrategy::iso8601};
    auto data = encoder.encode(configurationRequest(deviceKey, locationName, email, userName));
    if (!data) {
        printLine("error in converting the payload to data: " + data.error().description());
        log("Failed to extract data from dataFromConfigRequest()");
        return {};
    }
    if (!transport) return {};
    platform::globalQueue()->async([transport, cells, body = std::move(*data)]() mutable {
        transport->post(std::move(body), ServerMethods::configDevice, serverPath(ServerMethods::configDevice),
                        [cells](std::optional<ServerResponse> reply, std::optional<platform::HTTPError> error,
                                const std::optional<model::DeviceError>& deviceError) {
                            {
                                std::lock_guard lock(cells->mutex);
                                if (reply && std::holds_alternative<model::DeviceConfiguration>(*reply)) {
                                    auto& configuration = std::get<model::DeviceConfiguration>(*reply);
                                    if (configuration.error) cells->reply.deviceError = configuration.error;
                                    cells->reply.reply = std::move(configuration);
                                }
                                cells->reply.error = std::move(error);
                                (void)deviceError;  // the configuration's own error member is the one kept
                            }
                            cells->done.signal();
                        });
    });
    waitForReply(cells->done, transport->timeLimit() + kBackstop);
    std::lock_guard lock(cells->mutex);
    return cells->reply;
}

Service deviceServerAPIService() {
    return Service::make<DeviceServerAPI>(Service::LifeCycle::global,
                                          [] { return std::make_shared<DeviceServerAPI>(); });
}

}  // namespace kiv
