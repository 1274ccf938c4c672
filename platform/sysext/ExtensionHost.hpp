#pragma once
// The seam behind OSSystemExtensionManager: what carries out an activation or a deactivation
// and reports back through a RequestReport. A host reports each request exactly once as
// finished or failed, after at most one needs-approval and one replacement question.
//
// Threads: hosts call the report from any thread; the report hands every call to the
// request's queue, where the delegate runs.
#include <functional>
#include <memory>
#include <string>

#include "platform/sysext/OSSystemExtension.hpp"

namespace platform {

class RequestReport {
public:
    explicit RequestReport(std::shared_ptr<OSSystemExtensionRequest> request);

    const OSSystemExtensionRequest& request() const { return *request_; }
    void needsUserApproval() const;
    // Asks the delegate; `answer` gets its action (cancel when the delegate is gone).
    void askReplacement(OSSystemExtensionProperties existing, OSSystemExtensionProperties extension,
                        std::function<void(OSSystemExtensionReplacementAction)> answer) const;
    void finished(OSSystemExtensionRequestResult result) const;
    void failed(ErrorObject error) const;

private:
    std::shared_ptr<OSSystemExtensionRequest> request_;
};

class ExtensionHost {
public:
    virtual ~ExtensionHost() = default;
    virtual void activate(std::shared_ptr<RequestReport> report) = 0;
    virtual void deactivate(std::shared_ptr<RequestReport> report) = 0;
};

}  // namespace platform
