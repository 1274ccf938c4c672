// KIVUserNotification over a private bus with a stand-in notification service (python3-dbusmock's
// notification_daemon template), and its refusal when notifications are denied.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "app/shell/KIVUserNotification.hpp"
#include "fakes/PrivateBus.hpp"
#include "platform/Clock.hpp"

namespace kiv {
namespace {

using fakes::PrivateBus;
using platform::dbus::AuthorizationStatus;

TEST(UserNotificationTest, DeniedPostsNothingAndNeverCompletes) {
    KIVUserNotification notification(
        std::make_shared<platform::dbus::UserNotificationCenter>(nullptr, "BrannockCloud", "corvel_icon"));
    EXPECT_EQ(notification.notificationIdentifier(), "KIV Notification");
    EXPECT_EQ(notification.lastNotification(), "");
    EXPECT_EQ(notification.willPresentNotification(), 16u);
    int completions = 0;
    notification.post({AuthorizationStatus::denied}, "KIV Notification", "x", [&](bool) { ++completions; });
    while (platform::runMainLoopOnce(std::chrono::milliseconds(0))) {
    }
    EXPECT_EQ(completions, 0);
}

TEST(UserNotificationTest, EachPostReplacesTheLastOnTheDesktop) {
    PrivateBus bus;
    const auto log = bus.folder() / "notify.log";
    auto service = bus.start(
        {"/usr/bin/python3", "-m", "dbusmock", "--session", "-t", "notification_daemon", "-l", log.string()});
    ASSERT_TRUE(bus.run({"/usr/bin/gdbus", "wait", "--address", bus.address(), "--timeout", "20",
                         platform::dbus::UserNotificationCenter::kServiceName}));
    auto clock = std::make_shared<platform::ManualClock>();
    platform::setProcessClock(clock);
    auto center = std::make_shared<platform::dbus::UserNotificationCenter>(
        platform::dbus::BusConnection::open(bus.address(), platform::mainQueue()), "BrannockCloud",
        "corvel_icon");
    KIVUserNotification notification(center);

    // As the change observer does: settings first, then the post from their completion.
    struct Case {
        std::optional<std::string> subtitle, body;
        const char* shown;  // the body the service gets
    };
    const Case cases[] = {
        {"KIV Notification", "Network has connected", "KIV Notification\nNetwork has connected"},
        {"KIV Notification", std::nullopt, "KIV Notification"},  // a missing body is empty
        {std::nullopt, "Intranet detected", "Intranet detected"},
    };
    std::vector<bool> results;
    for (const auto& c : cases) {
        std::optional<platform::dbus::NotificationSettings> settings;
        center->getNotificationSettings([&](auto s) { settings = s; });
        ASSERT_TRUE(PrivateBus::turnUntil([&] { return settings.has_value(); }));
        EXPECT_EQ(settings->authorizationStatus, AuthorizationStatus::authorized);
        notification.post(*settings, c.subtitle, c.body, [&](bool ok) { results.push_back(ok); });
        clock->advance(KIVUserNotification::kTriggerInterval);
        const auto expected = results.size() + 1;
        ASSERT_TRUE(PrivateBus::turnUntil([&] { return results.size() == expected; }));
        EXPECT_TRUE(results.back());
    }
    platform::setProcessClock(nullptr);

    std::ifstream file(log);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto id = center->deliveredId("KIV Notification");
    ASSERT_TRUE(id);
    std::size_t from = 0;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string replaces = i == 0 ? "0" : std::to_string(*id);
        const std::string call = "Notify \"BrannockCloud\" " + replaces +
                                 " \"corvel_icon\" \"KIV Status\" \"" + cases[i].shown + "\"";
        from = text.find(call, from);
        ASSERT_NE(from, std::string::npos) << call << "\n" << text;
    }
}

}  // namespace
}  // namespace kiv
