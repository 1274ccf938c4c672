// The status-bar menu as a model: status codes and texts, the entries the change observer keeps
// current, the menu a click builds and what its entries do, and the two operations on the item's
// icon images. No bus: the status bar keeps the model alone, as it does on a machine without a
// desktop.
#include <gtest/gtest.h>

#include <cmath>

#include "app/shell/ImageUtility.hpp"
#include "app/shell/MenuInteraction.hpp"
#include "app/shell/StatusMenuTestSupport.hpp"
#include "platform/Dispatch.hpp"

namespace kiv {
namespace {

using testing::ControllerWorld;
using testing::RecordingLogger;
using testing::titles;

struct EventCase {
    ChangeType event;
    int code;
    // The status text without an address, with one, and with a VPN running.
    const char* noAddress;
    const char* withAddress;
    const char* withVPN;
};

// Every event, its code and the texts the code gives.
const EventCase kEvents[] = {
    {ChangeType::connected, 0, "Connected", "Connected", "Connected"},
    {ChangeType::disconnected, 1, "Disconnected", "Connected", "Disconnected: VPN running"},
    {ChangeType::ipAddressChanged, 9, "Disconnected", "Connected", "Disconnected: VPN running"},
    {ChangeType::onStartup, 9, "Disconnected", "Connected", "Disconnected: VPN running"},
    {ChangeType::onShutdown, 9, "Disconnected", "Connected", "Disconnected: VPN running"},
    {ChangeType::pollingInterval, 9, "Disconnected", "Connected", "Disconnected: VPN running"},
    {ChangeType::intranet, 2, "Bypassed", "Bypassed", "Bypassed"},
    {ChangeType::didAwake, 7, "Disconnected", "Connected", "Disconnected: VPN running"},
    {ChangeType::willSleep, 6, "Disconnected", "Connected", "Disconnected: VPN running"},
    {ChangeType::VPNDidStart, 4, "Disconnected: VPN running", "Disconnected: VPN running",
     "Disconnected: VPN running"},
    {ChangeType::VPNDidStop, 5, "Disconnected", "Connected", "Disconnected: VPN running"},
    {ChangeType::missingDeviceKey, 12, "Invalid Configuration", "Invalid Configuration",
     "Invalid Configuration"},
    {ChangeType::deviceConfigRefreshed, 9, "Disconnected", "Connected", "Disconnected: VPN running"},
    {ChangeType::deviceConfigEditedLocally, 9, "Disconnected", "Connected", "Disconnected: VPN running"},
    {ChangeType::waitingOnUserSecurity, 10, "Network Extension not installed.",
     "Network Extension not installed.", "Network Extension not installed."},
    {ChangeType::installCompleted, 11, "Disconnected", "Connected", "Disconnected: VPN running"},
    {ChangeType::dnsProxyFailed, 9, "Disconnected", "Connected", "Disconnected: VPN running"},
};
static_assert(std::size(kEvents) == kChangeTypeCount);

class StatusMenuTest : public ::testing::Test {
protected:
    MenuInteraction makeMenu(TrayType trayType) {
        return MenuInteraction(trayType, false, testing::injected(logger), world.environment());
    }

