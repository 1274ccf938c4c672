// Rollback after several links were changed one by one, in every order, for both back ends: the
// computer gets back what it had before the first change. With the shared resolv.conf, a link
// changed after another one must not take the already-changed file for its original.
#include <gtest/gtest.h>

#include "fakes/ChildProcess.hpp"
#include "helper/DNSSettingsFixture.hpp"

namespace kiv::tests {
namespace {

using helper::DNSModifyHelper;
using helper::Resolvers;
using nlohmann::json;

struct Change {
    std::string link;
    Resolvers servers;
};

struct RollbackOrderCase {
    const char* name;
    bool resolved;                      // the back end: resolved per link, or the shared resolv.conf
    std::vector<Change> changes;        // one request per change, in this order
    std::vector<std::string> rollback;  // empty: every service (rollbackDNS); else this list
};

void PrintTo(const RollbackOrderCase& c, std::ostream* out) { *out << c.name; }

std::string printRollbackOrderName(const ::testing::TestParamInfo<RollbackOrderCase>& info) {
    return std::string(info.param.resolved ? "Resolved" : "File") + info.param.name;
}

const Resolvers kProxy{"127.0.0.53"};
const Resolvers kProxy6{"127.0.0.53", "::1"};
constexpr const char* kOriginalFile = "search corp.example\nnameserver 10.0.0.1\noptions edns0\n";

bool resolvedMockAvailable() {
    return std::filesystem::exists("/usr/bin/dbus-daemon") &&
           std::system("/usr/bin/python3 -c 'import dbusmock, gi' >/dev/null 2>&1") == 0;
}

class RollbackOrderTest : public ::testing::TestWithParam<RollbackOrderCase> {};

TEST_P(RollbackOrderTest, RestoresWhatWasThereBeforeTheFirstChange) {
    const auto& c = GetParam();
    if (c.resolved && !resolvedMockAvailable()) GTEST_SKIP() << "dbus-daemon or python3-dbusmock missing";
    DNSSettingsFixture fixture({service("eth0", 2), service("wlan0", 3), service("wwan0", 4)});
    fixture.write(kOriginalFile);
    std::unique_ptr<kiv::fakes::ChildProcess> mock;
    auto ask = [&](const std::string& command) {
        EXPECT_TRUE(mock->send(command));
        return json::parse(mock->readLine(), nullptr, false);
    };
    if (c.resolved) {
        // eth0 has a server, wlan0 a server and a domain, wwan0 nothing.
        mock = std::make_unique<kiv::fakes::ChildProcess>(
            "/usr/bin/python3", std::vector<std::string>{KIV_SOURCE_DIR "/tests/helper/resolved_mock.py",
                                                         fixture.folder().path().string(), "2=10.0.0.1",
                                                         "3=10.0.1.1;lan.example", "4"});
        const std::string first = mock->readLine();
        ASSERT_EQ(first.rfind("address ", 0), 0u) << first;
        ASSERT_EQ(mock->readLine(), "ready");
        fixture.setBusAddress(first.substr(8));
    }
    const json originalLinks = c.resolved ? ask("links") : json();

    for (const auto& change : c.changes) {
        SCOPED_TRACE(change.link);
        EXPECT_TRUE(DNSModifyHelper::setResolversForServices(change.servers, {change.link}));
    }
    if (!c.resolved) {
        EXPECT_NE(fixture.read(), kOriginalFile);
    }
    EXPECT_TRUE(c.rollback.empty() ? DNSModifyHelper::rollbackResolvers()
                                   : DNSModifyHelper::rollbackResolversForServices(c.rollback));

    // With resolved, resolv.conf is its business and stays untouched all along.
    if (c.resolved) {
        EXPECT_EQ(ask("links"), originalLinks);
    }
    EXPECT_EQ(fixture.read(), kOriginalFile);
    for (const char* link : {"eth0", "wlan0", "wwan0"}) EXPECT_EQ(fixture.backup(link), std::nullopt) << link;
}

std::vector<RollbackOrderCase> rollbackOrderCases() {
    const std::vector<RollbackOrderCase> orders = {
        {"TwoInIndexOrder", false, {{"eth0", kProxy}, {"wlan0", kProxy}}, {}},
        {"TwoInReverseOrder", false, {{"wlan0", kProxy}, {"eth0", kProxy}}, {}},
        {"TwoReverseListedRollback", false, {{"wlan0", kProxy}, {"eth0", kProxy}}, {"eth0", "wlan0"}},
        {"TwoListedRollbackInChangeOrder", false, {{"wlan0", kProxy}, {"eth0", kProxy}}, {"wlan0", "eth0"}},
        {"TwoWithOtherServersSecond", false, {{"wlan0", kProxy}, {"eth0", kProxy6}}, {}},
        {"ThreeInIndexOrder", false, {{"eth0", kProxy}, {"wlan0", kProxy}, {"wwan0", kProxy}}, {}},
        {"ThreeLastFirst", false, {{"wwan0", kProxy}, {"eth0", kProxy}, {"wlan0", kProxy6}}, {}},
        {"ThreeMiddleFirstListedRollback",
         false,
         {{"wlan0", kProxy6}, {"wwan0", kProxy}, {"eth0", kProxy}},
         {"wwan0", "eth0", "wlan0"}},
        {"OneChangedTwice", false, {{"wlan0", kProxy}, {"eth0", kProxy}, {"wlan0", kProxy6}}, {}},
    };
    std::vector<RollbackOrderCase> cases;
    for (bool resolved : {false, true}) {
        for (auto c : orders) {
            c.resolved = resolved;
            cases.push_back(c);
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Orders, RollbackOrderTest, ::testing::ValuesIn(rollbackOrderCases()),
                         printRollbackOrderName);

}  // namespace
}  // namespace kiv::tests
