#include "app/shell/ApplicationStartHelper.hpp"

#include "app/core/Dependencies.hpp"
#include "app/shell/Registrations.hpp"

namespace kiv {

ApplicationStartHelper::ApplicationStartHelper()
    // Its posts go to the process's default centre, as the registry's publisher's do; taken
    // directly, so that a path reported before the registry exists stops nothing.
    : ApplicationStartHelper(std::make_unique<NetworkCheck>(
          platform::makeNWPathMonitor(),
          Injected<NotificationPublisher>([] { return std::make_shared<NotificationPublisher>(); }))) {}

ApplicationStartHelper::ApplicationStartHelper(std::unique_ptr<NetworkCheck> check)
    : networkCheck(std::move(check)) {}

void ApplicationStartHelper::registerServices() {
    if (!dependency) dependency = DepenencyInjection{std::make_shared<InstallerHelper>()};
    Dependencies::setRoot(std::make_shared<Dependencies>(applicationRegistrations()));
    if (!sleepWakeMonitor) sleepWakeMonitor = std::make_unique<SleepWakeMonitor>();
}

}  // namespace kiv
