#pragma once
// The application's local notifications (network connected or disconnected, intranet detected,
// the agent stopping), posted through the desktop's notification centre. Every notification
// carries the identifier "KIV Notification", so each new one replaces the one before on screen.
// The change observer decides when to post and what; it keeps the last text here, to post each
// text only once in a row.
//
// A `global` service of the registry (kivUserNotificationService()). Threads: main queue; the
// completions run there.
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "app/core/Service.hpp"
#include "platform/dbus/UserNotificationCenter.hpp"

namespace kiv {

class KIVUserNotification {
public:
    static constexpr const char* kTitle = "KIV Status";
    static constexpr std::chrono::milliseconds kTriggerInterval{100};
    // Presentation options while the application is in front: banner.
    static constexpr unsigned kPresentationBanner = 16;

    // The session bus's centre.
    KIVUserNotification();
    explicit KIVUserNotification(platform::dbus::UserNotificationCenterPtr center);
    KIVUserNotification(const KIVUserNotification&) = delete;
    KIVUserNotification& operator=(const KIVUserNotification&) = delete;

    // The options a notification is presented with while the application is active.
    unsigned willPresentNotification() const { return kPresentationBanner; }

    // Denied settings: nothing is posted and `completion` never runs. Otherwise one request (title
    // "KIV Status", the subtitle and body, absent ones empty) is added after 0.1 s; `completion`
    // gets true when the centre took it, false (and the error is printed) when it failed.
    void post(const platform::dbus::NotificationSettings& settings,
              const std::optional<std::string>& subtitle, const std::optional<std::string>& body,
              std::function<void(bool)> completion);

    const std::string& notificationIdentifier() const { return notificationIdentifier_; }
    std::string lastNotification() const;
    void setLastNotification(std::string text);
    const platform::dbus::UserNotificationCenterPtr& center() const { return center_; }

private:
    platform::dbus::UserNotificationCenterPtr center_;
    const std::string notificationIdentifier_ = "KIV Notification";
    mutable std::mutex mutex_;
    std::string lastNotification_;  // guarded by mutex_
};

// The registry's record: `global`, on the session bus's centre.
Service kivUserNotificationService();

}  // namespace kiv
