#include "app/shell/Registrations.hpp"

#include "app/core/ConfigFileWriter.hpp"
#include "app/core/LoggerService.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/core/Settings.hpp"
#include "app/core/TestData.hpp"
#include "app/shell/InstallerHelper.hpp"
#include "app/shell/PendingServices.hpp"

namespace kiv {

std::vector<Service> applicationRegistrations() {
    std::vector<Service> services;
    services.push_back(settingsService());
    services.push_back(configFileWriterService());
    services.push_back(notificationPublisherService());
    services.push_back(changeObserverService());
    services.push_back(loggerService());
    services.push_back(testDataService());
    services.push_back(installerHelperService());
    return services;
}

}  // namespace kiv
