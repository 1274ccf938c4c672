#include "app/core/LoggerService.hpp"

#include "app/Logger/KIVLogger.hpp"

namespace kiv {

Service loggerService() {
    return Service::make<KIVLogger>(Service::LifeCycle::global, [] { return std::make_shared<KIVLogger>(); });
}

}  // namespace kiv
