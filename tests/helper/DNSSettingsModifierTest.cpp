// The DNS settings modifier against a resolv.conf in a temporary root: changes, backups and
// rollbacks, refused input, and walks of several threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <any>
#include <atomic>
#include <thread>

#include "helper/DNSSettingsFixture.hpp"
#include "platform/NotificationCenter.hpp"

namespace kiv::tests {
namespace {

using helper::DNSModifyHelper;
using helper::Resolvers;
using nlohmann::json;

constexpr const char* kInstallerFile =
    "# resolv.conf written by the network setup\n"
    "search corp.example lab.example\n"
    "nameserver 10.0.0.1\n"
    "nameserver 10.0.0.2\n"
    "options edns0 timeout:2\n";

struct FileCase {
    const char* name;
    std::optional<std::string> original;  // none: no resolv.conf
    Resolvers servers;
    std::string afterChange;
    json backup;  // of every service
    std::string afterRollback;
};

const FileCase kFileCases[] = {
    {"CommentsSearchAndOptionsKept",
     kInstallerFile,
     {"127.0.0.53"},
     "# resolv.conf written by the network setup\n"
     "search corp.example lab.example\n"
     "nameserver 127.0.0.53\n"
     "options edns0 timeout:2\n",
     {{"ServerAddresses", {"10.0.0.1", "10.0.0.2"}},
      {"SearchDomains", {"corp.example", "lab.example"}},
      {"Options", {"edns0", "timeout:2"}}},
     kInstallerFile},
    {"IPv6Servers",
     "nameserver 192.0.2.53\n",
     {"::1", "fd00:53::1", "127.0.0.1"},
     "nameserver ::1\nnameserver fd00:53::1\nnameserver 127.0.0.1\n",
     {{"ServerAddresses", {"192.0.2.53"}}},
     "nameserver 192.0.2.53\n"},
    {"NoNameserverLines",
     "domain corp.example\n",
     {"127.0.0.53"},
     "domain corp.example\nnameserver 127.0.0.53\n",
     {{"ServerAddresses", json::array()}, {"DomainName", "corp.example"}},
     "domain corp.example\n"},
    {"ScatteredNameserversGatherWhereTheFirstStood",
     "nameserver 10.0.0.1\n; local\nnameserver 10.0.0.2",
     {"127.0.0.9"},
     "nameserver 127.0.0.9\n; local\n",
     {{"ServerAddresses", {"10.0.0.1", "10.0.0.2"}}},
     "nameserver 10.0.0.1\nnameserver 10.0.0.2\n; local\n"},
    {"MissingFile",
     std::nullopt,
     {"127.0.0.53"},
     "nameserver 127.0.0.53\n",
     {{"ServerAddresses", json::array()}},
     ""},
    {"EmptyListMeansDHCP",
     "search a.example\nnameserver 10.0.0.1\n",
     {},
     "search a.example\n",
     {{"ServerAddresses", {"10.0.0.1"}}, {"SearchDomains", {"a.example"}}},
     "search a.example\nnameserver 10.0.0.1\n"},
};

class DNSSettingsFileTest : public ::testing::TestWithParam<FileCase> {};

TEST_P(DNSSettingsFileTest, ChangeBacksUpAndRollbackRestores) {
    const FileCase& c = GetParam();
    DNSSettingsFixture fixture;
    if (c.original) fixture.write(*c.original);

    EXPECT_TRUE(DNSModifyHelper::setResolvers(c.servers));
    EXPECT_EQ(fixture.read(), c.afterChange);
    for (const char* service : {"eth0", "wlan0"}) {
        EXPECT_EQ(fixture.backup(service), c.backup) << service;
        EXPECT_TRUE(fixture.log().contains(std::string(service) + "'s configuration is backed up"));
    }
    EXPECT_TRUE(fixture.log().contains(c.original ? "eth0 had an existing configuration"
                                                  : "eth0 had no existing configuration"));
    EXPECT_TRUE(fixture.log().contains(c.servers.empty() ? "Setting eth0's resolvers to DHCP"
                                                         : "Setting eth0's resolvers to [" + c.servers[0]));

    EXPECT_TRUE(DNSModifyHelper::rollbackResolvers());
    EXPECT_EQ(fixture.read(), c.afterRollback);
    EXPECT_EQ(fixture.backup("eth0"), std::nullopt);
    EXPECT_EQ(fixture.backup("wlan0"), std::nullopt);
    struct stat info {};
    ASSERT_EQ(::stat(fixture.resolvConf().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

INSTANTIATE_TEST_SUITE_P(Cases, DNSSettingsFileTest, ::testing::ValuesIn(kFileCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Texts that must never reach resolv.conf or resolved: each is refused and nothing changes.
class DNSSettingsHostileServerTest : public ::testing::TestWithParam<std::string> {};

TEST_P(DNSSettingsHostileServerTest, RefusedAndNothingChanges) {
    DNSSettingsFixture fixture;
    fixture.write(kInstallerFile);
    EXPECT_FALSE(DNSModifyHelper::setResolvers({"127.0.0.1", GetParam()}));
    EXPECT_FALSE(DNSModifyHelper::setResolversForServices({GetParam()}, {"eth0"}));
    EXPECT_EQ(fixture.read(), kInstallerFile);
    EXPECT_EQ(fixture.backup("eth0"), std::nullopt);
    EXPECT_TRUE(fixture.log().contains("Refusing DNS server"));
    EXPECT_FALSE(fixture.log().contains("Setting eth0's resolvers"));
}

INSTANTIATE_TEST_SUITE_P(Texts, DNSSettingsHostileServerTest,
                         ::testing::Values("1.2.3.4\nnameserver 6.6.6.6", "1.2.3.4; rm -rf /", "$(reboot)",
                                           "`id`", "", " 1.2.3.4", "1.2.3.4 #", "1.2.3.4:53", "fe80::1%eth0",
                                           std::string("1.2.3.4\0", 8), "localhost", "999.1.1.1", "::1/128",
                                           "\xff\xfe"));

TEST(DNSSettingsSymbolicLinkTest, NeitherFollowedNorReplaced) {
    DNSSettingsFixture fixture;
    const auto target = fixture.folder().path() / "managed-resolv.conf";
    std::ofstream(target) << "nameserver 10.9.9.9\n";
    std::filesystem::create_symlink(target, fixture.resolvConf());

    EXPECT_FALSE(DNSModifyHelper::setResolvers({"127.0.0.53"}));
    EXPECT_TRUE(std::filesystem::is_symlink(fixture.resolvConf()));
    EXPECT_EQ(std::filesystem::read_symlink(fixture.resolvConf()), target);
    EXPECT_EQ(DNSSettingsFixture::readFile(target), "nameserver 10.9.9.9\n");
    EXPECT_EQ(fixture.backup("eth0"), std::nullopt);
    EXPECT_TRUE(fixture.log().contains("is a symbolic link"));
    // Nothing to roll back: success, and still nothing written.
    EXPECT_TRUE(DNSModifyHelper::rollbackResolvers());
    EXPECT_TRUE(std::filesystem::is_symlink(fixture.resolvConf()));
}

TEST(DNSSettingsBackupTest, SecondChangeKeepsFirstBackupAndSecondRollbackFindsNone) {
    DNSSettingsFixture fixture;
    fixture.write("nameserver 10.0.0.1\n");
    ASSERT_TRUE(DNSModifyHelper::setResolvers({"127.0.0.53"}));
    ASSERT_TRUE(DNSModifyHelper::setResolvers({"127.0.0.54"}));
    EXPECT_EQ(fixture.read(), "nameserver 127.0.0.54\n");
    EXPECT_EQ(fixture.backup("eth0"), (json{{"ServerAddresses", {"10.0.0.1"}}}));
    EXPECT_TRUE(
        fixture.log().contains("eth0's configuration was already there won't overwrite, previous value: "
                               "{\"ServerAddresses\":[\"10.0.0.1\"]}"));

    ASSERT_TRUE(DNSModifyHelper::rollbackResolvers());
    EXPECT_EQ(fixture.read(), "nameserver 10.0.0.1\n");
    const auto linesBefore = fixture.log().lines().size();
    EXPECT_TRUE(DNSModifyHelper::rollbackResolvers());
    EXPECT_EQ(fixture.read(), "nameserver 10.0.0.1\n");
    for (std::size_t i = linesBefore; i < fixture.log().lines().size(); ++i) {
        EXPECT_EQ(fixture.log().lines()[i].find("Setting"), std::string::npos);
    }
}

TEST(DNSSettingsBackupTest, ChangeAfterRollbackBacksUpAgain) {
    DNSSettingsFixture fixture;
    fixture.write("nameserver 10.0.0.1\n");
    ASSERT_TRUE(DNSModifyHelper::setResolvers({"127.0.0.53"}));
    ASSERT_TRUE(DNSModifyHelper::rollbackResolvers());
    fixture.write("nameserver 10.0.0.7\n");  // the network changed in between
    ASSERT_TRUE(DNSModifyHelper::setResolvers({"127.0.0.53"}));
    EXPECT_EQ(fixture.backup("wlan0"), (json{{"ServerAddresses", {"10.0.0.7"}}}));
}

TEST(DNSSettingsBackupTest, FailedRollbackKeepsItsBackup) {
    DNSSettingsFixture fixture;
    fixture.write("nameserver 10.0.0.1\n");
    ASSERT_TRUE(DNSModifyHelper::setResolvers({"127.0.0.53"}));
    // Another resolver manager took the file over: the rollback cannot be written.
    const auto taken = fixture.folder().path() / "taken";
    std::filesystem::rename(fixture.resolvConf(), taken);
    std::filesystem::create_symlink(taken, fixture.resolvConf());
    EXPECT_FALSE(DNSModifyHelper::rollbackResolvers());
    EXPECT_EQ(fixture.backup("eth0"), (json{{"ServerAddresses", {"10.0.0.1"}}}));
    EXPECT_TRUE(fixture.log().contains("Unable to restore eth0's configuration; keeping its backup"));

    std::filesystem::remove(fixture.resolvConf());
    std::filesystem::rename(taken, fixture.resolvConf());
    EXPECT_TRUE(DNSModifyHelper::rollbackResolvers());
    EXPECT_EQ(fixture.read(), "nameserver 10.0.0.1\n");
    EXPECT_EQ(fixture.backup("eth0"), std::nullopt);
}

TEST(DNSSettingsBackupTest, ServiceIsNotChangedWhenItsBackupCannotBeStored) {
    DNSSettingsFixture fixture;
    fixture.write("nameserver 10.0.0.1\n");
    // A folder that is a file: no write there succeeds, for root neither.
    std::ofstream(fixture.folder().path() / "file") << "x";
    fixture.setBackups(platform::UserDefaults::atPath(
        "com.veltrix.kivHelper", (fixture.folder().path() / "file" / "backups.json").string()));
    EXPECT_FALSE(DNSModifyHelper::setResolvers({"127.0.0.53"}));
    EXPECT_EQ(fixture.read(), "nameserver 10.0.0.1\n");
    EXPECT_TRUE(fixture.log().contains("Unable to back up eth0's configuration; not changing it"));
}

TEST(DNSSettingsWalkTest, DisabledServiceFailsWhileTheOthersAreChanged) {
    DNSSettingsFixture fixture({service("eth0", 2), service("wlan0", 3, /*enabled=*/false)});
    fixture.write("nameserver 10.0.0.1\n");
    EXPECT_FALSE(DNSModifyHelper::setResolvers({"127.0.0.53"}));
    EXPECT_EQ(fixture.read(), "nameserver 127.0.0.53\n");
    EXPECT_TRUE(fixture.log().contains("wlan0 is disabled"));
    EXPECT_EQ(fixture.backup("wlan0"), std::nullopt);
    EXPECT_TRUE(fixture.log().contains("DynamicStore updated"));
}

TEST(DNSSettingsWalkTest, ServicesWithoutDNSSupportFail) {
    DNSSettingsFixture fixture({service("eth0", 2), helper::NetworkService{"lo", "lo", 1, true, true},
                                helper::NetworkService{"ghost", "ghost", 0, true, false}});
    fixture.write("nameserver 10.0.0.1\n");
    EXPECT_FALSE(DNSModifyHelper::setResolvers({"127.0.0.53"}));
    EXPECT_EQ(fixture.read(), "nameserver 127.0.0.53\n");
    EXPECT_EQ(fixture.backup("lo"), std::nullopt);
    EXPECT_EQ(fixture.backup("ghost"), std::nullopt);
}

TEST(DNSSettingsWalkTest, ListedWalkSkipsUnknownServices) {
    DNSSettingsFixture fixture;
    fixture.write("nameserver 10.0.0.1\n");
    EXPECT_TRUE(DNSModifyHelper::setResolversForServices({"127.0.0.53"}, {"nosuch0", "eth0"}));
    EXPECT_EQ(fixture.read(), "nameserver 127.0.0.53\n");
    EXPECT_NE(fixture.backup("eth0"), std::nullopt);
    EXPECT_EQ(fixture.backup("wlan0"), std::nullopt);
    EXPECT_TRUE(DNSModifyHelper::rollbackResolversForServices({"eth0", "nosuch0"}));
    EXPECT_EQ(fixture.read(), "nameserver 10.0.0.1\n");
    // An empty list visits nothing, writes nothing and succeeds.
    EXPECT_TRUE(DNSModifyHelper::setResolversForServices({"127.0.0.9"}, {}));
    EXPECT_EQ(fixture.read(), "nameserver 10.0.0.1\n");
}

TEST(DNSSettingsWalkTest, WholeSetChangesPostTheNotificationListedOnesDoNot) {
    DNSSettingsFixture fixture;
    std::vector<std::string> objects;
    const auto observation = platform::NotificationCenter::defaultCenter().addObserver(
        helper::kConfigurationChangedNotification, nullptr, [&](const platform::Notification& notification) {
            objects.push_back(std::any_cast<std::string>(notification.object));
        });
    ASSERT_TRUE(DNSModifyHelper::setResolversForServices({"127.0.0.53"}, {"eth0"}));
    ASSERT_TRUE(DNSModifyHelper::rollbackResolversForServices({"eth0"}));
    EXPECT_TRUE(objects.empty());
    ASSERT_TRUE(DNSModifyHelper::setResolvers({"127.0.0.53"}));
    ASSERT_TRUE(DNSModifyHelper::rollbackResolvers());
    EXPECT_EQ(objects, (std::vector<std::string>{"DNSModifyHelper", "DNSModifyHelper"}));
}

TEST(DNSSettingsWalkTest, LockIsHeldUntilTheChangeIsCommitted) {
    DNSSettingsFixture fixture;
    fixture.write("nameserver 10.0.0.1\n");
    std::vector<std::pair<bool, std::optional<std::string>>> atTouch;
    fixture.onLog([&](const std::string& line) {
        if (line == "DynamicStore updated") atTouch.emplace_back(fixture.lockHeldElsewhere(), fixture.read());
    });
    bool heldInBlock = false;
    EXPECT_TRUE(DNSModifyHelper::applyToNetworkServices(
        [&](const helper::NetworkService& s) {
            heldInBlock = fixture.lockHeldElsewhere();
            return DNSModifyHelper::setResolversTo({"127.0.0.53"}, s, true);
        },
        true));
    EXPECT_TRUE(heldInBlock);
    ASSERT_EQ(atTouch.size(), 1u);
    EXPECT_TRUE(atTouch[0].first);                            // still locked...
    EXPECT_EQ(atTouch[0].second, "nameserver 127.0.0.53\n");  // ...and already written
    EXPECT_FALSE(fixture.lockHeldElsewhere());
}

TEST(DNSSettingsWalkTest, WalkInsideAWalkIsRefusedNotDeadlocked) {
    DNSSettingsFixture fixture;
    bool inner = true;
    EXPECT_TRUE(DNSModifyHelper::applyToNetworkServices(
        [&](const helper::NetworkService&) {
            inner = DNSModifyHelper::setResolvers({"127.0.0.53"});
            return true;
        },
        true));
    EXPECT_FALSE(inner);
    EXPECT_TRUE(fixture.log().contains("A DNS walk cannot start inside another one"));
    // Outside a walk the per-service steps have nothing to change.
    EXPECT_FALSE(DNSModifyHelper::setResolversTo({"127.0.0.53"}, service("eth0", 2), true));
    EXPECT_EQ(fixture.read(), std::nullopt);
}

// Changes and rollbacks of several threads, each a whole walk: with the walks serialised every
// rollback restores what was there before the change it undoes, so the last one finds the
// installer's file whatever the interleaving was.
TEST(DNSSettingsWalkTest, ConcurrentWalksAreSerialised) {
    DNSSettingsFixture fixture;
    fixture.write(kInstallerFile);
    constexpr int kThreads = 4;
    constexpr int kRounds = 20;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            const Resolvers mine{"127.0.1." + std::to_string(t + 1), "::" + std::to_string(t + 1)};
            for (int round = 0; round < kRounds; ++round) {
                const bool ok = round % 2 == 0
                                    ? DNSModifyHelper::setResolvers(mine)
                                    : DNSModifyHelper::rollbackResolversForServices({"wlan0", "eth0"});
                if (!ok) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(DNSModifyHelper::rollbackResolvers());
    EXPECT_EQ(fixture.read(), kInstallerFile);
    EXPECT_EQ(fixture.backup("eth0"), std::nullopt);
    EXPECT_EQ(fixture.backup("wlan0"), std::nullopt);
}

TEST(DNSSettingsWalkTest, BackupKeyFormat) {
    EXPECT_EQ(DNSModifyHelper::backupKey("eth0"), "KIVDNSModifier:Backup/Network/Service/eth0/IPv4");
}

}  // namespace
}  // namespace kiv::tests
