// Notifications on a private bus: a stand-in notification service (python3-dbusmock's
// notification_daemon template) takes them; without one, the status reads denied.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "fakes/PrivateBus.hpp"
#include "platform/Clock.hpp"
#include "platform/dbus/UserNotificationCenter.hpp"

namespace platform::dbus {
namespace {

using kiv::fakes::PrivateBus;

class ManualClockScope {
public:
    ManualClockScope() { setProcessClock(clock); }
    ~ManualClockScope() { setProcessClock(nullptr); }
    const std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
};

NotificationRequest request(std::string subtitle, std::string body) {
    return {"KIV Notification",
            {"KIV Status", std::move(subtitle), std::move(body)},
            std::chrono::milliseconds(100)};
}

TEST(UserNotificationCenterTest, ReplacesTheLastNotificationOnTheService) {
    PrivateBus bus;
    const auto log = bus.folder() / "notify.log";
    auto service = bus.start(
        {"/usr/bin/python3", "-m", "dbusmock", "--session", "-t", "notification_daemon", "-l", log.string()});
    ASSERT_TRUE(bus.run({"/usr/bin/gdbus", "wait", "--address", bus.address(), "--timeout", "20",
                         UserNotificationCenter::kServiceName}));
    ManualClockScope time;
    auto center = std::make_shared<UserNotificationCenter>(BusConnection::open(bus.address(), mainQueue()),
                                                           "BrannockCloud", "corvel_icon");

    std::optional<NotificationSettings> settings;
    center->getNotificationSettings([&](NotificationSettings s) { settings = s; });
    ASSERT_TRUE(PrivateBus::turnUntil([&] { return settings.has_value(); }));
    EXPECT_EQ(settings->authorizationStatus, AuthorizationStatus::authorized);

    // Each post waits for its trigger on the process clock, then reaches the service.
    std::vector<std::optional<std::string>> results;
    center->add(request("KIV Notification", "Network has connected"),
                [&](auto error) { results.push_back(error); });
    platform::runMainLoopOnce(std::chrono::milliseconds(0));
    EXPECT_TRUE(results.empty());  // not due yet
    time.clock->advance(std::chrono::milliseconds(100));
    ASSERT_TRUE(PrivateBus::turnUntil([&] { return results.size() == 1; }));
    EXPECT_FALSE(results[0]);
    const auto first = center->deliveredId("KIV Notification");
    ASSERT_TRUE(first);

    center->add(request("KIV Notification", "network has disconnected"),
                [&](auto error) { results.push_back(error); });
    // A request replaced before it was due completes without reaching the service.
    center->add(request("", "KIV will stop"), [&](auto error) { results.push_back(error); });
    time.clock->advance(std::chrono::milliseconds(100));
    ASSERT_TRUE(PrivateBus::turnUntil([&] { return results.size() == 3; }));
    EXPECT_FALSE(results[1]);
    EXPECT_FALSE(results[2]);
    EXPECT_EQ(center->deliveredId("KIV Notification"), first);

    // The service saw two Notify calls: the second replaces the first's id; the subtitle leads
    // the body, and an empty one is left out.
    std::ifstream file(log);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto firstCall = text.find(
        "Notify \"BrannockCloud\" 0 \"corvel_icon\" \"KIV Status\" \"KIV Notification\nNetwork has "
        "connected\"");
    const auto secondCall = text.find("Notify \"BrannockCloud\" " + std::to_string(*first) +
                                      " \"corvel_icon\" \"KIV Status\" \"KIV will stop\"");
    EXPECT_NE(firstCall, std::string::npos) << text;
    EXPECT_NE(secondCall, std::string::npos) << text;
    EXPECT_EQ(text.find("network has disconnected"), std::string::npos) << text;
}

TEST(UserNotificationCenterTest, WithoutAServiceTheStatusIsDenied) {
    PrivateBus bus;
    struct Case {
        const char* name;
        bool withBus;
    };
    for (const Case c : {Case{"private bus, no service", true}, Case{"no bus", false}}) {
        auto center = std::make_shared<UserNotificationCenter>(
            c.withBus ? BusConnection::open(bus.address(), mainQueue()) : nullptr, "BrannockCloud",
            "corvel_icon");
        std::optional<NotificationSettings> settings;
        std::optional<bool> granted;
        std::optional<std::optional<std::string>> added;
        center->getNotificationSettings([&](NotificationSettings s) { settings = s; });
        center->requestAuthorization(kAuthorizationAlert,
                                     [&](bool g, std::optional<std::string>) { granted = g; });
        center->add({"KIV Notification", {"KIV Status", "", "x"}, {}}, [&](auto error) { added = error; });
        ASSERT_TRUE(PrivateBus::turnUntil([&] { return settings && granted && added; })) << c.name;
        EXPECT_EQ(settings->authorizationStatus, AuthorizationStatus::denied) << c.name;
        EXPECT_FALSE(*granted) << c.name;
        EXPECT_TRUE(added->has_value()) << c.name;  // the error
    }
}

}  // namespace
}  // namespace platform::dbus
