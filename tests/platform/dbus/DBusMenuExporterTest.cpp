// The menu exporter on a private bus, read back with busctl as a tray host would read it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fakes/PrivateBus.hpp"
#include "platform/dbus/DBusMenuExporter.hpp"

namespace platform::dbus {
namespace {

using kiv::fakes::PrivateBus;

MenuNode entry(std::string label, bool enabled = true) {
    MenuNode node;
    node.label = std::move(label);
    node.enabled = enabled;
    return node;
}

MenuNode separator() {
    MenuNode node;
    node.type = MenuNode::Type::separator;
    return node;
}

// Top: "Address" (disabled), "More" (submenu "Open"), separator, "Debug" (checked).
MenuNode sampleMenu(bool debugChecked) {
    MenuNode root;
    root.children.push_back(entry("Address", false));
    MenuNode more = entry("More");
    more.children.push_back(entry("Open"));
    root.children.push_back(more);
    root.children.push_back(separator());
    MenuNode debug = entry("Debug");
    debug.toggle = MenuNode::Toggle::checkmark;
    debug.checked = debugChecked;
    root.children.push_back(debug);
    return root;
}

class DBusMenuExporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        connection = BusConnection::open(bus.address(), mainQueue(), &error);
        ASSERT_TRUE(connection) << error;
        exporter = std::make_unique<DBusMenuExporter>(
            connection, "/MenuBar",
            DBusMenuExporter::Handlers{[this](const DBusMenuExporter::Path& path) { clicks.push_back(path); },
                                       [this] {
                                           ++aboutToShow;
                                           exporter->setLayout(sampleMenu(aboutToShow % 2 == 1));
                                       }});
        ASSERT_TRUE(exporter->isExported());
        // Our unique name, so that busctl can address us.
        const char* unique = nullptr;
        ASSERT_GE(sd_bus_get_unique_name(connection->bus(), &unique), 0);
        name = unique;
    }

    // busctl's JSON for a call on the menu; nothing when the call failed.
    std::optional<nlohmann::json> call(const std::vector<std::string>& method) {
        std::vector<std::string> arguments{
            "/usr/bin/busctl", "--address=" + bus.address(), "--json=short", "call", "--", name,
            "/MenuBar",        "com.canonical.dbusmenu"};
        arguments.insert(arguments.end(), method.begin(), method.end());
        auto output = bus.run(arguments);
        if (!output) {
            last = bus.lastError();
            return std::nullopt;
        }
        if (output->empty()) return nlohmann::json::object();
        return nlohmann::json::parse(*output);
    }

    PrivateBus bus;
    BusConnectionPtr connection;
    std::unique_ptr<DBusMenuExporter> exporter;
    std::string name;
    std::vector<DBusMenuExporter::Path> clicks;
    int aboutToShow = 0;
    std::string last;  // the peer's errors of the last failed call
};

// The label (or "-" for a separator) and toggle state of each child of a layout node.
std::vector<std::string> childSummary(const nlohmann::json& node) {
    std::vector<std::string> summary;
    for (const auto& child : node[2]) {
        const auto& props = child["data"][1];
        std::string text = props.contains("label") ? props["label"]["data"].get<std::string>() : "-";
        if (props.contains("toggle-state"))
            text += props["toggle-state"]["data"].get<int>() ? " [x]" : " [ ]";
        if (props.contains("enabled") && !props["enabled"]["data"].get<bool>()) text += " (off)";
        if (!child["data"][2].empty()) text += " >";
        summary.push_back(text);
    }
    return summary;
}

