#include "platform/sysext/OSSystemExtension.hpp"

#include <filesystem>
#include <utility>

#include "platform/NoDestructor.hpp"
#include "platform/sysext/ExtensionHost.hpp"
#include "platform/sysext/SupervisedExtensionHost.hpp"
#include "platform/sysext/SystemdExtensionHost.hpp"

namespace platform {

ErrorObject makeSystemExtensionError(OSSystemExtensionError code, std::string description) {
    return ErrorObject{std::string(OSSystemExtensionErrorDomain), static_cast<std::int64_t>(code),
                       std::move(description)};
}

std::shared_ptr<OSSystemExtensionRequest> OSSystemExtensionRequest::activationRequest(
    std::string identifier, DispatchQueuePtr queue) {
    return std::make_shared<OSSystemExtensionRequest>(Action::activate, std::move(identifier),
                                                      std::move(queue));
}

std::shared_ptr<OSSystemExtensionRequest> OSSystemExtensionRequest::deactivationRequest(
    std::string identifier, DispatchQueuePtr queue) {
    return std::make_shared<OSSystemExtensionRequest>(Action::deactivate, std::move(identifier),
                                                      std::move(queue));
}

OSSystemExtensionRequest::OSSystemExtensionRequest(Action action, std::string identifier,
                                                   DispatchQueuePtr queue)
    : action_(action), identifier_(std::move(identifier)), queue_(std::move(queue)) {}

std::string OSSystemExtensionRequest::description() const {
    return std::string("<OSSystemExtensionRequest ") +
           (action_ == Action::activate ? "activate " : "deactivate ") + identifier_ + ">";
}

RequestReport::RequestReport(std::shared_ptr<OSSystemExtensionRequest> request)
    : request_(std::move(request)) {}

void RequestReport::needsUserApproval() const {
    request_->queue()->async([request = request_] {
        if (auto delegate = request->delegate()) delegate->requestNeedsUserApproval(*request);
    });
}

void RequestReport::askReplacement(OSSystemExtensionProperties existing,
                                   OSSystemExtensionProperties extension,
                                   std::function<void(OSSystemExtensionReplacementAction)> answer) const {
    request_->queue()->async([request = request_, existing = std::move(existing),
                              extension = std::move(extension), answer = std::move(answer)] {
        auto action = OSSystemExtensionReplacementAction::cancel;
        if (auto delegate = request->delegate())
            action = delegate->actionForReplacingExtension(*request, existing, extension);
        answer(action);
    });
}

void RequestReport::finished(OSSystemExtensionRequestResult result) const {
    request_->queue()->async([request = request_, result] {
        if (auto delegate = request->delegate()) delegate->didFinishWithResult(*request, result);
    });
}

void RequestReport::failed(ErrorObject error) const {
    request_->queue()->async([request = request_, error = std::move(error)] {
        if (auto delegate = request->delegate()) delegate->didFailWithError(*request, error);
    });
}

OSSystemExtensionManager& OSSystemExtensionManager::shared() {
    static NoDestructor<OSSystemExtensionManager> manager([]() -> std::shared_ptr<ExtensionHost> {
        std::error_code ignored;
        if (std::filesystem::is_directory("/run/systemd/system", ignored))
            return std::make_shared<SystemdExtensionHost>(SystemdExtensionHost::Options{});
        return SupervisedExtensionHost::make(SupervisedExtensionHost::Options{});
    }());
    return *manager;
}

OSSystemExtensionManager::OSSystemExtensionManager(std::shared_ptr<ExtensionHost> host)
    : host_(std::move(host)) {}

void OSSystemExtensionManager::submitRequest(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    auto report = std::make_shared<RequestReport>(request);
    if (request->action() == OSSystemExtensionRequest::Action::activate) {
        host_->activate(std::move(report));
    } else {
        host_->deactivate(std::move(report));
    }
}

}  // namespace platform
