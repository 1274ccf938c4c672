// The status item and its menu on a private session bus, seen as a tray host sees them: a
// stand-in StatusNotifierWatcher (tests/fakes/sni_watcher.py) takes the registration, busctl reads
// the item's properties and the dbusmenu layout and clicks entries.
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include "app/shell/MenuInteraction.hpp"
#include "app/shell/StatusMenuTestSupport.hpp"
#include "fakes/PrivateBus.hpp"
#include "platform/SystemLog.hpp"

namespace kiv {
namespace {

using fakes::PrivateBus;
using testing::ControllerWorld;

const std::string kWatcher = std::string(KIV_SOURCE_DIR) + "/tests/fakes/sni_watcher.py";

class StatusMenuBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        connection = platform::dbus::BusConnection::open(bus.address(), platform::mainQueue(), &error);
        ASSERT_TRUE(connection) << error;
        world = std::make_unique<ControllerWorld>(connection);
    }

    std::unique_ptr<fakes::Process> startWatcher() {
        auto watcher = bus.start({"/usr/bin/python3", kWatcher});
        EXPECT_TRUE(PrivateBus::waitForLine(*watcher, "ready"));
        return watcher;
    }

    // The item's bus name from the watcher's "registered <name> <sender>" line.
    static std::string registeredName(fakes::Process& watcher) {
        auto line = PrivateBus::waitForLine(watcher, "registered ");
        if (!line) return {};
        const auto start = line->find(' ') + 1;
        return line->substr(start, line->find(' ', start) - start);
    }

    std::optional<nlohmann::json> busctl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(),
                         {"/usr/bin/busctl", "--address=" + bus.address(), "--json=short"});
        auto output = bus.run(arguments);
        if (!output) return std::nullopt;
        return output->empty() ? nlohmann::json::object() : nlohmann::json::parse(*output);
    }
    std::optional<nlohmann::json> menuCall(const std::string& name, std::vector<std::string> method) {
        method.insert(method.begin(), {"call", "--", name, "/MenuBar", "com.canonical.dbusmenu"});
        return busctl(method);
    }
    std::optional<std::string> itemProperty(const std::string& name, const std::string& property) {
        auto value = busctl(
            {"get-property", "--", name, "/StatusNotifierItem", "org.kde.StatusNotifierItem", property});
        if (!value) return std::nullopt;
        return (*value)["data"].dump();
    }

    PrivateBus bus;
    platform::dbus::BusConnectionPtr connection;
    std::unique_ptr<ControllerWorld> world;
    std::shared_ptr<testing::RecordingLogger> logger = std::make_shared<testing::RecordingLogger>();
};

struct Entry {
    int id;
    std::string text;
};

// Each top-level entry of a GetLayout answer: its id and "label [x]" / "-" / "label >".
std::vector<Entry> entries(const nlohmann::json& layout) {
    std::vector<Entry> out;
    for (const auto& child : layout["data"][1][2]) {
        const auto& props = child["data"][1];
        std::string text =
            props["type"]["data"] == "separator" ? "-" : props["label"]["data"].get<std::string>();
        if (props.contains("toggle-state"))
            text += props["toggle-state"]["data"].get<int>() ? " [x]" : " [ ]";
        if (!child["data"][2].empty()) text += " >";
        out.push_back({child["data"][0].get<int>(), text});
    }
    return out;
}

std::vector<std::string> texts(const std::vector<Entry>& all) {
    std::vector<std::string> out;
    for (const auto& e : all) out.push_back(e.text);
    return out;
}

