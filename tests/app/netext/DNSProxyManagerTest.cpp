// The DNS-proxy manager's own rules on the preferences file: what a load of no file gives,
// which configurations a save refuses and with which error, a file changed behind its back,
// the file's mode, and the round trip through the daemon's reader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "ExtensionTestSupport.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"
#include "platform/neconfig/NEDNSProxyManager.hpp"

namespace kiv {
namespace {

using namespace netexttest;
using platform::NEDNSProxyManager;

class DNSProxyManagerTest : public ExtensionEnvironment {
protected:
    std::optional<platform::ErrorObject> run(
        void (NEDNSProxyManager::*operation)(NEDNSProxyManager::Completion)) {
        bool done = false;
        std::optional<platform::ErrorObject> result;
        ((*manager_).*operation)([&](std::optional<platform::ErrorObject> error) {
            done = true;
            result = std::move(error);
        });
        EXPECT_TRUE(turnUntil([&] { return done; }));
        return result;
    }
    std::optional<platform::ErrorObject> load() { return run(&NEDNSProxyManager::loadFromPreferences); }
    std::optional<platform::ErrorObject> save() { return run(&NEDNSProxyManager::saveToPreferences); }
    std::optional<platform::ErrorObject> remove() { return run(&NEDNSProxyManager::removeFromPreferences); }

    void fill(bool enabled) {
        platform::NEDNSProxyProviderProtocol protocol;
        protocol.providerBundleIdentifier = "com.kiv.veltrax.KIVDNSProxy";
        protocol.serverAddress = "192.0.2.53";
        protocol.providerConfiguration = nlohmann::json{{"uuid", "u-1"}, {"resolvers", {"192.0.2.53"}}};
        protocol.enforceRoutes = true;
        manager_->setProviderProtocol(protocol);
        manager_->setEnabled(enabled);
        manager_->setLocalizedDescription("KIV DNS Proxy ");
    }

    std::shared_ptr<NEDNSProxyManager> manager_ = NEDNSProxyManager::make(preferencesPath().string());
};

TEST_F(DNSProxyManagerTest, NoFileLoadsEmptyAndSaveRoundTrips) {
    EXPECT_EQ(load(), std::nullopt);
    EXPECT_FALSE(manager_->isEnabled());
    EXPECT_FALSE(manager_->providerProtocol());
    fill(true);
    const auto written = manager_->providerProtocol();
    ASSERT_EQ(save(), std::nullopt);
    struct stat info {};
    ASSERT_EQ(::stat(preferencesPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    auto other = NEDNSProxyManager::make(preferencesPath().string());
    manager_ = other;
    EXPECT_EQ(load(), std::nullopt);
    EXPECT_TRUE(other->isEnabled());
    EXPECT_EQ(other->providerProtocol(), written);
    EXPECT_EQ(other->localizedDescription(), "KIV DNS Proxy ");
    EXPECT_TRUE(platform::ne::loadDNSProxyPreferences(preferencesPath()).preferences.enabled);

    EXPECT_EQ(remove(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(preferencesPath()));
    EXPECT_FALSE(other->providerProtocol());
    EXPECT_EQ(remove(), std::nullopt) << "no file counts as removed";
}

struct RefusalCase {
    const char* name;
    std::function<void(NEDNSProxyManager&)> change;
    std::string domain;
    std::int64_t code;
};

class SaveRefusalTest : public DNSProxyManagerTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SaveRefusalTest, RefusedWithThePlatformsError) {
    const auto& c = GetParam();
    fill(true);
    c.change(*manager_);
    const auto error = save();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, c.domain);
    EXPECT_EQ(error->code, c.code);
    EXPECT_FALSE(error->localizedDescription().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, SaveRefusalTest,
    ::testing::Values(RefusalCase{"NoProtocol",
                                  [](NEDNSProxyManager& m) { m.setProviderProtocol(std::nullopt); },
                                  "NEDNSProxyErrorDomain", 1},
                      RefusalCase{"NoProviderIdentifier",
                                  [](NEDNSProxyManager& m) {
                                      auto p = *m.providerProtocol();
                                      p.providerBundleIdentifier.clear();
                                      m.setProviderProtocol(p);
                                  },
                                  "NEDNSProxyErrorDomain", 1},
                      RefusalCase{"ConfigurationNotADictionary",
                                  [](NEDNSProxyManager& m) {
                                      auto p = *m.providerProtocol();
                                      p.providerConfiguration = nlohmann::json::array({1, 2});
                                      m.setProviderProtocol(p);
                                  },
                                  "NEDNSProxyErrorDomain", 1},
                      RefusalCase{"InjectedFault",
                                  [](NEDNSProxyManager& m) {
                                      m.failNext(
                                          NEDNSProxyManager::Operation::save,
                                          platform::makeNEDNSProxyError(
                                              platform::NEDNSProxyManagerError::configurationDisabled));
                                  },
                                  "NEDNSProxyErrorDomain", 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DNSProxyManagerTest, FileChangedByAnotherWriterIsStale) {
    fill(true);
    ASSERT_EQ(load(), std::nullopt);
    fill(true);
    ASSERT_EQ(save(), std::nullopt);
    // Someone else saves in between.
    auto other = NEDNSProxyManager::make(preferencesPath().string());
    std::swap(manager_, other);
    ASSERT_EQ(load(), std::nullopt);
    fill(false);
    manager_->setLocalizedDescription("someone else");
    ASSERT_EQ(save(), std::nullopt);
    std::swap(manager_, other);
    const auto error = save();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 3);
    EXPECT_EQ(platform::ne::loadDNSProxyPreferences(preferencesPath()).preferences.localizedDescription,
              "someone else");
    // Loaded again, the save goes through.
    ASSERT_EQ(load(), std::nullopt);
    fill(true);
    EXPECT_EQ(save(), std::nullopt);
}

TEST_F(DNSProxyManagerTest, MissingFolderAndUnreadableFileAreErrors) {
    manager_ = NEDNSProxyManager::make((folder_.path() / "absent" / "preferences.json").string());
    fill(true);
    auto error = save();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(error->code, ENOENT);

    manager_ = NEDNSProxyManager::make(preferencesPath().string());
    std::ofstream(preferencesPath()) << "{ not json";
    fill(true);
    error = load();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "NEDNSProxyErrorDomain");
    EXPECT_EQ(error->code, 1);
    EXPECT_TRUE(manager_->isEnabled()) << "a failed load leaves memory alone";
}

}  // namespace
}  // namespace kiv
