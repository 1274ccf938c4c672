#include "app/core/NotificationPublisher.hpp"

#include <string>
#include <utility>

#include "platform/Dispatch.hpp"

namespace kiv {

void NotificationPublisher::publish(ChangeType type) const { publish(type, std::any()); }

void NotificationPublisher::publish(ChangeType type, std::any object) const {
    platform::mainQueue()->async(
        [center = nCenter_, name = std::string(rawValue(type)), object = std::move(object)]() mutable {
            center->post(std::move(name), std::move(object));
        });
}

Service notificationPublisherService() {
    return Service::make<NotificationPublisher>(Service::LifeCycle::global,
                                                [] { return NotificationPublisher(); });
}

}  // namespace kiv
