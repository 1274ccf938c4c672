#pragma once
// The extension's end of the link to the application: the listener the application
// registers through, and the message that the proxy stopped. The provider and the
// entry point use this seam; the real link is the IPC connection of app/netext.
// Any thread.
#include <cstdint>
#include <memory>

namespace dnsproxy {

class AppLink {
public:
    virtual ~AppLink() = default;
    virtual void startListener() = 0;
    // True when the message was handed to the application.
    virtual bool proxyStopped(std::int64_t reason) = 0;
};

// The process's IPC connection (kiv::IPCConnection::shared()): its listener on the
// mach service named in the extension's Info.plist, and its proxyStopped message.
class IPCAppLink final : public AppLink {
public:
    void startListener() override;
    bool proxyStopped(std::int64_t reason) override;
};

std::shared_ptr<AppLink> makeDefaultAppLink();

}  // namespace dnsproxy
