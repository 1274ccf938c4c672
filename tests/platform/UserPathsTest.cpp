// The user's folders: KIV_HOME when absolute, else the account database, never $HOME.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "platform/UserPaths.hpp"
#include "tests/platform/PlatformTestSupport.hpp"

namespace platform {
namespace {

namespace fs = std::filesystem;

TEST(UserPaths, HomeIsAnAbsoluteKIVHomeElseTheAccountsHome) {
    const passwd* account = ::getpwuid(::getuid());
    ASSERT_NE(account, nullptr);
    const fs::path accountHome = account->pw_dir;
    testing::TemporaryFolder folder;
    testing::ScopedEnvironment shellHome("HOME", (folder.path() / "shell").string());
    testing::ScopedEnvironment data("XDG_DATA_HOME", (folder.path() / "data").string());
    struct Case {
        std::optional<std::string> kivHome;
        fs::path home;
    };
    const Case cases[] = {
        {folder.path().string(), folder.path()},
        {"relative/home", accountHome},
        {"", accountHome},
        {std::nullopt, accountHome},
    };
    for (const auto& c : cases) {
        testing::ScopedEnvironment kivHome(kHomeOverrideVariable, c.kivHome);
        const auto label = c.kivHome.value_or("(unset)");
        EXPECT_EQ(userHomeDirectory(), c.home) << label;
        EXPECT_EQ(applicationSupportDirectory(), c.home / ".local/share") << label;
        EXPECT_EQ(cachesDirectory(), c.home / ".cache") << label;
        EXPECT_EQ(preferencesDirectory(), c.home / ".config/kiv") << label;
    }
    EXPECT_TRUE(fs::is_empty(folder.path()));  // nothing is made
}

}  // namespace
}  // namespace platform
