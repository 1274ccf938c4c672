// The configuration writer: the cookie parameter file's lines and mode, atomic replacement that
// never follows a planted symbolic link, a failed write that keeps the earlier file, and
// config.json written, logged and read back.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <optional>

#include "app/core/ConfigFileWriter.hpp"
#include "app/core/CoreTestSupport.hpp"
#include "app/core/Utils.hpp"
#include "app/support/AppDirectory.hpp"

namespace kiv {
namespace {

using testing::CoreTest;
using testing::readText;
using testing::ScopedEnvironment;
using testing::writeText;

mode_t modeOf(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

std::vector<std::string> namesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ConfigFileWriterLinesTest, OneLinePerValueUnchanged) {
    EXPECT_EQ(ConfigFileWriter::parameterLines({}), "");
    EXPECT_EQ(ConfigFileWriter::parameterLines({{"RPC_URL", "x"}, {"INSTALL_KEY", "y"}}),
              "INSTALL_KEY=y\nRPC_URL=x\n");
    EXPECT_EQ(ConfigFileWriter::parameterLines({{"A", "b=c\nd"}}), "A=b=c\nd\n");
}

TEST(ConfigFileWriterLinesTest, ParameterFoldersFollowKivTmpDir) {
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, "/tmp"}, {"/var/tmp/kiv", "/var/tmp/kiv"}, {"relative/dir", "/tmp"}, {"", "/tmp"}};
    for (const auto& [value, expected] : cases) {
        ScopedEnvironment tmp("KIV_TMP_DIR", value);
        EXPECT_EQ(ConfigFileWriter::defaultParameterFolders(), std::vector<std::filesystem::path>{expected});
    }
}

TEST_F(CoreTest, ParameterFileReplacesAPlantedLinkAndIsReadableByNoOtherUser) {
    const auto cookie = cookieFolder() / ".kivcookie";
    writeText(folder_.path() / "victim", "keep");
    auto writer = makeWriter();
    writer->setParameterFileGroup("no-such-group-kiv");

    ::testing::internal::CaptureStdout();
    writer->writeParameterFile({{"RPC_URL", "x"}});  // no file yet: the removal fails and says so
    EXPECT_EQ(
        ::testing::internal::GetCapturedStdout(),
        "failed to delete item at path " + cookieFolder().string() + " with No such file or directory\n");

    std::filesystem::remove(cookie);
    std::filesystem::create_symlink(folder_.path() / "victim", cookie);
    writer->writeParameterFile({{"RPC_URL", "x"}, {"INSTALL_KEY", "y"}});
    EXPECT_EQ(pauses_, 2);
    EXPECT_EQ(readText(folder_.path() / "victim"), "keep");
    EXPECT_TRUE(S_ISREG(modeOf(cookie)));
    EXPECT_EQ(modeOf(cookie) & 07777, 0600u);
    EXPECT_EQ(readText(cookie), "INSTALL_KEY=y\nRPC_URL=x\n");
    EXPECT_EQ(namesIn(cookieFolder()), std::vector<std::string>{".kivcookie"});
}

// Who may read the cookie file written as root: the group's members where the group exists
// ("daemon" stands in for "kiv"), else the user sudo names, else root alone.
struct CookieAccessCase {
    std::string name;
    std::string group;
    std::optional<std::string> sudoUID;
    std::optional<std::string> sudoGID;
    uid_t uid;
    gid_t gid;
    mode_t mode;
};

class CookieAccessTest : public CoreTest, public ::testing::WithParamInterface<CookieAccessCase> {};

