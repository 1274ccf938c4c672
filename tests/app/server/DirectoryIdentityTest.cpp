// A network user's directory identity through a stand-in SSSD InfoPipe (python3-dbusmock) on a
// private bus that the test names as the system bus. The test's own account (read with getpwuid)
// is missing from the test's passwd file, so it counts as a network user and its record is asked
// for; each case says what the directory answers, the computer identity that results and the
// directory error logged, and for a long answer how many of its values a lookup keeps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#include "app/server/ComputerNameManager.hpp"
#include "fakes/PrivateBus.hpp"
#include "fakes/TestFolders.hpp"
#include "platform/SystemLog.hpp"
#include "platform/dbus/InfoPipeClient.hpp"

namespace kiv {
namespace {

// The stand-in service: GetUserAttr runs the case's Python code (`args` holds the user and the
// attribute names); it answers only for the expected query.
constexpr const char* kInfoPipeTemplate = R"(import dbus
BUS_NAME = 'org.freedesktop.sssd.infopipe'
MAIN_OBJ = '/org/freedesktop/sssd/infopipe'
MAIN_IFACE = 'org.freedesktop.sssd.infopipe'
SYSTEM_BUS = False

def load(mock, parameters):
    check = ("if list(args[1]) != ['altSecurityIdentities', 'userPrincipalName'] or args[0] != %r:\n"
             "    raise dbus.exceptions.DBusException('unexpected query', name='org.freedesktop.sssd.Error.Internal')\n"
             % parameters['user'])
    mock.AddMethod(MAIN_IFACE, 'GetUserAttr', 'sas', 'a{sv}', check + parameters['code'])
)";

constexpr const char* kNotFound =
    "raise dbus.exceptions.DBusException('No such user', name='org.freedesktop.sssd.Error.NotFound')";

std::string answering(const std::string& attributes) {
    return "ret = dbus.Dictionary({" + attributes + "}, signature='sv')";
}

struct DirectoryCase {
    std::string name;
    std::optional<std::string> code;  // the service's answer; none: no service on the bus
    std::string identity;             // before ".local"; "" for the login-name form
    std::string loggedError;          // the start of the one logged line; "" for none
    // How many altSecurityIdentities values the lookup keeps of an answer of manyValues().
    std::optional<std::size_t> keptValues = std::nullopt;
};

// An answer whose altSecurityIdentities holds `count` values "Kerberos:v<i>@EXAMPLE.ORG".
std::string manyValues(std::size_t count) {
    return answering("'altSecurityIdentities': dbus.Array(['Kerberos:v%d@EXAMPLE.ORG' % i for i in range(" +
                     std::to_string(count) + ")], signature='s')");
}

class DirectoryIdentityTest : public ::testing::TestWithParam<DirectoryCase> {
protected:
    DirectoryIdentityTest() {
        std::ofstream(folder_.path() / "passwd") << "alice:x:1000:1000:Alice:/home/alice:/bin/sh\n";
        std::ofstream(folder_.path() / "machine-info") << "PRETTY_HOSTNAME=Studio\n";
        std::ofstream(folder_.path() / "infopipe.py") << kInfoPipeTemplate;
    }

    ComputerNameManager manager() const {
        platform::HostIdentityPaths paths;
        paths.passwd = folder_.path() / "passwd";
        paths.machineInfo = folder_.path() / "machine-info";
        return ComputerNameManager(ComputerNameManager::Sources::system(paths));
    }

    static std::string login() {
        const auto account = platform::HostIdentity().effectiveUser();
        return account ? account->loginName : std::string();
    }

