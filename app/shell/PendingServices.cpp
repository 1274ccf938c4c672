#include "app/shell/PendingServices.hpp"

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"

namespace kiv {

void ChangeObserver::start() {
    started_ = true;
    Injected<KIVLogger> logger;
    logger->log("ChangeObserver: started", model::LogLevel::diagnose);
}

void ChangeObserver::cancelSubscriptions() { started_ = false; }

Service changeObserverService() {
    return Service::make<ChangeObserver>(Service::LifeCycle::global, [] { return std::make_shared<ChangeObserver>(); });
}

}  // namespace kiv
