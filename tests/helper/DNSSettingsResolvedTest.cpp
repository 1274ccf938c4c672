// The DNS settings modifier where systemd-resolved runs: a stand-in resolved on a private bus
// (python3-dbusmock) records the calls the modifier makes and keeps the links' settings.
#include <gtest/gtest.h>

#include "fakes/ChildProcess.hpp"
#include "helper/DNSSettingsFixture.hpp"
#include "platform/dbus/ResolvedClient.hpp"

namespace kiv::tests {
namespace {

using helper::DNSModifyHelper;
using nlohmann::json;

// The stand-in and its bus; destroying it stops both.
class ResolvedStandIn {
public:
    ResolvedStandIn(const std::filesystem::path& folder, const std::vector<std::string>& links) {
        std::vector<std::string> arguments{KIV_SOURCE_DIR "/tests/helper/resolved_mock.py", folder.string()};
        arguments.insert(arguments.end(), links.begin(), links.end());
        process_ = std::make_unique<kiv::fakes::ChildProcess>("/usr/bin/python3", arguments);
        const std::string first = process_->readLine();
        if (first.rfind("address ", 0) == 0) address_ = first.substr(8);
        ready_ = process_->readLine() == "ready";
    }
    bool ready() const { return ready_ && !address_.empty(); }
    const std::string& address() const { return address_; }

