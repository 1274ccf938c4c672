#include "app/shell/ResolverControl.hpp"

namespace kiv {

UnboundControlManager::UnboundControlManager()
    : UnboundControlManager([] { return std::make_shared<KIVHelperProxy>(); }) {}

UnboundControlManager::UnboundControlManager(const ProxyFactory& makeProxy) : kivhelperProxy(makeProxy()) {}

Service unboundControlManagerService() {
    return Service::make<UnboundControlManager>(Service::LifeCycle::global,
                                                [] { return UnboundControlManager(); });
}

Service unboundUtilsService() {
    return Service::make<UnboundUtils>(Service::LifeCycle::global, [] { return UnboundUtils(); });
}

}  // namespace kiv
