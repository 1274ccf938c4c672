// The application's folders under the XDG data and cache folders.
#include <gtest/gtest.h>
#include <stdlib.h>

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

TEST_F(AppDirectoryTest, DataHomeIsApplicationSupport) {
    Env data("XDG_DATA_HOME", (root_ / "data").string());
    std::error_code error;
    EXPECT_EQ(appDirectory(error), root_ / "data" / "BrannockCloud");
    EXPECT_FALSE(error);
    EXPECT_TRUE(std::filesystem::is_directory(root_ / "data"));               // made when missing
    EXPECT_FALSE(std::filesystem::exists(root_ / "data" / "BrannockCloud"));  // left to its writers
}

TEST_F(AppDirectoryTest, RelativeOrEmptyDataHomeFallsBackToHome) {
    Env home("HOME", (root_ / "home").string());
    for (std::optional<std::string> value : {std::optional<std::string>("relative/path"),
                                             std::optional<std::string>(""), std::optional<std::string>()}) {
        Env data("XDG_DATA_HOME", value);
        std::error_code error;
        EXPECT_EQ(appDirectory(error), root_ / "home" / ".local" / "share" / "BrannockCloud");
        EXPECT_FALSE(error);
    }
    EXPECT_TRUE(std::filesystem::is_directory(root_ / "home" / ".local" / "share"));
}

TEST_F(AppDirectoryTest, FolderThatCannotBeMadeIsAnError) {
    { std::ofstream(root_ / "file") << "x"; }
    for (const auto& blocked : {root_ / "file", root_ / "file" / "sub"}) {
        Env data("XDG_DATA_HOME", blocked.string());
        std::error_code error;
        EXPECT_TRUE(appDirectory(error).empty());
        EXPECT_TRUE(error) << blocked;
        EXPECT_TRUE(applicationSupportDirectory(error).empty());
        EXPECT_TRUE(error);
    }
}

TEST_F(AppDirectoryTest, CachesFollowTheCacheHomeAndAreNotMade) {
    {
        Env caches("XDG_CACHE_HOME", (root_ / "cache").string());
        std::error_code error;
        EXPECT_EQ(cachesDirectory(error), root_ / "cache");
        EXPECT_FALSE(std::filesystem::exists(root_ / "cache"));
    }
    Env caches("XDG_CACHE_HOME", std::nullopt);
    Env home("HOME", (root_ / "h").string());
    std::error_code error;
    EXPECT_EQ(cachesDirectory(error), root_ / "h" / ".cache");
}

TEST_F(AppDirectoryTest, WithoutHomeTheAccountDatabaseAnswers) {
    Env caches("XDG_CACHE_HOME", std::nullopt);
    Env home("HOME", std::nullopt);
    std::error_code error;
    const auto folder = cachesDirectory(error);  // read only; nothing is created
    if (error) GTEST_SKIP() << "no account entry for this user";
    EXPECT_TRUE(folder.is_absolute());
    EXPECT_EQ(folder.filename(), ".cache");
}

}  // namespace
}  // namespace kiv