TEST_F(StatusMenuBusTest, AHostSeesTheItemBuildsTheMenuOnItsFirstClickAndClicksEntries) {
    auto watcher = startWatcher();
    world->userDefaults->setBool("LogDebug", true);
    MenuInteraction menu(2, false, testing::injected(logger), world->environment());
    const std::string name = registeredName(*watcher);
    ASSERT_FALSE(name.empty());

    EXPECT_EQ(itemProperty(name, "IconName"), "\"corvel_icon\"");
    EXPECT_EQ(itemProperty(name, "Menu"), "\"/MenuBar\"");
    EXPECT_EQ(itemProperty(name, "ItemIsMenu"), "true");
    EXPECT_EQ(itemProperty(name, "Title"), "\"Brannock Cloud KIV\"");

    // Before the first click the menu is empty; the host's AboutToShow is that click.
    auto layout = menuCall(name, {"GetLayout", "iias", "0", "-1", "0"});
    ASSERT_TRUE(layout) << bus.lastError();
    EXPECT_TRUE(entries(*layout).empty());
    menu.updateStatus(ChangeType::connected, true, true, false);
    auto shown = menuCall(name, {"AboutToShow", "i", "0"});
    ASSERT_TRUE(shown);
    EXPECT_TRUE((*shown)["data"][0].get<bool>());
    layout = menuCall(name, {"GetLayout", "iias", "0", "-1", "0"});
    ASSERT_TRUE(layout);
    auto top = entries(*layout);
    EXPECT_EQ(texts(top), (std::vector<std::string>{"External IP: Empty", "Status: Connected", "Logs >", "-",
                                                    "Logging Debug Info [x]", "Notifications Preferences...",
                                                    "-", "About", "-"}));
    ASSERT_EQ(top.size(), 9u);

    // A click on the debug entry: answered at once, acted on by the main queue, shown again.
    ASSERT_TRUE(menuCall(name, {"Event", "isvu", std::to_string(top[4].id), "clicked", "s", "", "0"}));
    ASSERT_TRUE(PrivateBus::turnUntil([&] { return !world->userDefaults->boolForKey("LogDebug"); }));
    layout = menuCall(name, {"GetLayout", "iias", "0", "-1", "0"});
    ASSERT_TRUE(layout);
    EXPECT_EQ(entries(*layout)[4].text, "Logging Debug Info [ ]");

    // The submenu's entry (the id after "Logs") opens the application folder.
    ASSERT_TRUE(menuCall(name, {"Event", "isvu", std::to_string(top[2].id + 1), "clicked", "s", "", "0"}));
    ASSERT_TRUE(PrivateBus::turnUntil([&] { return world->opened.size() == 1; }));
    EXPECT_EQ(world->opened[0], (world->folder.path() / "BrannockCloud").string());

    // The change observer's updates reach the host.
    menu.statusMenu->updateExternalIp("192.0.2.44");
    menu.updateStatus(ChangeType::VPNDidStart, true, true, true);
    layout = menuCall(name, {"GetLayout", "iias", "0", "-1", "0"});
    ASSERT_TRUE(layout);
    top = entries(*layout);
    EXPECT_EQ(top[0].text, "External IP: 192.0.2.44");
    EXPECT_EQ(top[1].text, "Status: Disconnected: VPN running");

    // A host restarted: its new watcher gets the item again.
    watcher.reset();
    auto second = startWatcher();
    EXPECT_EQ(registeredName(*second), name);

    // Removed, the item gives up its name and leaves every host.
    menu.statusMenu->removeStatusBar();
    EXPECT_TRUE(PrivateBus::turnUntil([&] { return !itemProperty(name, "IconName"); }));
}

TEST_F(StatusMenuBusTest, WithoutAWatcherTheModelWorksAndTheItemRegistersWhenOneAppears) {
    std::atomic<int> noHost{0};
    platform::LogCapture capture([&](const platform::LogRecord& record) {
        if (record.message.find("no status-area host") != std::string::npos) ++noHost;
    });
    MenuInteraction menu(2, false, testing::injected(logger), world->environment());
    ASSERT_TRUE(PrivateBus::turnUntil([&] { return noHost.load() == 1; }));
    menu.updateStatus(ChangeType::disconnected, false, true, false);
    menu.statusMenu->statusBarItem()->click();
    EXPECT_EQ(menu.statusMenu->statusBarItem()->menu()->numberOfItems(), 9u);
    auto* exported = world->statusBar->exported(menu.statusMenu->statusBarItem());
    ASSERT_NE(exported, nullptr);
    EXPECT_FALSE(exported->isRegistered());

    auto watcher = startWatcher();
    EXPECT_EQ(registeredName(*watcher), exported->busName());
    EXPECT_TRUE(PrivateBus::turnUntil([&] { return exported->isRegistered(); }));
    EXPECT_EQ(noHost.load(), 1);
}

}  // namespace
}  // namespace kiv