    // The manager's calls that change something, in order (lookups left out).
    json changes() {
        json changes = json::array();
        for (const auto& call : ask("calls")) {
            if (call[0] != "GetLink") changes.push_back(call);
        }
        return changes;
    }
    // Servers and domains of the link with this index.
    json link(int index) {
        return ask("links").value("/org/freedesktop/resolve1/link/_3" + std::to_string(index), json());
    }

private:
    json ask(const std::string& command) {
        if (!process_->send(command)) return json();
        return json::parse(process_->readLine(), nullptr, /*allow_exceptions=*/false);
    }
    std::unique_ptr<kiv::fakes::ChildProcess> process_;
    std::string address_;
    bool ready_ = false;
};

bool dbusMockAvailable() {
    return std::filesystem::exists("/usr/bin/dbus-daemon") &&
           std::system("/usr/bin/python3 -c 'import dbusmock, gi' >/dev/null 2>&1") == 0;
}

// One step of a scripted session: an action, its result, the calls it must make (appended to
// the earlier ones) and the backups it must leave.
struct Step {
    const char* what;
    std::function<bool()> action;
    bool result;
    json newChanges;
    json eth0Backup;  // null: none
    json wlan0Backup;
};

const json kEth0Original = {{"ServerAddresses", {"10.0.0.1", "fd00::1"}},
                            {"SearchDomains", {"corp.example"}}};
const json kNoConfiguration = {{"ServerAddresses", json::array()}};

TEST(DNSSettingsResolvedTest, ScriptedSession) {
    if (!dbusMockAvailable()) GTEST_SKIP() << "dbus-daemon or python3-dbusmock missing";
    // eth0 (2) has servers and a domain, wlan0 (3) nothing, wwan0 (4) is down, usb0 (5) is unknown to
    // resolved.
    DNSSettingsFixture fixture(
        {service("eth0", 2), service("wlan0", 3), service("wwan0", 4, false), service("usb0", 5)});
    ResolvedStandIn resolved(fixture.folder().path(), {"2=10.0.0.1,fd00::1;corp.example", "3", "4"});
    ASSERT_TRUE(resolved.ready());
    fixture.setBusAddress(resolved.address());
    fixture.write("nameserver 10.9.9.9\n");

    const Step steps[] = {
        {"change all: wwan0 down and usb0 unknown fail, the others change",
         [] {
             return DNSModifyHelper::setResolvers({"127.0.0.53", "::1"});
         },
         false,
         {{"SetLinkDNS", 2, {"127.0.0.53", "::1"}}, {"SetLinkDNS", 3, {"127.0.0.53", "::1"}}},
         kEth0Original,
         kNoConfiguration},
        {"a second change keeps the first backups",
         [] {
             return DNSModifyHelper::setResolversForServices({"127.0.0.54"}, {"eth0", "wlan0"});
         },
         true,
         {{"SetLinkDNS", 2, {"127.0.0.54"}}, {"SetLinkDNS", 3, {"127.0.0.54"}}},
         kEth0Original,
         kNoConfiguration},
        {"a hostile server is refused before anything is asked",
         [] { return DNSModifyHelper::setResolvers({"1.2.3.4\nnameserver 6.6.6.6"}); }, false, json::array(),
         kEth0Original, kNoConfiguration},
        {"rollback: eth0 gets its servers again, wlan0 had none and is reverted",
         [] { return DNSModifyHelper::rollbackResolvers(); },
         true,
         {{"SetLinkDNS", 2, {"10.0.0.1", "fd00::1"}}, {"RevertLink", 3}},
         nullptr,
         nullptr},
        {"a second rollback finds no backups and changes nothing",
         [] { return DNSModifyHelper::rollbackResolvers(); }, true, json::array(), nullptr, nullptr},
        {"no servers: eth0 keeps its domain (servers emptied), wlan0 is reverted",
         [] {
             return DNSModifyHelper::setResolversForServices({}, {"eth0", "wlan0"});
         },
         true,
         {{"SetLinkDNS", 2, json::array()}, {"RevertLink", 3}},
         kEth0Original,
         kNoConfiguration},
        {"listed rollback",
         [] {
             return DNSModifyHelper::rollbackResolversForServices({"wlan0", "eth0"});
         },
         true,
         {{"RevertLink", 3}, {"SetLinkDNS", 2, {"10.0.0.1", "fd00::1"}}},
         nullptr,
         nullptr},
        {"flush", [] { return DNSModifyHelper::flushDNS(); }, true, {{"FlushCaches"}}, nullptr, nullptr},
    };
    json expected = json::array();
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_EQ(step.action(), step.result);
        for (const auto& call : step.newChanges) expected.push_back(call);
        EXPECT_EQ(resolved.changes(), expected);
        EXPECT_EQ(fixture.backup("eth0").value_or(nullptr), step.eth0Backup);
        EXPECT_EQ(fixture.backup("wlan0").value_or(nullptr), step.wlan0Backup);
        EXPECT_EQ(fixture.backup("wwan0"), std::nullopt);
        EXPECT_EQ(fixture.backup("usb0"), std::nullopt);
    }
    // Where resolved runs, resolv.conf is its business.
    EXPECT_EQ(fixture.read(), "nameserver 10.9.9.9\n");
    EXPECT_EQ(resolved.link(2), (json{{"servers", {"10.0.0.1", "fd00::1"}}, {"domains", {"corp.example"}}}));
    EXPECT_EQ(resolved.link(3), (json{{"servers", json::array()}, {"domains", json::array()}}));
    EXPECT_TRUE(fixture.log().contains("wwan0 is disabled"));
    EXPECT_TRUE(fixture.log().contains("usb0 is disabled: org.freedesktop.resolve1.NoSuchLink"));
    EXPECT_TRUE(
        fixture.log().contains("Command org.freedesktop.resolve1.Manager.FlushCaches output caches flushed"));
}

TEST(DNSSettingsResolvedTest, ClientReadsAndRefuses) {
    if (!dbusMockAvailable()) GTEST_SKIP() << "dbus-daemon or python3-dbusmock missing";
    kiv::fakes::TemporaryFolder folder("kiv-resolved");
    ResolvedStandIn resolved(folder.path(), {"7=192.0.2.1;~.,example.org"});
    ASSERT_TRUE(resolved.ready());
    std::string error;
    auto client = platform::ResolvedClient::connect(resolved.address(), &error);
    ASSERT_TRUE(client) << error;
    EXPECT_TRUE(client->running());
    const auto link = client->linkDNS(7, &error);
    ASSERT_TRUE(link) << error;
    EXPECT_EQ(link->servers, std::vector<std::string>{"192.0.2.1"});
    EXPECT_FALSE(client->linkDNS(8, &error));
    EXPECT_NE(error.find("NoSuchLink"), std::string::npos);
    for (const std::string bad : {"192.0.2.1 ", "fe80::1%lo", "::ffff:1.2.3.4.5", ""}) {
        const auto result = client->setLinkDNS(7, {"192.0.2.2", bad});
        EXPECT_FALSE(result.ok()) << bad;
    }
    EXPECT_EQ(resolved.changes(), json::array());
    EXPECT_FALSE(platform::ResolvedClient::connect("unix:path=" + (folder.path() / "none").string(), &error));
    EXPECT_NE(error.find("cannot connect"), std::string::npos);
}

}  // namespace
}  // namespace kiv::tests
