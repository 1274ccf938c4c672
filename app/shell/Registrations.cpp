#include "app/shell/Registrations.hpp"

#include "app/core/ConfigFileWriter.hpp"
#include "app/core/Dependencies.hpp"
#include "app/core/LoggerService.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/core/Settings.hpp"
#include "app/core/TestData.hpp"
#include "app/netext/ConnectivityCheck.hpp"
#include "app/netext/NetworkCheck.hpp"
#include "app/netext/SharedDefaultsManager.hpp"
#include "app/netext/VPNMonitor.hpp"
#include "app/server/ComputerNameManager.hpp"
#include "app/server/DeviceConfigManager.hpp"
#include "app/server/DeviceServerAPI.hpp"
#include "app/server/InstallerHelper.hpp"
#include "app/shell/ChangeObserver.hpp"
#include "app/shell/KIVUserNotification.hpp"
#include "app/shell/ResolverControl.hpp"

namespace kiv {

// The order is the registry's own; no factory runs here.
std::vector<Service> applicationRegistrations() {
    return {
        settingsService(),
        configFileWriterService(),
        networkCheckService(),
        notificationPublisherService(),
        kivUserNotificationService(),
        changeObserverService(),
        loggerService(),
        deviceServerAPIService(),
        deviceConfigManagerService(),
        vpnMonitorService(),
        computerNameManagerService(),
        unboundControlManagerService(),
        unboundUtilsService(),
        ncsiCheckService(),
        testDataService(),
        installerHelperService(),
        sharedDefaultsManagerService(),
    };
}

void registerApplicationServices() {
    Dependencies::setRoot(std::make_shared<Dependencies>(applicationRegistrations()));
}

}  // namespace kiv
