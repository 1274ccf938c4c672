#include "app/shell/ApplicationStartHelper.hpp"

#include "app/core/Dependencies.hpp"
#include "app/shell/Registrations.hpp"

namespace kiv {

void ApplicationStartHelper::registerServices() {
    if (!dependency) dependency = DepenencyInjection{std::make_shared<InstallerHelper>()};
    Dependencies::setRoot(std::make_shared<Dependencies>(applicationRegistrations()));
    if (!sleepWakeMonitor) sleepWakeMonitor = std::make_unique<SleepWakeMonitor>();
}

}  // namespace kiv
