// The rights database and its rules, and the rights table that both programs share.
#include <gtest/gtest.h>
#include <unistd.h>

#include "fakes/TestFolders.hpp"
#include "helper/protocol/Authorization.hpp"
#include "helper/protocol/Common.hpp"
#include "tests/helper/HelperServiceFixture.hpp"

namespace kiv::testing {
namespace {

using helper::AuthorizationCaller;
using helper::RightsDatabase;

struct RuleCase {
    std::string rule;
    AuthorizationCaller caller;
    bool allowed;
};

class RuleTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(RuleTest, LetsThroughOnlyWhomItNames) {
    EXPECT_EQ(RightsDatabase::ruleAllows(GetParam().rule, GetParam().caller), GetParam().allowed)
        << GetParam().rule;
}

const AuthorizationCaller kRoot{0, 0, {0}};
const AuthorizationCaller kNobody{65534, 65534, {}};
// gid 0 is "root" on every system, so membership tests need no group of their own.
const AuthorizationCaller kMemberOfRoot{65534, 65534, {0}};

INSTANTIATE_TEST_SUITE_P(
    Rules, RuleTest,
    ::testing::Values(RuleCase{"allow", kNobody, true}, RuleCase{"deny", kRoot, false},
                      RuleCase{"root", kRoot, true}, RuleCase{"root", kNobody, false},
                      RuleCase{"root", kMemberOfRoot, false}, RuleCase{"group:root", kRoot, true},
                      RuleCase{"group:root", kMemberOfRoot, true}, RuleCase{"group:root", kNobody, false},
                      RuleCase{"group:no-such-group-kiv", kNobody, false}, RuleCase{"group:", kRoot, false},
                      RuleCase{"Allow", kNobody, false}, RuleCase{"allow ", kNobody, false},
                      RuleCase{"", kRoot, false}));

TEST(RightsDatabaseTest, TrustsOnlyAFileItsOwnerAloneMayWrite) {
    fakes::TemporaryFolder folder;
    const auto file = folder.path() / "rights";
    const RightsDatabase database(file);
    std::string rule;
    EXPECT_EQ(database.rightGet("a.b", rule), helper::errAuthorizationDenied);  // missing
    writeText(file, "# comment\n a.b   group:sudo  # trailing\na.c allow\na.d whatever\n", fs::perms(0644));
    EXPECT_EQ(database.rightGet("a.b", rule), helper::errAuthorizationSuccess);
    EXPECT_EQ(rule, "group:sudo");
    EXPECT_EQ(database.rightGet("a", rule), helper::errAuthorizationDenied);
    EXPECT_EQ(database.copyRights("a.c", kNobody), helper::errAuthorizationSuccess);
    EXPECT_EQ(database.copyRights("a.d", kRoot), helper::errAuthorizationDenied);
    for (auto perms : {fs::perms(0664), fs::perms(0646)}) {
        fs::permissions(file, perms);
        EXPECT_EQ(database.copyRights("a.c", kNobody), helper::errAuthorizationDenied);
    }
    fs::permissions(file, fs::perms(0644));
    fs::create_symlink(file, folder.path() / "link");
    EXPECT_EQ(RightsDatabase(folder.path() / "link").copyRights("a.c", kNobody),
              helper::errAuthorizationDenied);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
        EXPECT_EQ(database.copyRights("a.c", kNobody), helper::errAuthorizationDenied);
    }
}

TEST(RightsTableTest, NamesEveryCommandsRightAfterItsSelector) {
    EXPECT_EQ(helper::Common::commandInfo().size(), 10u);
    EXPECT_EQ(helper::Common::authorizationRightForCommand("setLogDebug:authorization:withReply:"),
              "com.veltrix.kivHelper.setLogDebug");
    EXPECT_EQ(helper::Common::authorizationRightForCommand("flushDNSwithAuthorization:withReply:"),
              "com.veltrix.kivHelper.flushDNSwithAuthorization");
    EXPECT_EQ(helper::Common::authorizationRightForCommand("nothing:"), std::nullopt);
    int open = 0;
    helper::Common::enumerateRights(
        [&](const std::string&, const std::string& rule, const std::string& prompt) {
            EXPECT_TRUE(RightsDatabase::validRule(rule));
            EXPECT_FALSE(prompt.empty());
            open += rule == "allow";
        });
    EXPECT_EQ(open, 1);  // the flush alone
}

TEST(RightsTableTest, SetupOnlyReportsAndNeverWritesTheDatabase) {
    fakes::TemporaryFolder folder;
    const auto file = folder.path() / "rights";
    writeText(file, "com.veltrix.kivHelper.flushDNSwithAuthorization deny\n");
    helper::AuthorizationRef reference;
    ASSERT_EQ(helper::authorizationCreate(reference), helper::errAuthorizationSuccess);
    std::vector<std::string> lines;
    for (int run = 0; run < 2; ++run) {
        helper::Common::setupAuthorizationRights(reference, RightsDatabase(file),
                                                 [&](const std::string& line) { lines.push_back(line); });
    }
    EXPECT_EQ(lines.size(), 20u);  // nine missing, one narrower, twice
    EXPECT_EQ(readText(file), "com.veltrix.kivHelper.flushDNSwithAuthorization deny\n");
}

TEST(ExternalFormTest, RoundTripsAndRefusesOtherBytes) {
    helper::AuthorizationRef made;
    ASSERT_EQ(helper::authorizationCreate(made), helper::errAuthorizationSuccess);
    helper::AuthorizationExternalForm form;
    ASSERT_EQ(helper::authorizationMakeExternalForm(made, form), helper::errAuthorizationSuccess);
    helper::AuthorizationRef back;
    EXPECT_EQ(helper::authorizationCreateFromExternalForm({form.begin(), form.end()}, back),
              helper::errAuthorizationSuccess);
    EXPECT_EQ(back.form, made.form);
    EXPECT_EQ(helper::authorizationCreateFromExternalForm(std::vector<std::uint8_t>(31, 1), back),
              helper::paramErr);
    EXPECT_EQ(helper::authorizationCreateFromExternalForm(std::vector<std::uint8_t>(32, 1), back),
              helper::errAuthorizationInvalidRef);
    helper::AuthorizationRef other;
    helper::authorizationCreate(other);
    EXPECT_NE(other.form, made.form);
}

}  // namespace
}  // namespace kiv::testing
