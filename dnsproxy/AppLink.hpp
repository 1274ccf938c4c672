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
    // Stops listening and removes what startListener() made (the socket file), for a
    // clean stop. Nothing when not listening.
    virtual void stopListener() {}
    // True when the message was handed to the application.
    virtual bool proxyStopped(std::int64_t reason) = 0;
};

// The process's IPC connection (kiv::IPCConnection::shared()): its listener on the
// mach service named in the extension's Info.plist, and its proxyStopped message.
class IPCAppLink final : public AppLink {
public:
    void startListener() override;
    void stopListener() override;
    bool proxyStopped(std::int64_t reason) override;
};

std::shared_ptr<AppLink> makeDefaultAppLink();

// Listens on `link` from construction to destruction, so that every way out of the
// daemon, an error exit as well as a clean stop, removes the listener's socket file.
class AppLinkListening {
public:
    explicit AppLinkListening(std::shared_ptr<AppLink> link) : link_(std::move(link)) {
        link_->startListener();
    }
    ~AppLinkListening() { link_->stopListener(); }
    AppLinkListening(const AppLinkListening&) = delete;
    AppLinkListening& operator=(const AppLinkListening&) = delete;

private:
    std::shared_ptr<AppLink> link_;
};

}  // namespace dnsproxy