    ControllerWorld world;
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
};

TEST_F(StatusMenuTest, EveryEventSetsTheStatusLineOfItsCode) {
    auto menu = makeMenu(2);
    for (const auto& c : kEvents) {
        EXPECT_EQ(MenuInteraction::statusCode(c.event), c.code) << rawValue(c.event);
        const std::pair<bool, bool> flags[] = {{false, false}, {true, false}, {true, true}};
        const char* expected[] = {c.noAddress, c.withAddress, c.withVPN};
        for (int i = 0; i < 3; ++i) {
            menu.updateStatus(c.event, flags[i].first, true, flags[i].second);
            EXPECT_EQ(menu.statusMenu->statusItem()->title(), std::string("Status: ") + expected[i])
                << rawValue(c.event);
        }
    }
    // A VPN shows whatever the address flag says.
    menu.updateStatus(ChangeType::pollingInterval, false, true, true);
    EXPECT_EQ(menu.statusMenu->status(), "Disconnected: VPN running");
}

TEST_F(StatusMenuTest, StatusTextsOfEveryCode) {
    const struct {
        int code;
        std::optional<std::string> text;
    } cases[] = {{0, "Connected"},
                 {1, "Disconnected"},
                 {2, "Bypassed"},
                 {3, "Waiting for Unbound"},
                 {4, "Disconnected: VPN running"},
                 {8, "Disconnected"},
                 {10, "Network Extension not installed."},
                 {11, "Disconnected"},
                 {12, "Invalid Configuration"},
                 {13, std::nullopt},
                 {400, std::nullopt}};
    for (const auto& c : cases) {
        EXPECT_EQ(KIVStatusBarController::statusText(c.code, false, false), c.text) << c.code;
    }
}

TEST_F(StatusMenuTest, CreationAddsTheItemAndItsFirstEntries) {
    auto menu = makeMenu(2);
    ASSERT_TRUE(menu.statusMenu);
    EXPECT_EQ(logger->messages(), std::vector<std::string>{"Installing menu"});
    const auto& controller = *menu.statusMenu;
    ASSERT_TRUE(controller.statusBarItem());
    EXPECT_EQ(world.statusBar->itemCount(), 1u);
    EXPECT_EQ(controller.statusBarItem()->imageName(),
              kCorvelIcon);  // the alert icon, then at once the normal one
    EXPECT_EQ(controller.statusBarItem()->length(), StatusItem::kSquareLength);
    EXPECT_EQ(controller.externalIpItem()->title(), "External IP: Empty");
    EXPECT_EQ(controller.statusItem()->title(), "Status: ");
    EXPECT_TRUE(controller.statusItem()->isEnabled());  // the extension not yet accepted
    EXPECT_EQ(controller.deviceKeyItem()->title(), "Device Key: ");
    EXPECT_EQ(controller.userNameItem()->title(), "User Key: Retrieving");
    EXPECT_FALSE(controller.statusBarItem()->menu());  // built on the first click
}

TEST_F(StatusMenuTest, TrayTypeZeroAddsTheItemOnTheFirstStatusUpdate) {
    auto menu = makeMenu(0);
    EXPECT_FALSE(menu.statusMenu->statusBarItem());
    EXPECT_EQ(world.statusBar->itemCount(), 0u);
    menu.updateStatus(ChangeType::disconnected, false, true, false);
    ASSERT_TRUE(menu.statusMenu->statusBarItem());
    EXPECT_EQ(menu.statusMenu->statusBarItem()->imageName(), kCorvelIcon);
    EXPECT_EQ(menu.statusMenu->statusItem()->title(), "Status: Disconnected");
    // No address was ever shown: the first click still makes all nine entries.
    menu.statusMenu->statusBarItem()->click();
    ASSERT_TRUE(menu.statusMenu->statusBarItem()->menu());
    EXPECT_EQ(menu.statusMenu->statusBarItem()->menu()->numberOfItems(), 9u);
    EXPECT_EQ(menu.statusMenu->statusBarItem()->menu()->items()[0]->title(), "External IP: Empty");
}

TEST_F(StatusMenuTest, HighCodesKeepTheTextButRefreshLineAndIcon) {
    auto menu = makeMenu(2);
    auto& controller = *menu.statusMenu;
    controller.updateStatusMessage(2, false, true, false);
    controller.statusBarItem()->setImageName(kCorvelAlertIcon);
    controller.statusItem()->setTitle("stale");
    controller.updateStatusMessage(13, true, true, true);
    EXPECT_EQ(controller.status(), "Bypassed");
    EXPECT_EQ(controller.statusItem()->title(), "Status: Bypassed");
    EXPECT_EQ(controller.statusBarItem()->imageName(), kCorvelIcon);
}

TEST_F(StatusMenuTest, ExternalAddressUpdates) {
    auto menu = makeMenu(2);
    auto& controller = *menu.statusMenu;
    controller.updateStatusMessage(1, false, true, false);
    controller.updateExternalIp("198.51.100.7");
    EXPECT_EQ(controller.externalIpItem()->title(), "External IP: 198.51.100.7");
    EXPECT_EQ(controller.status(), "Connected");
    EXPECT_EQ(controller.statusItem()->title(),
              "Status: Disconnected");  // the line waits for the next update

    controller.updateStatusMessage(1, false, true, false);
    controller.externalIpItem()->setTitle("untouched");
    controller.updateExternalIp("198.51.100.7");  // the same address: nothing changes
    EXPECT_EQ(controller.externalIpItem()->title(), "untouched");
    EXPECT_EQ(controller.status(), "Disconnected");

    controller.updateExternalIp("");
    EXPECT_EQ(controller.externalIpItem()->title(), "External IP: Empty");
    EXPECT_EQ(controller.status(), "Disconnected");
}

TEST_F(StatusMenuTest, ExternalAddressNotificationsArriveOnTheMainQueue) {
    auto menu = makeMenu(2);
    auto& controller = *menu.statusMenu;
    auto runMain = [] {
        while (platform::runMainLoopOnce(std::chrono::milliseconds(0))) {
        }
    };
    controller.externalIpUpdated({"externalIpUpdated", std::string("198.51.100.9")});
    EXPECT_EQ(controller.externalIpItem()->title(), "External IP: Empty");  // not before the hop
    runMain();
    EXPECT_EQ(controller.externalIpItem()->title(), "External IP: 198.51.100.9");
    EXPECT_EQ(controller.status(), "Connected");

    controller.externalIpUpdated({"externalIpUpdated", 42});  // no text: nothing
    controller.externalIpUpdated({"externalIpUpdated", {}});
    runMain();
    EXPECT_EQ(controller.externalIpItem()->title(), "External IP: 198.51.100.9");

    // A controller gone before the hop is not reached.
    auto gone = KIVStatusBarController::make(2, false, world.environment());
    gone->updateExternalIpMenuItem();
    auto item = gone->externalIpItem();
    ASSERT_NE(item, nullptr);
    gone->externalIpUpdated({"externalIpUpdated", std::string("198.51.100.10")});
    gone.reset();
    runMain();
    EXPECT_EQ(item->title(), "External IP: Empty");
}

TEST_F(StatusMenuTest, AClickBuildsTheNineEntriesAndTheirActionsWork) {
    world.userDefaults->setBool("LogDebug", true);
    auto menu = makeMenu(2);
    auto& controller = *menu.statusMenu;
    controller.updateStatusMessage(0, true, true, false);
    controller.updateExternalIp("203.0.113.9");
    controller.statusBarItem()->click();
    const auto built = controller.statusBarItem()->menu();
    ASSERT_TRUE(built);
    EXPECT_EQ(titles(*built), (std::vector<std::string>{"External IP: 203.0.113.9", "Status: Connected",
                                                        "Logs >", "-", "Logging Debug Info [x]",
                                                        "Notifications Preferences...", "-", "About", "-"}));
    EXPECT_EQ(titles(*built->items()[2]->submenu()), std::vector<std::string>{"Open App Support"});
    EXPECT_FALSE(built->items()[0]->isEnabled());

    // A later click opens the same menu: no new one is built.
    controller.statusBarItem()->click();
    EXPECT_EQ(controller.statusBarItem()->menu(), built);

    // The debug switch flips the check mark and the stored flag.
    built->items()[4]->activate();
    EXPECT_EQ(built->items()[4]->state(), false);
    EXPECT_FALSE(world.userDefaults->boolForKey("LogDebug"));
    built->items()[4]->activate();
    EXPECT_TRUE(world.userDefaults->boolForKey("LogDebug"));
    EXPECT_TRUE(controller.logDebugEnabled());

    // The change observer retitles it; updateLogDebug re-reads the flag.
    controller.updateDebugMenu("Debug logging (diagnose)", false);
    EXPECT_EQ(built->items()[4]->title(), "Debug logging (diagnose)");
    world.userDefaults->setBool("LogDebug", true);
    controller.updateLogDebug();
    EXPECT_EQ(built->items()[4]->state(), true);

    built->items()[2]->submenu()->items()[0]->activate();
    EXPECT_EQ(world.opened, std::vector<std::string>{(world.folder.path() / "BrannockCloud").string()});

    // Without a notification service the entry stays unchecked; the panels have no counterpart here.
    built->items()[5]->activate();
    built->items()[1]->activate();
    platform::runMainLoopOnce(std::chrono::milliseconds(0));
    EXPECT_FALSE(built->items()[5]->state().value_or(false));
    EXPECT_EQ(world.opened.size(), 1u);
}

TEST_F(StatusMenuTest, TrayTypeChanges) {
    struct Case {
        TrayType from, to;
        bool itemAfter;
        bool notificationsChecked;
    };
    const Case cases[] = {
        {2, 0, false, false}, {0, 1, true, false}, {1, 2, true, true},
        {1, 3, true, true},   {3, 1, true, false}, {2, 2, true, false},
    };
    for (const auto& c : cases) {
        auto menu = makeMenu(c.from);
        auto& controller = *menu.statusMenu;
        controller.updateStatusMessage(9, false, true, false);
        controller.statusBarItem()->click();
        controller.modifyTrayType(c.to);
        EXPECT_EQ(controller.trayType(), c.to);
        EXPECT_EQ(static_cast<bool>(controller.statusBarItem()), c.itemAfter) << c.from << "->" << c.to;
        EXPECT_EQ(world.statusBar->itemCount(), c.itemAfter ? 1u : 0u) << c.from << "->" << c.to;
        EXPECT_EQ(controller.showNotificationsItem()->state().value_or(false), c.notificationsChecked)
            << c.from << "->" << c.to;
        EXPECT_EQ(world.userDefaults->stringForKey("TRAY_TYPE"), std::to_string(c.to));
        controller.removeStatusBar();
    }
}

TEST_F(StatusMenuTest, DisconnectOnVPNAndQuit) {
    auto menu = makeMenu(1);
    auto& controller = *menu.statusMenu;
    EXPECT_FALSE(controller.getDisconnectOnVPN());
    controller.toggleDisconnectOnVPN();
    EXPECT_TRUE(world.userDefaults->boolForKey("disconnectOnVPN"));
    controller.saveDisconnectOnVPN(false);
    EXPECT_FALSE(controller.getDisconnectOnVPN());
    controller.quit();
    EXPECT_EQ(world.quits, 1);
}

// --- icon images ---------------------------------------------------------------------------

struct BadgeCase {
    const char* name;
    Pixmap image;
    Pixmap badge;
    Pixmap expected;
};

void PrintTo(const BadgeCase& c, std::ostream* out) { *out << c.name; }

class ImageUtilityTest : public ::testing::TestWithParam<BadgeCase> {};

TEST_P(ImageUtilityTest, BadgeIsScaledAndDrawnPlusDarker) {
    EXPECT_EQ(ImageUtility::badgeWithImage(GetParam().image, GetParam().badge), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Badges, ImageUtilityTest,
    ::testing::Values(
        // Opaque over opaque: max(0, image + badge - 1) per colour.
        BadgeCase{"GreyOnWhite", Pixmap{1, 1, {255, 255, 255, 255}}, Pixmap{1, 1, {255, 128, 128, 128}},
                  Pixmap{1, 1, {255, 128, 128, 128}}},
        BadgeCase{"GreyOnGrey", Pixmap{1, 1, {255, 153, 153, 153}}, Pixmap{1, 1, {255, 204, 204, 204}},
                  Pixmap{1, 1, {255, 102, 102, 102}}},
        BadgeCase{"BlueOnRed", Pixmap{1, 1, {255, 255, 0, 0}}, Pixmap{1, 1, {255, 0, 0, 255}},
                  Pixmap{1, 1, {255, 0, 0, 0}}},
        // Where one of the two is transparent, the other shows as it is.
        BadgeCase{"ClearBadge", Pixmap{1, 1, {255, 255, 0, 0}}, Pixmap{1, 1, {0, 9, 9, 9}},
                  Pixmap{1, 1, {255, 255, 0, 0}}},
        BadgeCase{"OnClearImage", Pixmap{1, 1, {0, 0, 0, 0}}, Pixmap{1, 1, {255, 0, 0, 255}},
                  Pixmap{1, 1, {255, 0, 0, 255}}},
        BadgeCase{"HalfOnHalf", Pixmap{1, 1, {128, 255, 255, 255}}, Pixmap{1, 1, {128, 255, 255, 255}},
                  Pixmap{1, 1, {192, 255, 255, 255}}},
        // Scaled to the image: one pixel covers all, two cover a half each.
        BadgeCase{"OnePixelBadge", Pixmap{2, 1, {255, 255, 255, 255, 255, 255, 255, 255}},
                  Pixmap{1, 1, {255, 0, 0, 0}}, Pixmap{2, 1, {255, 0, 0, 0, 255, 0, 0, 0}}},
        BadgeCase{"HalvesFromTwoByOne", Pixmap{4, 2, std::vector<std::uint8_t>(4 * 2 * 4, 255)},
                  Pixmap{2, 1, {255, 0, 255, 255, 255, 255, 255, 0}},
                  Pixmap{4, 2, {255, 0, 255, 255, 255, 0, 255, 255, 255, 255, 255, 0, 255, 255, 255, 0,
                                255, 0, 255, 255, 255, 0, 255, 255, 255, 255, 255, 0, 255, 255, 255, 0}}},
        BadgeCase{"LargerBadgeShrunk", Pixmap{1, 1, {255, 255, 255, 255}},
                  Pixmap{2, 2, {255, 1, 1, 1, 255, 2, 2, 2, 255, 3, 3, 3, 255, 4, 4, 4}},
                  Pixmap{1, 1, {255, 4, 4, 4}}},
        // No image: nothing to draw on; no badge: the image alone.
        BadgeCase{"ShortImage", Pixmap{2, 2, {255, 0, 0}}, Pixmap{1, 1, {255, 0, 0, 0}}, Pixmap{}},
        BadgeCase{"NegativeSize", Pixmap{-1, -1, {255, 0, 0, 0}}, Pixmap{1, 1, {255, 0, 0, 0}}, Pixmap{}},
        BadgeCase{"HugeSizeFewBytes", Pixmap{0x7fffffff, 0x7fffffff, {255, 0, 0, 0}},
                  Pixmap{1, 1, {255, 0, 0, 0}}, Pixmap{}},
        BadgeCase{"EmptyBadge", Pixmap{1, 1, {255, 7, 8, 9}}, Pixmap{}, Pixmap{1, 1, {255, 7, 8, 9}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ImageUtilityDimTest, AlphaScalesOpacityOnly) {
    const Pixmap image{2, 1, {255, 10, 20, 30, 100, 40, 50, 60}};
    const std::pair<double, Pixmap> cases[] = {
        {1.0, image},
        {0.5, Pixmap{2, 1, {128, 10, 20, 30, 50, 40, 50, 60}}},
        {0.0, Pixmap{2, 1, {0, 0, 0, 0, 0, 0, 0, 0}}},
        {7.0, image},
        {-1.0, Pixmap{2, 1, {0, 0, 0, 0, 0, 0, 0, 0}}},
        {std::nan(""), Pixmap{2, 1, {0, 0, 0, 0, 0, 0, 0, 0}}},
    };
    for (const auto& [alpha, expected] : cases)
        EXPECT_EQ(ImageUtility::dimmedImage(image, alpha), expected) << alpha;
    EXPECT_EQ(ImageUtility::dimmedImage(Pixmap{1, 2, {255, 0, 0, 0}}, 0.5), Pixmap{});
}

}  // namespace
}  // namespace kiv
