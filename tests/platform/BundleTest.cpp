#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "platform/Bundle.hpp"
#include "platform/xpc/TestSupport.hpp"

namespace platform {
namespace {

class BundleTest : public ::testing::Test {
protected:
    void write(const std::string& text) { std::ofstream(dir.path() / "Info.plist") << text; }
    void TearDown() override { ::unsetenv(kMainBundleEnv); }
    xpctest::TempRunDir dir;
};

TEST_F(BundleTest, ReadsInfoDictionary) {
    write(R"({"CFBundleIdentifier":"com.kiv.veltrax.KIVDNSProxy","CFBundleDisplayName":"KIVDNSProxy",
              "NetworkExtension":{"NEMachServiceName":"svc"}})");
    const auto bundle = Bundle::atPath(dir.path());
    ASSERT_TRUE(bundle.has_value());
    EXPECT_EQ(bundle->bundleIdentifier(), "com.kiv.veltrax.KIVDNSProxy");
    EXPECT_EQ(bundle->displayName(), "KIVDNSProxy");
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("NetworkExtension")->at("NEMachServiceName"), "svc");
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("missing"), nullptr);
}

TEST_F(BundleTest, UnusableInfoPlistGivesAnEmptyDictionary) {
    for (const char* text : {"", "not json", "[1]", R"({"CFBundleDisplayName": 5})"}) {
        write(text);
        const auto bundle = Bundle::atPath(dir.path());
        ASSERT_TRUE(bundle.has_value());
        EXPECT_TRUE(bundle->infoDictionary().is_object()) << text;
        EXPECT_EQ(bundle->displayName(), std::nullopt) << text;
    }
    std::filesystem::remove(dir.path() / "Info.plist");
    EXPECT_TRUE(Bundle::atPath(dir.path())->infoDictionary().empty());
}

TEST_F(BundleTest, MissingFolderIsNoBundle) { EXPECT_FALSE(Bundle::atPath(dir.path() / "nope").has_value()); }

TEST_F(BundleTest, MainBundleFollowsTheEnvironment) {
    write(R"({"CFBundleDisplayName":"first"})");
    ::setenv(kMainBundleEnv, dir.path().c_str(), 1);
    EXPECT_EQ(Bundle::main().displayName(), "first");
    EXPECT_EQ(Bundle::main().bundlePath(), dir.path());
    ::unsetenv(kMainBundleEnv);
    EXPECT_NE(Bundle::main().bundlePath(), dir.path());
}

}  // namespace
}  // namespace platform