    fakes::TemporaryFolder folder_{"kiv-directory"};
    fakes::PrivateBus bus_;
    fakes::ScopedEnvironment systemBus_{"DBUS_SYSTEM_BUS_ADDRESS", bus_.address()};
};

TEST_P(DirectoryIdentityTest, AsksTheDirectoryAndFallsBackToTheLoginName) {
    const DirectoryCase& c = GetParam();
    const std::string user = login();
    ASSERT_FALSE(user.empty());
    std::unique_ptr<fakes::Process> service;
    if (c.code) {
        const std::string parameters = nlohmann::json{{"user", user}, {"code", *c.code}}.dump();
        service = bus_.start({"/usr/bin/python3", "-m", "dbusmock", "--session", "-t",
                              (folder_.path() / "infopipe.py").string(), "-p", parameters});
        ASSERT_TRUE(bus_.run({"/usr/bin/gdbus", "wait", "--address", bus_.address(), "--timeout", "20",
                              platform::dbus::kInfoPipeBusName}))
            << bus_.lastError();
    }

    std::mutex mutex;
    std::vector<std::string> logged;
    platform::LogCapture capture([&](const platform::LogRecord& record) {
        std::lock_guard lock(mutex);
        logged.push_back(record.message);
    });
    const ComputerNameManager names = manager();
    EXPECT_FALSE(names.isLocalUser());
    const std::string expected = (c.identity.empty() ? user + "@Studio" : c.identity) + ".local";
    EXPECT_EQ(names.getComputerName(), expected);

    if (c.keptValues) {
        // The directory's first values, in its order, and no more than the cap.
        const auto lookup = platform::dbus::getUserAttributes(
            bus_.address(), user, {"altSecurityIdentities", "userPrincipalName"}, std::chrono::seconds(20));
        ASSERT_TRUE(lookup.attributes);
        EXPECT_TRUE(lookup.errors.empty());
        const auto& values = lookup.attributes->at("altSecurityIdentities");
        ASSERT_EQ(values.size(), *c.keptValues);
        for (std::size_t i = 0; i < values.size(); ++i)
            EXPECT_EQ(values[i], "Kerberos:v" + std::to_string(i) + "@EXAMPLE.ORG");
    }

    std::lock_guard lock(mutex);
    if (c.loggedError.empty()) {
        EXPECT_TRUE(logged.empty()) << logged.front();
    } else {
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(logged.front().rfind(c.loggedError, 0), 0u) << logged.front();
        EXPECT_TRUE(logged.front().ends_with(")")) << logged.front();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DirectoryIdentityTest,
    ::testing::Values(
        DirectoryCase{"no_service", std::nullopt, "",
                      "ODNode::nodeWithSession error org.freedesktop.DBus.Error.ServiceUnknown ("},
        DirectoryCase{"no_record", kNotFound, "",
                      "ODQuery::resultsAllowingPartial error org.freedesktop.sssd.Error.NotFound ("},
        DirectoryCase{"alternate_identity",
                      answering("'altSecurityIdentities': dbus.Array(['Kerberos:carol@EXAMPLE.ORG', "
                                "'X509:<I>CN=ca'], signature='s'), "
                                "'userPrincipalName': dbus.Array(['upn@EXAMPLE.ORG'], signature='s')"),
                      "carol@EXAMPLE.ORG", ""},
        DirectoryCase{"alternate_identity_without_colon",
                      answering("'altSecurityIdentities': dbus.Array(['carol'], signature='s'), "
                                "'userPrincipalName': dbus.Array(['upn@EXAMPLE.ORG'], signature='s')"),
                      "", ""},
        DirectoryCase{"only_principal_name",
                      answering("'userPrincipalName': dbus.Array(['carol@EXAMPLE.ORG'], signature='s')"),
                      "carol@EXAMPLE.ORG", ""},
        DirectoryCase{"empty_value",
                      answering("'altSecurityIdentities': dbus.Array([''], signature='s'), "
                                "'userPrincipalName': dbus.Array([], signature='s')"),
                      "", ""},
        DirectoryCase{"no_attributes", answering(""), "", ""},
        DirectoryCase{"attribute_of_another_type",
                      answering("'altSecurityIdentities': dbus.Int32(7), "
                                "'userPrincipalName': dbus.Array(['carol@EXAMPLE.ORG'], signature='s')"),
                      "carol@EXAMPLE.ORG",
                      "ODRecord::valuesForAttribute error org.freedesktop.DBus.Error.InvalidSignature ("},
        DirectoryCase{"sixty_four_values", manyValues(64), "v0@EXAMPLE.ORG", "", 64},
        DirectoryCase{"sixty_five_values_keep_the_first_sixty_four", manyValues(65), "v0@EXAMPLE.ORG", "",
                      64},
        DirectoryCase{"ten_thousand_values_keep_the_first_sixty_four", manyValues(10000), "v0@EXAMPLE.ORG",
                      "", 64}),
    [](const auto& info) { return info.param.name; });

// A login name that cannot travel on the bus (not UTF-8) fails while the query is built.
TEST(DirectoryIdentityQuery, UnsendableLoginIsAQueryError) {
    fakes::PrivateBus bus;
    fakes::TemporaryFolder folder("kiv-directory");
    std::ofstream(folder.path() / "infopipe.py") << kInfoPipeTemplate;
    const std::string parameters = nlohmann::json{{"user", "x"}, {"code", kNotFound}}.dump();
    auto service = bus.start({"/usr/bin/python3", "-m", "dbusmock", "--session", "-t",
                              (folder.path() / "infopipe.py").string(), "-p", parameters});
    ASSERT_TRUE(bus.run({"/usr/bin/gdbus", "wait", "--address", bus.address(), "--timeout", "20",
                         platform::dbus::kInfoPipeBusName}));
    std::vector<std::string> logged;
    platform::LogCapture capture(
        [&](const platform::LogRecord& record) { logged.push_back(record.message); });
    EXPECT_FALSE(ComputerNameManager::infoPipeRecord(bus.address(), "caf\xe9"));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged.front().rfind("ODQuery::queryWithNode error ", 0), 0u) << logged.front();
}

TEST(DirectoryIdentityQuery, RecordsGiveTheirIdentity) {
    using Record = ComputerNameManager::DirectoryRecord;
    EXPECT_EQ(ComputerNameManager::identityFrom(Record{"Kerberos:a@B:extra", "u@B"}), "a@B");
    EXPECT_EQ(ComputerNameManager::identityFrom(Record{"Kerberos:", "u@B"}), std::nullopt);
    EXPECT_EQ(ComputerNameManager::identityFrom(Record{"plain", "u@B"}), std::nullopt);
    EXPECT_EQ(ComputerNameManager::identityFrom(Record{"", "u@B"}), "u@B");
    EXPECT_EQ(ComputerNameManager::identityFrom(Record{std::nullopt, ""}), std::nullopt);
    EXPECT_EQ(ComputerNameManager::identityFrom(Record{}), std::nullopt);
}

}  // namespace
}  // namespace kiv
