// Application paths: the root-home mapping, the invoking user's home and account, the process's
// identity, and the readers of the stored device configuration and its test overrides.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/core/CoreTestSupport.hpp"
#include "app/core/Utils.hpp"

namespace kiv {
namespace {

using testing::CoreTest;
using testing::ScopedEnvironment;
using testing::writeText;

std::string rootHome() {
    const passwd* root = ::getpwuid(0);
    return root && root->pw_dir ? root->pw_dir : "/root";
}

// "~" in a case stands for root's home as the account database gives it.
std::string expand(const std::string& text) {
    return text.rfind('~', 0) == 0 ? rootHome() + text.substr(1) : text;
}

struct MapCase {
    std::optional<std::string> pwd;
    std::string path;
    std::string expected;
};

TEST(UtilsPathTest, RootHomeIsMappedOnlyAsALeadingWholePrefix) {
    const MapCase cases[] = {
        {"/home/alice/Downloads", "~/.local/share", "/home/alice/.local/share"},
        {"/home/alice", "~/.local/share", "/home/alice/.local/share"},
        {"/home/alice/Downloads/deep/er", "~", "/home/alice"},
        {"/home/alice/Downloads", "~beer/x", "~beer/x"},
        {"/home/alice/Downloads", "/x~/y", "/x~/y"},
        {"/home/alice/Downloads", "/private/var/root/x", "/private/var/root/x"},
        {"/home/alice/Downloads", "/home/bob/.local/share", "/home/bob/.local/share"},
        {std::nullopt, "~/.local/share", "~/.local/share"},
    };
    for (const MapCase& c : cases) {
        ScopedEnvironment pwd("PWD", c.pwd);
        EXPECT_EQ(Utils::mapRootHomeToUser(expand(c.path)).string(), expand(c.expected))
            << c.path << " with PWD " << c.pwd.value_or("(unset)");
    }
}

TEST(UtilsPathTest, UserHomeIsTheFirstThreeComponents) {
    const std::pair<std::string, std::string> cases[] = {
        {"/home/alice/Downloads", "/home/alice"},
        {"/home/alice/a/b/c", "/home/alice"},
        {"/home/alice", "/home/alice"},
        {"/home//alice//x/", "/home/alice"},
        {"/", "/"},
        {"", ""},
        {"home/alice/x/y", "home/alice/x/y"},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(userHomePath(path), expected) << path;
}

TEST(UtilsPathTest, EmptyOrNil) {
    const std::pair<std::optional<std::string>, bool> cases[] = {
        {std::nullopt, true}, {"", true}, {" ", false}, {std::string(1, '\0'), false}, {"a", false}};
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(isEmptyOrNil(text), expected) << text.value_or("nil");
}

// Root by effective uid, not by the home's name: a child that drops to another uid is not root.
TEST(UtilsPathTest, IsRootFollowsTheEffectiveUid) {
    EXPECT_EQ(Utils::isRoot(), ::geteuid() == 0);
    if (::geteuid() != 0) return;
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no account nobody";
    const uid_t uid = nobody->pw_uid;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(::setuid(uid) == 0 && !Utils::isRoot() ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(CoreTest, RunFromCommandLineListsTheEnvironment) {
    ScopedEnvironment mark("KIV_TEST_MARK", "a=b c");
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(Utils::isRunFromCommandLine());
    {
        ScopedEnvironment sudo("SUDO_COMMAND", "/usr/bin/kiv");
        EXPECT_TRUE(Utils::isRunFromCommandLine());
    }
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("key KIV_TEST_MARK value a=b c\n"), std::string::npos);
    EXPECT_NE(printed.find("key SUDO_COMMAND value /usr/bin/kiv\n"), std::string::npos);
}

// A run as root from a user's shell leaves the application folder to that user, and a symbolic
// link handed to the owner change is changed itself, never its target.
TEST_F(CoreTest, OwnerGoesToTheAccountNamedByPWD) {
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root and the account nobody";
    const uid_t uid = nobody->pw_uid;
    ScopedEnvironment pwd("PWD", "/home/nobody/Downloads");
    ::testing::internal::CaptureStdout();
    const auto config = Utils::configJSONPath();
    writeText(folder_.path() / "target", "x");
    std::filesystem::create_symlink(folder_.path() / "target", folder_.path() / "link");
    Utils::setOwnerToInvokingUser(folder_.path() / "link");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

    ASSERT_EQ(config, appFolder() / "config.json");
    struct stat st {};
    ASSERT_EQ(::stat(appFolder().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid);
    // The folders made on the way belong to the user too; the home itself was there already.
    ASSERT_EQ(::stat(appFolder().parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid);
    ASSERT_EQ(::lstat((folder_.path() / "link").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid);
    ASSERT_EQ(::stat((folder_.path() / "target").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(CoreTest, UnknownAccountPrintsTheReasonAndStillGivesThePath) {
    ScopedEnvironment pwd("PWD", "/home/no-such-kiv-user/x");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Utils::deviceJSONPath(), appFolder() / "device.json");
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("no-such-kiv-user"), std::string::npos) << printed;
}

TEST_F(CoreTest, FolderThatCannotBeMadeGivesNothing) {
    writeText(home() / ".local/share/BrannockCloud", "a file where the folder goes");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Utils::configJSONPath(), std::nullopt);
    EXPECT_EQ(::testing::internal::GetCapturedStdout().rfind("failed to create directory at ", 0), 0u);
}

TEST_F(CoreTest, InstallerParameterFileIsAppliedOrReportedMissing) {
    auto settings = makeSettings();
    ::testing::internal::CaptureStdout();
    Utils::getValuesFromInstaller(*settings);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Log file doesnt exist at ~Library/Caches/config.json. Recreating\n");

    writeText(home() / ".cache/com.veltrix.kivConfig", "RPC_URL=https://kiv.example\nINSTALL_KEY=k\n");
    ::testing::internal::CaptureStdout();
    Utils::getValuesFromInstaller(*settings);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(settings->getString(XNCServerInfoSection::rpcURL), "https://kiv.example");
    EXPECT_EQ(settings->getString(XNCServerInfoSection::installKey), "k");
    EXPECT_EQ(Utils::installerConfigFilePath(), home() / ".cache/config.json");
}

constexpr const char* kStored =
    R"({"id":1,"jsonrpc":"2.0","result":{"cfg":{"persistent":{"key":"stored"}}}})";
constexpr const char* kNoResult = R"({"id":1,"jsonrpc":"2.0"})";
constexpr const char* kTestCfg = R"({"persistent":{"key":"override"}})";
constexpr const char* kPrintedBadDevice =
    "device config doesnt exist at ~Library/Caches/config.json. Recreating\n";

struct OverrideCase {
    const char* name;
    const char* deviceJSON;          // nullptr: no device.json
    const char* testConfig;          // nullptr: no TEST_DEVICE_CONFIG
    bool present;                    // a configuration comes back
    std::optional<std::string> key;  // its result.cfg.persistent.key; nothing: no result
    std::string printed;
};
void PrintTo(const OverrideCase& c, std::ostream* out) { *out << c.name; }

class DeviceConfigurationTest : public CoreTest, public ::testing::WithParamInterface<OverrideCase> {};

TEST_P(DeviceConfigurationTest, StoredConfigurationWithTheTestOverride) {
    const OverrideCase& c = GetParam();
    if (c.deviceJSON) writeText(appFolder() / "device.json", c.deviceJSON);
    auto settings = makeSettings();
    if (c.testConfig) settings->set(c.testConfig, XNCServerInfoSection::testDeviceInputConfig);
    ::testing::internal::CaptureStdout();
    const auto configuration = Utils::deviceConfigurationWithTestConfig(*settings);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    ASSERT_EQ(configuration.has_value(), c.present);
    if (!configuration) return;
    ASSERT_EQ(configuration->result.has_value(), c.key.has_value());
    if (c.key) {
        EXPECT_EQ(configuration->result->cfg->persistent->key, *c.key);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceConfigurationTest,
    ::testing::Values(
        OverrideCase{"noFileIsSilent", nullptr, nullptr, false, std::nullopt, ""},
        OverrideCase{"badFilePrintsOnce", "{\"id\":\"x\"}", nullptr, false, std::nullopt, kPrintedBadDevice},
        OverrideCase{"storedAsIs", kStored, nullptr, true, "stored", ""},
        OverrideCase{"overrideReplacesCfg", kStored, kTestCfg, true, "override", ""},
        OverrideCase{"overrideWithoutStoredIsDropped", nullptr, kTestCfg, false, std::nullopt, ""},
        OverrideCase{"overrideWithoutResultIsDropped", kNoResult, kTestCfg, true, std::nullopt, ""},
        OverrideCase{"invalidOverrideIsSilent", kStored, "{\"persistent\":", true, "stored", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CoreTest, TestDeviceConfigFile) {
    auto settings = makeSettings();
    EXPECT_EQ(Utils::readTestDeviceConfigFile(*settings), std::nullopt);  // no setting

    const auto path = folder_.path() / "test-device.json";
    settings->set(path.string(), XNCServerInfoSection::testDeviceConfigPath);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Utils::readTestDeviceConfigFile(*settings), std::nullopt);  // no file: silent
    writeText(path, "[]");
    EXPECT_EQ(Utils::readTestDeviceConfigFile(*settings), std::nullopt);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Failed to read JSON config for device config\n");

    writeText(path, kStored);
    const auto read = Utils::readTestDeviceConfigFile(*settings);
    ASSERT_TRUE(read && read->result && read->result->cfg);
    EXPECT_EQ(read->result->cfg->persistent->key, "stored");
}

}  // namespace
}  // namespace kiv
