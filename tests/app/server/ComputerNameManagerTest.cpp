// The user and computer identity sent to the device server, for made-up accounts and hosts.
#include <gtest/gtest.h>

#include "app/server/ComputerNameManager.hpp"
#include "app/server/ServerTestSupport.hpp"

namespace kiv::testing {
namespace {

struct IdentityCase {
    std::string name;
    std::string login;
    std::optional<std::string> pwd;
    std::string host;
    std::string computer;
    bool local;
    std::optional<std::string> directory;  // a network user's alternate security identity
    std::optional<std::string> nsUserName;
    std::string email;
    std::string computerName;
};

class IdentityTest : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(IdentityTest, DerivesTheTexts) {
    const IdentityCase& c = GetParam();
    auto sources = fakeIdentity(c.login, c.host);
    sources.computerName = [c] { return c.computer; };
    sources.isLocalAccount = [c](std::string_view) { return c.local; };
    sources.directoryRecord = [c](std::string_view) -> std::optional<ComputerNameManager::DirectoryRecord> {
        if (!c.directory) return std::nullopt;
        return ComputerNameManager::DirectoryRecord{c.directory, std::nullopt};
    };
    sources.environment = [c](const char* name) { return std::string(name) == "PWD" ? c.pwd : std::nullopt; };
    const ComputerNameManager manager(sources);
    EXPECT_EQ(manager.isLocalUser(), c.local);
    EXPECT_EQ(manager.nsUserName(), c.nsUserName);
    EXPECT_EQ(manager.getEMail(), c.email);
    EXPECT_EQ(manager.getComputerName(), c.computerName);
    EXPECT_EQ(manager.fullUserName(), "Alice Example");
}

INSTANTIATE_TEST_SUITE_P(
    Identities, IdentityTest,
    ::testing::Values(
        IdentityCase{"local_user", "alice", std::nullopt, "box1.local", "Studio", true, std::nullopt, "alice",
                     "alice@box1.com", "alice@Studio.local"},
        IdentityCase{"every_local_becomes_com", "alice", std::nullopt, "local-box.local", "Buildlocal", true,
                     std::nullopt, "alice", "alice@com-box.com", "alice@Buildlocal"},
        IdentityCase{"host_not_ending_in_local_is_kept", "alice", std::nullopt, "box1.example.org", "Studio",
                     true, std::nullopt, "alice", "alice@box1.example.org", "alice@Studio.local"},
        IdentityCase{"root_takes_the_user_of_pwd", "root", "/home/bob/Downloads", "box1", "Studio", true,
                     std::nullopt, "bob", "bob@box1", "root@Studio.local"},
        IdentityCase{"root_with_a_short_pwd", "root", "/tmp", "box1", "Studio", true, std::nullopt, "/tmp",
                     "/tmp@box1", "root@Studio.local"},
        IdentityCase{"root_without_pwd", "root", std::nullopt, "box1", "Studio", true, std::nullopt,
                     std::nullopt, "@box1", "root@Studio.local"},
        IdentityCase{"network_user_with_a_principal", "carol", std::nullopt, "box1", "Studio", false,
                     "Kerberos:carol@EXAMPLE.ORG:x", "carol", "carol@box1", "carol@EXAMPLE.ORG.local"},
        IdentityCase{"network_user_without_colon", "carol", std::nullopt, "box1", "Studio", false, "carol",
                     "carol", "carol@box1", "carol@Studio.local"}),
    [](const auto& info) { return info.param.name; });

TEST(ComputerNameManager, UserNameFromPath) {
    EXPECT_EQ(ComputerNameManager::userNameFrom("/Users/user1/Work"), "user1");
    EXPECT_EQ(ComputerNameManager::userNameFrom("/home/user1"), "user1");
    EXPECT_EQ(ComputerNameManager::userNameFrom("/tmp"), "/tmp");
    EXPECT_EQ(ComputerNameManager::userNameFrom("//home//u2/"), "u2");
    EXPECT_EQ(ComputerNameManager::userNameFrom(""), "");
}

TEST(ComputerNameManager, NoAccountCountsAsLocal) {
    auto sources = fakeIdentity();
    sources.account = [] { return std::optional<platform::UserAccount>(); };
    sources.isLocalAccount = [](std::string_view) { return false; };
    EXPECT_TRUE(ComputerNameManager(sources).isLocalUser());
}

}  // namespace
}  // namespace kiv::testing