TEST_P(CookieAccessTest, OwnerAndModeFollowTheGroupAndTheInvokingUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "the cookie file's owner is chosen by a root run";
    const CookieAccessCase& c = GetParam();
    ScopedEnvironment uid("SUDO_UID", c.sudoUID);
    ScopedEnvironment gid("SUDO_GID", c.sudoGID);
    const ConfigFileWriter::ParameterFileAccess expected{c.uid, c.gid, c.mode};
    EXPECT_EQ(ConfigFileWriter::parameterFileAccess(c.group), expected);

    auto writer = makeWriter();
    writer->setParameterFileGroup(c.group);
    ::testing::internal::CaptureStdout();
    writer->writeParameterFile({{"INSTALL_KEY", "secret"}});
    ::testing::internal::GetCapturedStdout();
    struct stat st {};
    ASSERT_EQ(::lstat((cookieFolder() / ".kivcookie").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, c.uid);
    EXPECT_EQ(st.st_gid, c.gid);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
}

INSTANTIATE_TEST_SUITE_P(
    Owners, CookieAccessTest,
    ::testing::Values(
        CookieAccessCase{"group_exists", "daemon", "65534", "65534", 0, 1, 0640},
        CookieAccessCase{"sudo_user", "no-such-group-kiv", "65534", "65534", 65534, 65534, 0600},
        CookieAccessCase{"sudo_user_without_group", "no-such-group-kiv", "65534", std::nullopt, 65534, 0,
                         0600},
        CookieAccessCase{"no_sudo", "no-such-group-kiv", std::nullopt, std::nullopt, 0, 0, 0600},
        CookieAccessCase{"malformed_sudo_uid", "no-such-group-kiv", "65534x", "1", 0, 0, 0600},
        CookieAccessCase{"sudo_uid_out_of_range", "no-such-group-kiv", "99999999999", "1", 0, 0, 0600}),
    [](const auto& info) { return info.param.name; });

// Runs `command` as uid 65534 with the group `group` only; its exit status.
int runAsNobody(const std::string& group, const std::string& command) {
    const std::string line =
        "setpriv --reuid=65534 --regid=" + group + " --clear-groups sh -c '" + command + "' >/dev/null 2>&1";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another user plants what it can in the shared sticky folder before a root run writes the keys.
TEST_F(CoreTest, CookieFilePlantedByAnotherUserIsReplacedAndStaysUnreadableToThem) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(::chmod(folder_.path().c_str(), 0711), 0);
    ASSERT_EQ(::chmod(cookieFolder().c_str(), 01777), 0);
    const std::string cookie = (cookieFolder() / ".kivcookie").string();
    const std::string bait = (cookieFolder() / "bait").string();
    const std::string plants[] = {
        "echo mine > " + bait + " && ln -s " + bait + " " + cookie,  // a link to the attacker's file
        "echo mine > " + cookie + " && chmod 666 " + cookie,         // a file anyone may write
        "mkfifo " + cookie,                                          // a pipe that would block a reader
    };
    for (const auto& plant : plants) {
        SCOPED_TRACE(plant);
        std::filesystem::remove(cookie);
        std::filesystem::remove(bait);
        ASSERT_EQ(runAsNobody("nogroup", plant), 0);
        auto writer = makeWriter();
        writer->setParameterFileGroup("daemon");
        ::testing::internal::CaptureStdout();
        writer->writeParameterFile({{"INSTALL_KEY", "secret"}});
        ::testing::internal::GetCapturedStdout();

        struct stat st {};
        ASSERT_EQ(::lstat(cookie.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, 1u);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(readText(cookie), "INSTALL_KEY=secret\n");
        if (std::filesystem::exists(bait)) {
            EXPECT_EQ(readText(bait), "mine\n");
        }
        // The planter can neither read the keys nor take the file away; a member of the group reads it.
        EXPECT_NE(runAsNobody("nogroup", "cat " + cookie), 0);
        EXPECT_NE(runAsNobody("nogroup", "rm -f " + cookie + " && test ! -e " + cookie), 0);
        EXPECT_EQ(runAsNobody("daemon", "grep -q secret " + cookie), 0);
        EXPECT_EQ(namesIn(cookieFolder()).size(), std::filesystem::exists(bait) ? 2u : 1u);
    }
}

TEST_F(CoreTest, SaveNeverFollowsALinkAtTheTarget) {
    writeText(folder_.path() / "victim", "keep");
    std::filesystem::create_directories(appFolder());
    const auto target = appFolder() / "device.json";
    std::filesystem::create_symlink(folder_.path() / "victim", target);
    EXPECT_TRUE(makeWriter()->save("{}", target));
    EXPECT_EQ(readText(folder_.path() / "victim"), "keep");
    EXPECT_EQ(modeOf(target), S_IFREG | 0644u);
    EXPECT_EQ(readText(target), "{}");
    EXPECT_EQ(logger_->messages(),
              std::vector<std::string>{"saving config file to " + Utils::fileURLText(target)});
}

// A write that fails half way (the file-size limit stops it) leaves the earlier file whole and no
// temporary file behind. Run in a child so that the limit stays there.
TEST_F(CoreTest, FailedSaveKeepsTheEarlierFile) {
    const auto target = appFolder() / "config.json";
    writeText(target, "earlier");
    const std::string big(64 * 1024, 'x');
    std::fflush(stdout);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::testing::internal::CaptureStdout();
        const bool saved = makeWriter()->save(big, target);
        const std::string printed = ::testing::internal::GetCapturedStdout();
        _exit(!saved && printed.rfind("A write error occured ", 0) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(readText(target), "earlier");
    EXPECT_EQ(namesIn(appFolder()), std::vector<std::string>{"config.json"});
}

TEST_F(CoreTest, ConfigFileIsWrittenLoggedAndReadBack) {
    const std::string text = R"({"id":9,"jsonrpc":"2.0","result":{"device":"d","name":"n","type":"t"}})";
    auto answer = model::MainConfiguration::fromJSONString(text, model::TextEncoding::utf8);
    ASSERT_TRUE(answer);
    auto writer = makeWriter();
    writer->writeConfigFile(*answer, true);
    const auto path = appFolder() / "config.json";
    EXPECT_EQ(logger_->messages(),
              std::vector<std::string>{"saving config file to " + Utils::fileURLText(path)});
    writer->writeConfigFile(*answer, false);
    EXPECT_EQ(logger_->messages(),
              (std::vector<std::string>{"saving config file to " + Utils::fileURLText(path),
                                        "saving config file to " + Utils::fileURLText(path),
                                        "Configuration Succeeded:: Configration file", text}));
    EXPECT_EQ(modeOf(path) & 07777, 0644u);

    auto settings = makeSettings();
    settings->loadConfigFile();
    EXPECT_EQ(settings->configFile(), *answer);
}

TEST_F(CoreTest, DirectoryIsTheLoggersFolder) {
    std::error_code first, second;
    EXPECT_EQ(ConfigFileWriter::directory(first), appFolder());
    EXPECT_EQ(ConfigFileWriter::directory(first), appDirectory(second));
    EXPECT_FALSE(first || second);
    EXPECT_EQ(Utils::fileURLText("/a b/c%d?é"), "file:///a%20b/c%25d%3F%C3%A9");
}

}  // namespace
}  // namespace kiv
