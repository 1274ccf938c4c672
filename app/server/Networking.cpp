#include "app/server/Networking.hpp"

#include "app/Logger/StandardOutput.hpp"
#include "model/JSONCoder.hpp"
#include "platform/NoDestructor.hpp"

namespace kiv {
namespace {

// Replies are handled here, one at a time, whatever queue the caller waits on.
const platform::DispatchQueuePtr& deliveryQueue() {
    static platform::NoDestructor<platform::DispatchQueuePtr> queue(
        platform::makeSerialQueue("Networking.queue"));
    return *queue;
}

}  // namespace

platform::HTTPClientPtr deviceServerHTTPClient() {
    static platform::NoDestructor<platform::HTTPClientPtr> client(platform::makeHTTPClient());
    return *client;
}

Networking::Networking(platform::URL rpcURL, bool allowWeakKey, NetworkingOptions options,
                       Injected<KIVLogger> logger)
    : rpcURL_(std::move(rpcURL)),
      allowWeakKey_(allowWeakKey),
      client_(options.client ? std::move(options.client) : deviceServerHTTPClient()),
      timeLimit_(options.timeLimit),
      _logger(std::move(logger)) {}

std::optional<platform::URL> Networking::url(const platform::URL& base,
                                             std::optional<std::string_view> path) {
    return platform::URL::make("https", base.host(), base.port().value_or(kDefaultPort), path.value_or(""));
}

void Networking::log(const std::string& message) const { _logger->log(message, model::LogLevel::production); }

void Networking::post(std::string body, ServerMethods method, std::string_view path, Completion completion) {
    const auto target = url(rpcURL_, path);
    if (target) log("configuring device with url " + target->text());
    if (model::isValidUTF8(body)) {
        log("Calling server with " + body + " for server call " + std::string(caseName(method)));
    }
    if (!target) {
        // Nothing is sent; the caller still gets its one completion, as a missing reply.
        deliveryQueue()->async(
            [completion = std::move(completion)] { completion(std::nullopt, std::nullopt, std::nullopt); });
        return;
    }
    platform::HTTPRequest request;
    request.method = platform::HTTPRequest::Method::post;
    request.url = target->text();
    request.headers = {{"Content-Type", "application/json-rpc"},
                       {"Accept", "application/json; charset=utf-8"}};
    request.body = std::move(body);
    request.timeout = timeLimit_;
    request.verifyPeer = !allowWeakKey_;
    client_->send(
        std::move(request), deliveryQueue(),
        [self = shared_from_this(), method, completion = std::move(completion)](platform::HTTPResult result) {
            self->handleReply(std::move(result), method, completion);
        });
}

void Networking::handleReply(platform::HTTPResult result, ServerMethods method,
                             const Completion& completion) const {
    const std::string call(caseName(method));
    if (result.error || !result.response) {
        const platform::HTTPError error =
            result.error.value_or(platform::HTTPError{platform::HTTPErrorCode::transportFailure, "no reply"});
        log("Network call error " + error.message + " for server call " + call);
        completion(std::nullopt, error, std::nullopt);
        return;
    }
    const std::string& data = result.response->body;
    if (model::isValidUTF8(data)) log("resultStr in postDeviceAPI " + data + " for server call " + call);
    std::optional<ServerResponse> reply;
    std::optional<model::DeviceError> deviceError;
    if (method == ServerMethods::accountAddDevice) {
        if (auto decoded = decodeRegistrationReply(data)) reply = std::move(*decoded);
    } else if (auto decoded = decodeConfigurationReply(data)) {
        if (decoded->error) {
            log("Network call error message " + decoded->error->message + " for server call " + call);
            deviceError = decoded->error;
        }
        reply = std::move(*decoded);
    }
    completion(std::move(reply), std::nullopt, std::move(deviceError));
}

std::optional<model::MainConfiguration> Networking::decodeRegistrationReply(std::string_view data) {
    auto decoded = model::JSONDecoder{}.decode<model::MainConfiguration>(data);
    if (!decoded) {
        printLine("error in converting the DeviceResult from data: " + decoded.error().description());
        return std::nullopt;
    }
    return std::move(*decoded);
}

std::optional<model::DeviceConfiguration> Networking::decodeConfigurationReply(std::string_view data) const {
    auto decoded = model::JSONDecoder{}.decode<model::DeviceConfiguration>(data);
    if (!decoded) {
        log("error in converting the DeviceResult from data: " + decoded.error().description());
        printLine("original device result is " +
                  (model::isValidUTF8(data) ? std::string(data) : std::string()));
        return std::nullopt;
    }
    return std::move(*decoded);
}

}  // namespace kiv
