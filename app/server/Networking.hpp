#pragma once
// The device server's transport: one JSON-RPC request body in, one HTTPS POST to the server's
// URL with fixed headers, the reply logged and decoded into the type that belongs to the method.
//
// Every post() completes exactly once, on the transport's delivery queue (never the main queue,
// so a caller waiting off the main thread never depends on the main loop): with the decoded reply
// (possibly none), with the transport error (no connection, TLS refused, the time limit passed;
// the limit covers the whole exchange), or, when no URL can be built, with neither.
//
// Transports share the process's one HTTP client (deviceServerHTTPClient()); a Networking may be
// replaced or destroyed while its posts are in flight, which go on and complete.
//
// Threads: post() from any thread.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/server/ServerMethods.hpp"
#include "model/DeviceConfiguration.hpp"
#include "model/DeviceError.hpp"
#include "model/MainConfiguration.hpp"
#include "platform/Dispatch.hpp"
#include "platform/http/HTTPClient.hpp"
#include "platform/http/URL.hpp"

namespace kiv {

// A whole reply of the server: the registration answer or the device configuration.
using ServerResponse = std::variant<model::MainConfiguration, model::DeviceConfiguration>;

// The process's HTTP client for the device server, made on first use and never destroyed.
platform::HTTPClientPtr deviceServerHTTPClient();

struct NetworkingOptions {
    static constexpr std::chrono::milliseconds kTimeLimit{std::chrono::seconds(60)};

    platform::HTTPClientPtr client;  // null: deviceServerHTTPClient()
    std::chrono::milliseconds timeLimit = kTimeLimit;
};

// Own it through a std::shared_ptr: a post in flight keeps its transport alive until it completes.
class Networking : public std::enable_shared_from_this<Networking> {
public:
    static constexpr int kDefaultPort = 8443;
    using Completion =
        std::function<void(std::optional<ServerResponse> reply, std::optional<platform::HTTPError> error,
                           std::optional<model::DeviceError> deviceError)>;

    Networking(platform::URL rpcURL, bool allowWeakKey, NetworkingOptions options = {},
               Injected<KIVLogger> logger = Injected<KIVLogger>());

    // "https", the base's host and port (8443 when it names none), `path` (empty when none);
    // the base's path, query and fragment are dropped.
    static std::optional<platform::URL> url(const platform::URL& base, std::optional<std::string_view> path);

    void post(std::string body, ServerMethods method, std::string_view path, Completion completion);

    static std::optional<model::MainConfiguration> decodeRegistrationReply(std::string_view data);
    std::optional<model::DeviceConfiguration> decodeConfigurationReply(std::string_view data) const;

    const platform::URL& rpcURL() const { return rpcURL_; }
    bool allowWeakKey() const { return allowWeakKey_; }
    std::chrono::milliseconds timeLimit() const { return timeLimit_; }

private:
    void log(const std::string& message) const;
    void handleReply(platform::HTTPResult result, ServerMethods method, const Completion& completion) const;

    platform::URL rpcURL_;
    bool allowWeakKey_;
    platform::HTTPClientPtr client_;
    std::chrono::milliseconds timeLimit_;
    Injected<KIVLogger> _logger;
};

}  // namespace kiv
