// Change event names: exact raw values, in case order.
#include <gtest/gtest.h>

#include <string_view>
#include <unordered_set>

#include "app/core/ChangeType.hpp"

namespace kiv {
namespace {

using namespace std::string_view_literals;

TEST(ChangeType, RawValuesAreTheCaseNamesAndOnlyThoseReadBack) {
    const std::array<std::string_view, kChangeTypeCount> names{
        "connected",
        "disconnected",
        "ipAddressChanged",
        "onStartup",
        "onShutdown",
        "pollingInterval",
        "intranet",
        "didAwake",
        "willSleep",
        "VPNDidStart",
        "VPNDidStop",
        "missingDeviceKey",
        "deviceConfigRefreshed",
        "deviceConfigEditedLocally",
        "waitingOnUserSecurity",
        "installCompleted",
        "dnsProxyFailed",
    };
    std::unordered_set<ChangeType> seen;
    for (std::size_t i = 0; i < kChangeTypeCount; ++i) {
        const ChangeType type = allCases()[i];
        EXPECT_EQ(static_cast<std::size_t>(type), i);
        EXPECT_EQ(rawValue(type), names[i]);
        EXPECT_EQ(changeTypeFromRawValue(names[i]), type);
        seen.insert(type);
    }
    EXPECT_EQ(seen.size(), kChangeTypeCount);

    for (std::string_view text : {"Connected"sv, ""sv, "connected "sv, " connected"sv, "vpnDidStart"sv,
                                  "connected\0"sv, "connecte"sv, "connectedd"sv}) {
        EXPECT_FALSE(changeTypeFromRawValue(text)) << text;
    }
}

}  // namespace
}  // namespace kiv
