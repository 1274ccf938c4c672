#include "dnsproxy/AppLink.hpp"

#include "app/netext/ipc/IPCConnection.hpp"

namespace dnsproxy {

void IPCAppLink::startListener() { kiv::IPCConnection::shared()->startListener(); }

void IPCAppLink::stopListener() {
    if (auto listener = kiv::IPCConnection::shared()->listener()) listener->invalidate();
}

bool IPCAppLink::proxyStopped(std::int64_t reason) {
    return kiv::IPCConnection::shared()->proxyStopped(reason);
}

std::shared_ptr<AppLink> makeDefaultAppLink() { return std::make_shared<IPCAppLink>(); }

}  // namespace dnsproxy