TEST_F(DBusMenuExporterTest, HostReadsTheLayoutClicksAndIsToldOfChanges) {
    exporter->setLayout(sampleMenu(true));
    auto layout = call({"GetLayout", "iias", "0", "-1", "0"});
    ASSERT_TRUE(layout) << last;
    const auto& data = (*layout)["data"];
    EXPECT_EQ(data[0].get<std::uint32_t>(), exporter->revision());
    EXPECT_EQ(childSummary(data[1]), (std::vector<std::string>{"Address (off)", "More >", "-", "Debug [x]"}));

    // Ids follow a depth-first walk: Address 1, More 2, Open 3, separator 4, Debug 5.
    struct Case {
        std::string id;
        bool known;
        std::optional<DBusMenuExporter::Path> clicked;
    };
    const Case cases[] = {
        {"3", true, DBusMenuExporter::Path{1, 0}},  // the submenu's entry
        {"5", true, DBusMenuExporter::Path{3}},
        {"1", true, std::nullopt},  // disabled: answered, no action
        {"4", true, std::nullopt},  // separator
        {"2", true, std::nullopt},  // opens a submenu
        {"0", true, std::nullopt},  // the root
        {"6", false, std::nullopt},
        {"-1", false, std::nullopt},
    };
    for (const auto& c : cases) {
        clicks.clear();
        const bool answered = call({"Event", "isvu", c.id, "clicked", "s", "", "0"}).has_value();
        EXPECT_EQ(answered, c.known) << c.id;
        platform::runMainLoopOnce(std::chrono::milliseconds(0));  // the click runs after the reply
        if (c.clicked) {
            ASSERT_EQ(clicks.size(), 1u) << c.id;
            EXPECT_EQ(clicks[0], *c.clicked) << c.id;
        } else {
            EXPECT_TRUE(clicks.empty()) << c.id;
        }
    }

    // Depth 0: the root alone; a sub-layout keeps the ids of the full walk.
    layout = call({"GetLayout", "iias", "0", "0", "0"});
    ASSERT_TRUE(layout);
    EXPECT_TRUE((*layout)["data"][1][2].empty());
    layout = call({"GetLayout", "iias", "2", "-1", "0"});
    ASSERT_TRUE(layout);
    EXPECT_EQ((*layout)["data"][1][2][0]["data"][0].get<int>(), 3);
    EXPECT_FALSE(call({"GetLayout", "iias", "9", "-1", "0"}));

    auto property = call({"GetProperty", "is", "5", "toggle-state"});
    ASSERT_TRUE(property);
    EXPECT_EQ((*property)["data"][0]["data"].get<int>(), 1);
    auto group = call({"GetGroupProperties", "aias", "2", "1", "5", "1", "label"});
    ASSERT_TRUE(group);
    ASSERT_EQ((*group)["data"][0].size(), 2u);
    EXPECT_EQ((*group)["data"][0][1][1]["label"]["data"], "Debug");
    EXPECT_FALSE((*group)["data"][0][1][1].contains("toggle-state"));

    // AboutToShow lets the owner hand over a new snapshot: true when it differs, false when not.
    const auto before = exporter->revision();
    auto shown = call({"AboutToShow", "i", "0"});  // first call: Debug stays checked
    ASSERT_TRUE(shown);
    EXPECT_FALSE((*shown)["data"][0].get<bool>());
    shown = call({"AboutToShow", "i", "0"});  // second: Debug unchecked
    ASSERT_TRUE(shown);
    EXPECT_TRUE((*shown)["data"][0].get<bool>());
    EXPECT_EQ(exporter->revision(), before + 1);
    EXPECT_EQ(aboutToShow, 2);
}

TEST(DBusMenuExporterWithoutBus, KeepsTheSnapshotAndFindsEntries) {
    DBusMenuExporter exporter(nullptr, "/MenuBar", {});
    EXPECT_FALSE(exporter.isExported());
    const auto first = exporter.revision();
    exporter.setLayout(sampleMenu(false));
    exporter.setLayout(sampleMenu(false));
    EXPECT_EQ(exporter.revision(), first + 1);  // an equal snapshot changes nothing
    DBusMenuExporter::Path path;
    ASSERT_NE(exporter.node(3, &path), nullptr);
    EXPECT_EQ(exporter.node(3)->label, "Open");
    EXPECT_EQ(path, (DBusMenuExporter::Path{1, 0}));
    EXPECT_EQ(exporter.node(6), nullptr);
    EXPECT_EQ(exporter.node(-1), nullptr);
}

TEST(BusConnectionTest, RefusesAddressesItCannotReach) {
    kiv::fakes::TemporaryFolder folder;
    const std::string addresses[] = {"unix:path=" + (folder.path() / "none").string(), "not-an-address", "",
                                     "unix:path=" + folder.path().string()};
    for (const auto& address : addresses) {
        std::string error;
        EXPECT_EQ(BusConnection::open(address, mainQueue(), &error), nullptr) << address;
        EXPECT_FALSE(error.empty()) << address;
    }
}

}  // namespace
}  // namespace platform::dbus
