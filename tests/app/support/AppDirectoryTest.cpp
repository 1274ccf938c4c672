// The application's folders under the home that platform/UserPaths names ($KIV_HOME here).
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include "app/support/AppDirectory.hpp"

namespace kiv {
namespace {

class Env {
public:
    Env(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = ::getenv(name)) previous_ = old;
        value ? (void)::setenv(name, value->c_str(), 1) : (void)::unsetenv(name);
    }
    ~Env() { previous_ ? (void)::setenv(name_, previous_->c_str(), 1) : (void)::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

class AppDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "kiv-appdir-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    std::filesystem::path root_;
};

TEST_F(AppDirectoryTest, ApplicationSupportIsUnderTheHomeWhateverXDGSays) {
    Env home("KIV_HOME", (root_ / "home").string());
    Env data("XDG_DATA_HOME", (root_ / "data").string());
    Env shellHome("HOME", (root_ / "other").string());
    std::error_code error;
    EXPECT_EQ(appDirectory(error), root_ / "home" / ".local" / "share" / "BrannockCloud");
    EXPECT_FALSE(error);
    EXPECT_TRUE(std::filesystem::is_directory(root_ / "home" / ".local" / "share"));  // made when missing
    EXPECT_FALSE(std::filesystem::exists(root_ / "home" / ".local" / "share" / "BrannockCloud"));
    EXPECT_FALSE(std::filesystem::exists(root_ / "data"));
    EXPECT_FALSE(std::filesystem::exists(root_ / "other"));
}

TEST_F(AppDirectoryTest, FolderThatCannotBeMadeIsAnError) {
    { std::ofstream(root_ / "file") << "x"; }
    std::filesystem::create_directories(root_ / "h");
    { std::ofstream(root_ / "h" / ".local") << "x"; }
    for (const auto& blocked : {root_ / "file", root_ / "h"}) {
        Env home("KIV_HOME", blocked.string());
        std::error_code error;
        EXPECT_TRUE(appDirectory(error).empty());
        EXPECT_TRUE(error) << blocked;
        EXPECT_TRUE(applicationSupportDirectory(error).empty());
        EXPECT_TRUE(error);
    }
}

TEST_F(AppDirectoryTest, CachesAreUnderTheHomeAndAreNotMade) {
    Env home("KIV_HOME", root_.string());
    Env caches("XDG_CACHE_HOME", (root_ / "cache").string());
    std::error_code error;
    EXPECT_EQ(cachesDirectory(error), root_ / ".cache");
    EXPECT_FALSE(error);
    EXPECT_FALSE(std::filesystem::exists(root_ / ".cache"));
}

TEST_F(AppDirectoryTest, WithoutAnAbsoluteKIVHomeTheAccountDatabaseAnswers) {
    const passwd* entry = ::getpwuid(::getuid());
    if (entry == nullptr || entry->pw_dir == nullptr) GTEST_SKIP() << "no account entry for this user";
    Env shellHome("HOME", (root_ / "h").string());
    for (std::optional<std::string> value : {std::optional<std::string>("relative/path"),
                                             std::optional<std::string>(""), std::optional<std::string>()}) {
        Env home("KIV_HOME", value);
        std::error_code error;
        EXPECT_EQ(cachesDirectory(error), std::filesystem::path(entry->pw_dir) / ".cache");  // read only
        EXPECT_FALSE(error);
    }
}

}  // namespace
}  // namespace kiv
