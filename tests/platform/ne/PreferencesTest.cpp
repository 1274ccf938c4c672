#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "RecordingProvider.hpp"
#include "fakes/ne/IoRunner.hpp"
#include "platform/Clock.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"
#include "platform/ne/PreferencesController.hpp"

namespace {

using platform::ne::DNSProxyPreferences;
using platform::ne::NEProviderStopReason;
using platform::ne::PreferencesLoad;
namespace fs = std::filesystem;

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "kiv-ne-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempFolder() { fs::remove_all(path); }
    fs::path path;
};

DNSProxyPreferences enabledWith(nlohmann::json vendorData, bool enabled = true) {
    DNSProxyPreferences preferences;
    preferences.localizedDescription = "KIV DNS Proxy ";
    preferences.enabled = enabled;
    preferences.providerBundleIdentifier = "com.kiv.veltrax.KIVDNSProxy";
    preferences.enforceRoutes = true;
    preferences.providerConfiguration = std::move(vendorData);
    return preferences;
}

TEST(DNSProxyPreferences, SaveThenLoadGivesTheSameValues) {
    TempFolder folder;
    const auto file = (folder.path / "preferences.json").string();
    auto preferences = enabledWith({{"uuid", "u"}, {"resolvers", {"127.0.0.1"}}});
    preferences.serverAddress = "127.0.0.1";
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(file, preferences), "");
    const auto load = platform::ne::loadDNSProxyPreferences(file);
    ASSERT_EQ(load.status, PreferencesLoad::Status::loaded);
    EXPECT_EQ(load.preferences.toJSON(), preferences.toJSON());
    EXPECT_EQ(load.preferences.toJSON()["providerProtocol"]["providerConfiguration"]["uuid"], "u");
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 1);
    ASSERT_EQ(platform::ne::removeDNSProxyPreferences(file), "");
    EXPECT_EQ(platform::ne::removeDNSProxyPreferences(file), "");
    EXPECT_EQ(platform::ne::loadDNSProxyPreferences(file).status, PreferencesLoad::Status::missing);
}

TEST(DNSProxyPreferences, RefusesWhatIsNotAPreferencesFile) {
    TempFolder folder;
    const auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(folder.path / name) << text;
        return (folder.path / name).string();
    };
    struct Case {
        std::string path;
        PreferencesLoad::Status status;
    };
    const auto target = write("real.json", R"({"enabled": true})");
    fs::create_symlink(target, folder.path / "link.json");
    fs::create_directory(folder.path / "folder.json");
    const Case cases[] = {
        {write("garbage.json", "{not json"), PreferencesLoad::Status::unreadable},
        {write("array.json", "[1, 2]"), PreferencesLoad::Status::unreadable},
        {write("big.json", "{\"x\": \"" + std::string(2 << 20, 'a') + "\"}"),
         PreferencesLoad::Status::unreadable},
        // Nesting this deep cannot be copied without running out of stack.
        {write("deep.json", R"({"enabled": true, "providerProtocol": {"providerConfiguration": {"x": )" +
                                std::string(200000, '[') + std::string(200000, ']') + "}}}"),
         PreferencesLoad::Status::unreadable},
        {(folder.path / "link.json").string(), PreferencesLoad::Status::unreadable},
        {(folder.path / "folder.json").string(), PreferencesLoad::Status::unreadable},
        {(folder.path / "absent.json").string(), PreferencesLoad::Status::missing},
        {target, PreferencesLoad::Status::loaded},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::ne::loadDNSProxyPreferences(c.path).status, c.status) << c.path;
}

TEST(DNSProxyPreferences, MembersOfTheWrongTypeCountAsMissing) {
    const auto preferences = DNSProxyPreferences::fromJSON(nlohmann::json::parse(R"({
        "enabled": "yes", "localizedDescription": 5,
        "providerProtocol": {"providerConfiguration": [1], "serverAddress": 7, "enforceRoutes": true}})"));
    EXPECT_FALSE(preferences.enabled);
    EXPECT_EQ(preferences.localizedDescription, "");
    EXPECT_FALSE(preferences.providerConfiguration);
    EXPECT_FALSE(preferences.serverAddress);
    EXPECT_TRUE(preferences.enforceRoutes);
}

class PreferencesControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ne::ProviderHostSettings settings;
        settings.listenAddresses = {"127.0.0.1"};
        settings.port = 0;
        host = std::make_unique<platform::ne::ProviderHost>(io, provider, settings);
        file = (folder.path / "preferences.json").string();
        controller = std::make_unique<platform::ne::PreferencesController>(io, *host, file);
    }
    void TearDown() override { controller.reset(); }

    bool starts(std::size_t n) {
        return fakes::runUntil(io, [&] { return provider->startCount() == n; });
    }
    bool stops(std::size_t n) {
        return fakes::runUntil(io, [&] { return provider->stopCount() == n; });
    }

    asio::io_context io;
    TempFolder folder;
    std::string file;
    std::shared_ptr<testing_ne::RecordingProvider> provider =
        std::make_shared<testing_ne::RecordingProvider>();
    std::unique_ptr<platform::ne::ProviderHost> host;
    std::unique_ptr<platform::ne::PreferencesController> controller;
};

TEST_F(PreferencesControllerTest, FollowsEnableDisableChangeAndRemove) {
    controller->start();  // no file yet: nothing happens
    const nlohmann::json first = {{"uuid", "a"}};
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(file, enabledWith(first)), "");
    ASSERT_TRUE(starts(1));
    EXPECT_EQ((*provider->starts[0])["VendorData"], first);
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->proxyRunning(); }));

    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(file, enabledWith(first, false)), "");
    ASSERT_TRUE(stops(1));
    EXPECT_EQ(provider->stops[0], NEProviderStopReason::configurationDisabled);

    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(file, enabledWith(first)), "");
    ASSERT_TRUE(starts(2));

    const nlohmann::json second = {{"uuid", "b"}};
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(file, enabledWith(second)), "");
    ASSERT_TRUE(stops(2));
    ASSERT_TRUE(starts(3));
    EXPECT_EQ(provider->stops[1], NEProviderStopReason::superceded);
    EXPECT_EQ((*provider->starts[2])["VendorData"], second);

    ASSERT_EQ(platform::ne::removeDNSProxyPreferences(file), "");
    ASSERT_TRUE(stops(3));
    EXPECT_EQ(provider->stops[2], NEProviderStopReason::configurationRemoved);
    EXPECT_EQ(provider->startCount(), 3u);
}

TEST_F(PreferencesControllerTest, StartsFromAFileThatIsAlreadyThereAndIgnoresAnUnreadableOne) {
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(file, enabledWith({{"uuid", "a"}})), "");
    controller->start();
    ASSERT_TRUE(starts(1));
    std::ofstream(folder.path / "preferences.json.tmp") << "{broken";
    fs::rename(folder.path / "preferences.json.tmp", file);
    controller->refresh();
    fakes::runUntil(
        io, [] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(provider->stopCount(), 0u);
    EXPECT_TRUE(host->proxyRunning());
}

// A fresh install has no folder yet: the controller waits for it (the daemon's
// end-to-end test sees the proxy start when it arrives).
TEST_F(PreferencesControllerTest, AMissingFolderIsWaitedFor) {
    auto orphan = std::make_unique<platform::ne::PreferencesController>(io, *host, "/nonexistent-kiv/p.json");
    EXPECT_NO_THROW(orphan->start());
    EXPECT_FALSE(host->proxyRunning());
}

// The application's quit removes the preferences, often right after a disable:
// the interception the host keeps for a moment after the disable must go at once,
// without a second stop of the provider.
TEST_F(PreferencesControllerTest, ARemovalRightAfterADisableEndsTheGracePeriodAtOnce) {
    const auto clock = std::make_shared<platform::ManualClock>();  // the grace period never runs out here
    platform::setProcessClock(clock);
    controller->start();
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(file, enabledWith({{"uuid", "a"}})), "");
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->proxyRunning(); }));
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(file, enabledWith({{"uuid", "a"}}, false)), "");
    ASSERT_TRUE(stops(1));
    ASSERT_TRUE(fakes::runUntil(io, [&] { return !host->proxyRunning(); }));
    EXPECT_TRUE(host->holding());
    ASSERT_EQ(platform::ne::removeDNSProxyPreferences(file), "");
    EXPECT_TRUE(fakes::runUntil(io, [&] { return !host->holding(); }));
    EXPECT_EQ(provider->stopCount(), 1u);
    controller.reset();
    host.reset();
    platform::setProcessClock(nullptr);
}

}  // namespace
