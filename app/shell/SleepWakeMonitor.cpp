#include "app/shell/SleepWakeMonitor.hpp"

#include <systemd/sd-bus.h>

#include <chrono>

#include "platform/Dispatch.hpp"

namespace kiv {

SleepWakeMonitor::SleepWakeMonitor() : SleepWakeMonitor(platform::dbus::systemBus()) {}

SleepWakeMonitor::SleepWakeMonitor(platform::dbus::BusConnectionPtr bus) : bus_(std::move(bus)) {
    if (!bus_ || !bus_->isConnected()) return;
    sd_bus_slot* slot = nullptr;
    const int result = sd_bus_match_signal(
        bus_->bus(), &slot, "org.freedesktop.login1", "/org/freedesktop/login1",
        "org.freedesktop.login1.Manager", "PrepareForSleep",
        [](sd_bus_message* message, void* data, sd_bus_error*) -> int {
            int sleeping = 0;
            if (sd_bus_message_read(message, "b", &sleeping) < 0) return 0;
            auto* self = static_cast<SleepWakeMonitor*>(data);
            if (sleeping) {
                self->onSleepNote();
            } else {
                self->onWakeNote();
            }
            return 0;
        },
        this);
    if (result >= 0) match_.reset(slot);
    bus_->wake();
}

void SleepWakeMonitor::onSleepNote() { _notificationPublisher->publish(ChangeType::willSleep); }

void SleepWakeMonitor::onWakeNote() {
    const NotificationPublisher publisher = *_notificationPublisher;
    platform::mainQueue()->asyncAfter(std::chrono::milliseconds(10),
                                      [publisher] { publisher.publish(ChangeType::didAwake); });
}

}  // namespace kiv
