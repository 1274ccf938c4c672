#include "app/shell/KIVUserNotification.hpp"

#include <iostream>

namespace kiv {

KIVUserNotification::KIVUserNotification()
    : KIVUserNotification(platform::dbus::UserNotificationCenter::current()) {}

KIVUserNotification::KIVUserNotification(platform::dbus::UserNotificationCenterPtr center)
    : center_(std::move(center)) {}

void KIVUserNotification::post(const platform::dbus::NotificationSettings& settings,
                               const std::optional<std::string>& subtitle,
                               const std::optional<std::string>& body, std::function<void(bool)> completion) {
    if (settings.authorizationStatus == platform::dbus::AuthorizationStatus::denied) return;
    platform::dbus::NotificationRequest request;
    request.identifier = notificationIdentifier_;
    request.content.title = kTitle;
    request.content.subtitle = subtitle.value_or("");
    request.content.body = body.value_or("");
    request.triggerInterval = kTriggerInterval;
    center_->add(std::move(request), [completion = std::move(completion)](std::optional<std::string> error) {
        if (error) std::cout << *error << std::endl;
        if (completion) completion(!error);
    });
}

std::string KIVUserNotification::lastNotification() const {
    std::lock_guard lock(mutex_);
    return lastNotification_;
}

void KIVUserNotification::setLastNotification(std::string text) {
    std::lock_guard lock(mutex_);
    lastNotification_ = std::move(text);
}

Service kivUserNotificationService() {
    return Service::make<KIVUserNotification>(Service::LifeCycle::global,
                                              [] { return std::make_shared<KIVUserNotification>(); });
}

}  // namespace kiv
