// The installer's root run writes the install key into the cookie parameter file of a shared,
// sticky folder where another user (nobody) planted a link to a file of its own first. The run
// must replace the link without writing through it, and the keys must stay unreadable to that user.
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/Process.hpp"

namespace {

namespace fs = std::filesystem;

std::string attackFileText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int runAsPlanter(const std::string& command) {
    const std::string line =
        "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c '" + command + "' >/dev/null 2>&1";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CookieFileAttack, RootRunReplacesAPlantedLinkAndKeepsTheKeysFromItsPlanter) {
    if (::geteuid() != 0) GTEST_SKIP() << "the installer's root run needs root";
    char pattern[] = "/tmp/kiv-cookie-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    const fs::path shared = root / "tmp";
    fs::create_directories(shared);
    fs::create_directories(root / "home");
    fs::create_directories(root / "root/var/lib/kiv");
    ASSERT_EQ(::chmod(root.c_str(), 0711), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);  // as /tmp is
    const fs::path cookie = shared / ".kivcookie";
    const fs::path bait = shared / "bait";
    ASSERT_EQ(
        runAsPlanter("echo mine > " + bait.string() + " && ln -s " + bait.string() + " " + cookie.string()),
        0);

    kiv::fakes::Process::Options options;
    options.inheritEnvironment = false;
    const std::vector<std::string> environment{
        "PATH=/usr/bin:/bin",
        "PWD=/root",
        "SUDO_COMMAND=/usr/bin/brannockcloud",
        "KIV_HOME=" + (root / "home").string(),
        "KIV_TMP_DIR=" + shared.string(),
        "KIV_DNSPROXY_PREFERENCES=" + (root / "preferences.json").string(),
        "KIV_ROOT=" + (root / "root").string(),
        "KIV_RUN_DIR=" + shared.string(),
        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (root / "no-system-bus").string(),
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (root / "no-session-bus").string(),
    };
    kiv::fakes::Process app({std::string(KIV_BINARY_DIR) + "/app/shell/brannockcloud",
                             "RPC_URL=https://127.0.0.1:1/base", "INSTALL_KEY=secret-key"},
                            environment, (root / "stderr.txt").string(), options);
    const auto status = app.wait(std::chrono::seconds(20));
    ASSERT_TRUE(status.has_value()) << "the application did not quit";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << attackFileText(root / "stderr.txt");

    EXPECT_EQ(attackFileText(bait), "mine\n");
    struct stat info {};
    ASSERT_EQ(::lstat(cookie.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 07777, ::getgrnam("kiv") ? 0640u : 0600u);
    EXPECT_NE(attackFileText(cookie).find("INSTALL_KEY=secret-key\n"), std::string::npos);
    EXPECT_NE(runAsPlanter("cat " + cookie.string()), 0) << "the planter read the keys";
    EXPECT_NE(runAsPlanter("rm -f " + cookie.string() + " && test ! -e " + cookie.string()), 0);
    fs::remove_all(root);
}

}  // namespace
