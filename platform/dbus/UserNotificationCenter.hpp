#pragma once
// Local user notifications on the desktop's notification service (org.freedesktop.Notifications on
// the session bus), in the shape the application expects of a user-notification centre: settings
// with an authorisation status, an authorisation request, and requests that carry an identifier,
// a content and a time-interval trigger. A request with the identifier of an earlier one replaces
// it on screen (the service's replaces_id).
//
// Authorisation: the desktop asks nobody, so a reachable service counts as authorised and none
// (no session bus, no service, no answer) as denied.
//
// The service has no subtitle: a non-empty subtitle becomes the first line of the body.
//
// Threads: the connection's queue (the main queue for current()); completions run there. Triggers
// wait on the process clock.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/dbus/BusConnection.hpp"

namespace platform::dbus {

enum class AuthorizationStatus { notDetermined = 0, denied = 1, authorized = 2, provisional = 3 };

struct NotificationSettings {
    AuthorizationStatus authorizationStatus = AuthorizationStatus::notDetermined;
};

struct NotificationContent {
    std::string title;
    std::string subtitle;
    std::string body;
};

struct NotificationRequest {
    std::string identifier;
    NotificationContent content;
    std::chrono::nanoseconds triggerInterval{0};  // delivered this long after add()
};

// Options of requestAuthorization: alert, sound and badge, as bits 4, 2 and 1.
inline constexpr unsigned kAuthorizationAlert = 4, kAuthorizationSound = 2, kAuthorizationBadge = 1;

class UserNotificationCenter : public std::enable_shared_from_this<UserNotificationCenter> {
public:
    static constexpr const char* kServiceName = "org.freedesktop.Notifications";

    // The process's centre on the session bus; without one every status reads denied.
    static std::shared_ptr<UserNotificationCenter> current();

    // `connection` may be null. `applicationName` is the service's app_name, `iconName` its
    // app_icon.
    UserNotificationCenter(BusConnectionPtr connection, std::string applicationName, std::string iconName);
    UserNotificationCenter(const UserNotificationCenter&) = delete;
    UserNotificationCenter& operator=(const UserNotificationCenter&) = delete;

    void getNotificationSettings(const std::function<void(NotificationSettings)>& completion);
    // `granted` is true when the service is reachable; `error` says why not otherwise.
    void requestAuthorization(
        unsigned options,
        const std::function<void(bool granted, std::optional<std::string> error)>& completion);
    // Delivers after the trigger interval; the completion gets the service's error, or none once
    // it took the notification (or a later request with the same identifier replaced this one
    // before it was due).
    void add(NotificationRequest request, std::function<void(std::optional<std::string> error)> completion);

    // The service's id of the last notification shown for `identifier`.
    std::optional<std::uint32_t> deliveredId(const std::string& identifier) const;

private:
    void deliver(const NotificationRequest& request,
                 const std::function<void(std::optional<std::string>)>& completion);

    BusConnectionPtr connection_;
    std::string applicationName_;
    std::string iconName_;
    std::map<std::string, std::uint32_t> deliveredIds_;
    std::map<std::string, std::uint64_t> pendingGeneration_;
    std::uint64_t nextGeneration_ = 0;
};

using UserNotificationCenterPtr = std::shared_ptr<UserNotificationCenter>;

}  // namespace platform::dbus
