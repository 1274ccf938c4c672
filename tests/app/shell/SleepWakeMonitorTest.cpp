// Sleep and wake over a private system bus, with a stand-in login manager of the test's own that
// announces PrepareForSleep.
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include "app/core/Dependencies.hpp"
#include "app/shell/SleepWakeMonitor.hpp"
#include "fakes/PrivateBus.hpp"
#include "fakes/TestFolders.hpp"
#include "platform/Clock.hpp"

namespace kiv {
namespace {

using namespace std::chrono_literals;

class SleepWakeMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setProcessClock(clock_);
        Dependencies::setRoot(
            std::make_shared<Dependencies>(std::vector<Service>{Service::make<NotificationPublisher>(
                Service::LifeCycle::global, [this] { return NotificationPublisher(&center_); })}));
        for (auto type : {ChangeType::willSleep, ChangeType::didAwake}) {
            observations_.push_back(center_.addObserver(
                std::string(rawValue(type)), nullptr,
                [this](const platform::Notification& note) { events_.push_back(note.name); }));
        }
        std::string error;
        logind_ = platform::dbus::BusConnection::open(bus_.address(), platform::mainQueue(), &error);
        ASSERT_TRUE(logind_) << error;
        ASSERT_GE(sd_bus_request_name(logind_->bus(), "org.freedesktop.login1", 0), 0);
    }
    void TearDown() override {
        drain();
        observations_.clear();
        Dependencies::setRoot(std::make_shared<Dependencies>());
        platform::setProcessClock(nullptr);
    }
    static void drain() {
        while (platform::runMainLoopOnce(50ms)) {
        }
    }
    void announce(bool sleeping) {
        ASSERT_GE(
            sd_bus_emit_signal(logind_->bus(), "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               "PrepareForSleep", "b", static_cast<int>(sleeping)),
            0);
        logind_->wake();
        drain();
    }

    fakes::PrivateBus bus_;
    fakes::ScopedEnvironment systemBus_{"DBUS_SYSTEM_BUS_ADDRESS", bus_.address()};
    std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
    platform::NotificationCenter center_;
    std::vector<platform::Observation> observations_;
    std::vector<std::string> events_;
    platform::dbus::BusConnectionPtr logind_;
};

TEST_F(SleepWakeMonitorTest, AnnouncementsBecomeOneEventEach) {
    struct Step {
        bool sleeping;
        std::chrono::milliseconds advance;
        std::vector<std::string> events;
    };
    const Step steps[] = {{true, 0ms, {"willSleep"}},
                          {false, 0ms, {}},  // the wake is published 10 ms later
                          {false, 9ms, {}},
                          {false, 1ms, {"didAwake"}}};
    std::string error;
    auto connection = platform::dbus::BusConnection::open(platform::dbus::BusConnection::systemBusAddress(),
                                                          platform::mainQueue(), &error);
    ASSERT_TRUE(connection) << error;
    SleepWakeMonitor monitor(connection);
    ASSERT_TRUE(monitor.isWatching());
    drain();
    announce(true);
    EXPECT_EQ(events_, steps[0].events);
    events_.clear();
    announce(false);
    for (std::size_t i = 1; i < std::size(steps); ++i) {
        clock_->advance(steps[i].advance);
        drain();
        EXPECT_EQ(events_, steps[i].events) << "step " << i;
    }
}

TEST_F(SleepWakeMonitorTest, NoBusIsTolerated) {
    SleepWakeMonitor monitor(nullptr);
    EXPECT_FALSE(monitor.isWatching());
}

}  // namespace
}  // namespace kiv
