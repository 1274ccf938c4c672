#pragma once
// Turns the system's sleep and wake announcements (logind's PrepareForSleep on the system bus)
// into the change events `willSleep` and `didAwake`.
//
// Threads: announcements arrive on the bus connection's queue (the main queue); the events are
// published from there. Lifetime: kept by start-up for the life of the process; destroying it
// ends the match.
#include <memory>

#include "app/core/Injected.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "platform/dbus/BusConnection.hpp"

namespace kiv {

class SleepWakeMonitor {
public:
    // Watches the process's system bus; without one nothing is ever announced.
    SleepWakeMonitor();
    explicit SleepWakeMonitor(platform::dbus::BusConnectionPtr bus);
    SleepWakeMonitor(const SleepWakeMonitor&) = delete;
    SleepWakeMonitor& operator=(const SleepWakeMonitor&) = delete;

    bool isWatching() const { return static_cast<bool>(match_); }

    void onSleepNote();
    // didAwake follows 10 ms later, on the main queue.
    void onWakeNote();

private:
    Injected<NotificationPublisher> _notificationPublisher;
    platform::dbus::BusConnectionPtr bus_;
    platform::dbus::SlotPtr match_;
};

}  // namespace kiv
