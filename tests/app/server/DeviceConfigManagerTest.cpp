// Registration, fetch and storage of the device configuration: against the development device
// server end to end, and reply by reply for the cases a real server rarely produces.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/core/Utils.hpp"
#include "app/server/DeviceConfigManager.hpp"
#include "app/server/InstallerHelper.hpp"
#include "app/server/ServerTestSupport.hpp"
#include "fakes/LoopbackHTTPServer.hpp"

namespace kiv::testing {
namespace {

using K = XNCServerInfoSection;

class ManagerTest : public ServerTest {
protected:
    std::filesystem::path installerParameterFile() const { return home() / ".cache/com.veltrix.kivConfig"; }
    std::filesystem::path deviceFile() const { return appFolder() / "device.json"; }
    std::filesystem::path configFile() const { return appFolder() / "config.json"; }

    // Events of `name` posted to this test's centre, with the configuration they carried.
    std::shared_ptr<std::vector<std::any>> observe(const std::string& name) {
        auto seen = std::make_shared<std::vector<std::any>>();
        observations_.push_back(center_.addObserver(
            name, nullptr, [seen](const platform::Notification& n) { seen->push_back(n.object); }));
        return seen;
    }

    std::vector<platform::Observation> observations_;
};

model::DeviceConfiguration configurationWithError(const std::string& message) {
    model::DeviceConfiguration configuration;
    configuration.jsonrpc = "2.0";
    configuration.error = model::DeviceError{-32000, std::nullopt, message};
    return configuration;
}

struct UnauthorizedCase {
    std::string message;
    bool reapplied;
};

class UnauthorizedTest : public ManagerTest, public ::testing::WithParamInterface<UnauthorizedCase> {};

TEST_P(UnauthorizedTest, OnlyTheExactWordReappliesTheInstallerFile) {
    CapturedOutput output;
    writeText(installerParameterFile(), "INSTALL_KEY=fresh-key\nLOCATION_NAME=Lab\n");
    set(K::installKey, "old-key");
    const auto refreshed = observe("deviceConfigRefreshed");
    const auto manager = makeManager(makeAPI());
    const auto configuration = configurationWithError(GetParam().message);
    manager->handleConfigurationReply(configuration, std::nullopt, configuration.error);
    drainMainQueue();
    EXPECT_EQ(stored(K::installKey), GetParam().reapplied ? "fresh-key" : "old-key");
    EXPECT_EQ(stored(K::locationName).has_value(), GetParam().reapplied);
    EXPECT_FALSE(std::filesystem::exists(deviceFile()));
    EXPECT_TRUE(refreshed->empty());
}

INSTANTIATE_TEST_SUITE_P(Replies, UnauthorizedTest,
                         ::testing::Values(UnauthorizedCase{"Unauthorized", true},
                                           UnauthorizedCase{"unauthorized", false},
                                           UnauthorizedCase{"Unauthorized ", false},
                                           UnauthorizedCase{"Forbidden", false}));

TEST_F(ManagerTest, AConfigurationIsStoredAndAnnounced) {
    CapturedOutput output;
    set(K::userID, "old-tag");
    const auto refreshed = observe("deviceConfigRefreshed");
    const auto manager = makeManager(makeAPI());
    auto withoutLocations = model::DeviceConfiguration::fromJSONString(
        R"({"jsonrpc":"2.0","result":{"filters":[{"domain":"corp.example","resolvers":["192.0.2.53"]}]}})",
        model::TextEncoding::utf8);
    ASSERT_TRUE(withoutLocations);
    manager->handleConfigurationReply(*withoutLocations, std::nullopt, std::nullopt);
    EXPECT_EQ(stored(K::userID), "old-tag");
    EXPECT_EQ(
        readText(deviceFile()),
        R"({"jsonrpc":"2.0","result":{"filters":[{"domain":"corp.example","resolvers":["192.0.2.53"]}]}})");

    auto withLocations = model::DeviceConfiguration::fromJSONString(
        R"({"jsonrpc":"2.0","result":{"cfg":{"persistent":{"key":"p-1"},"runtime":{"locations":[{"name":"A","tag":"t-1"},{"name":"B","tag":"t-2"}]}}}})",
        model::TextEncoding::utf8);
    ASSERT_TRUE(withLocations);
    manager->handleConfigurationReply(*withLocations, std::nullopt, std::nullopt);
    EXPECT_EQ(stored(K::userID), "t-1");
    drainMainQueue();
    ASSERT_EQ(refreshed->size(), 2u);
    EXPECT_TRUE(std::any_cast<model::DeviceConfiguration>(refreshed->back()) == *withLocations);
}

TEST_F(ManagerTest, DeviceNames) {
    const auto manager = makeManager(makeAPI());
    EXPECT_EQ(manager->deviceName(std::nullopt), "alice@Studio.local");
    set(K::deviceName, "mac");
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases{
        {std::nullopt, "mac"}, {"mac", "mac"}, {"lab", "lab-mac"}, {"", "-mac"}};
    for (const auto& [prefix, name] : cases)
        EXPECT_EQ(manager->deviceName(prefix), name) << prefix.value_or("<none>");
}

TEST_F(ManagerTest, WithoutKeysNothingIsSent) {
    const auto manager = makeManager(makeAPI());
    EXPECT_FALSE(manager->registerWithServer(true).has_value());
    EXPECT_TRUE(logged("Fatal error!:: missing deviceKey or install key"));
    set(K::deviceKey, "dev-1");
    EXPECT_FALSE(manager->registerWithServer(true).has_value());
    EXPECT_TRUE(
        logged("Fatal error!: The config file is missing a device and a location key. You should reinstall"));
    // Without force and without a held configuration file there is nothing to register.
    set(K::installKey, "k");
    EXPECT_FALSE(manager->registerWithServer(false).has_value());
}

TEST_F(ManagerTest, ARefusedRegistrationKeepsTheStoredDeviceKey) {
    CapturedOutput output;
    const auto certificate = fakes::TestCertificate::make(folder_.path());
    std::filesystem::create_directories(folder_.path() / "rec");
    writeText(folder_.path() / "rec/answer_api_register",
              R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"Unauthorized"}})");
    fakes::LoopbackHTTPServer server({"--tls", certificate.certificate.string(), certificate.key.string(),
                                      "--record", (folder_.path() / "rec").string()},
                                     true);
    const std::string held = R"({"jsonrpc":"2.0","result":{"device":"dev-old","name":"n","type":"KIV"}})";
    writeText(configFile(), held);
    settings_->loadConfigFile();
    set(K::rpcURL, server.url("/"));
    set(K::installKey, "reused-key");

    const auto manager =
        makeManager(makeAPI(NetworkingOptions{platform::makeHTTPClient({certificate.certificate.string()})}));
    platform::Semaphore done;
    manager->registerAndFetch(true, [&] { done.signal(); });
    ASSERT_TRUE(done.waitFor(60s));
    EXPECT_EQ(settings_->configFile()->result->device, "dev-old");
    EXPECT_EQ(readText(configFile()), held);
    EXPECT_EQ(stored(K::installKey), "reused-key");
    EXPECT_FALSE(std::filesystem::exists(folder_.path() / "rec/request-2.json"));  // no fetch
}

TEST_F(ManagerTest, RegistersFetchesAndStoresAgainstTheDevelopmentServer) {
    CapturedOutput output;
    DeviceServerProcess server(folder_.path() / "server");
    const auto refreshed = observe("deviceConfigRefreshed");
    const auto startup = observe("onStartup");
    const auto api = makeAPI(NetworkingOptions{platform::makeHTTPClient({server.value("ca")})});
    const auto manager = makeManager(api);
    auto installer = std::make_shared<InstallerHelper>(hold(settings_), hold<KIVLogger>(logger_),
                                                       hold(manager), hold(publisher_));
    installer->saveInstallerDict = InstallerArguments::parse({"RPC_URL=" + server.value("url") + "/kiv",
                                                              "INSTALL_KEY=" + server.value("install-key"),
                                                              "DEVICE_NAME=mac", "DEVICE_NAME_PREFIX=lab"});
    ASSERT_TRUE(installer->validateAndSave());
    settings_->loadConfigFile();  // none yet: a placeholder is held, as at a normal start

    platform::Semaphore done;
    installer->run(true, [&] { done.signal(); });
    ASSERT_TRUE(done.waitFor(120s));
    drainMainQueue();

    const auto held = settings_->configFile();
    ASSERT_TRUE(held && held->result);
    const std::string deviceKey = held->result->device;
    EXPECT_FALSE(deviceKey.empty());
    EXPECT_EQ(held->result->name, "lab-mac");
    EXPECT_FALSE(stored(K::installKey).has_value());
    EXPECT_NE(readText(configFile()).find("\"device\":\"" + deviceKey + "\""), std::string::npos);
    const auto device = Utils::readDeviceConfiguration();
    ASSERT_TRUE(device && device->locations() && !device->locations()->empty());
    EXPECT_EQ(stored(K::userID), device->locations()->front().tag);
    EXPECT_EQ(refreshed->size(), 2u);  // the manager's fetch and the installer's closing one
    EXPECT_TRUE(startup->empty());

    // A later start with the device key only fetches, and announces the start.
    platform::Semaphore again;
    installer->run(false, [&] { again.signal(); });
    ASSERT_TRUE(again.waitFor(120s));
    drainMainQueue();
    EXPECT_EQ(refreshed->size(), 3u);
    EXPECT_EQ(startup->size(), 1u);

    // The server stops accepting the device: its "Unauthorized" brings the installer file back.
    const std::string revoke = "/usr/bin/python3 " KIV_SOURCE_DIR "/tools/kiv-device-server revoke --store " +
                               (folder_.path() / "server/store.json").string() + " " + deviceKey +
                               " >/dev/null";
    ASSERT_EQ(std::system(revoke.c_str()), 0);
    writeText(installerParameterFile(), "INSTALL_KEY=handed-over\n");
    manager->fetchConfig(deviceKey);
    drainMainQueue();
    EXPECT_EQ(stored(K::installKey), "handed-over");
    EXPECT_EQ(refreshed->size(), 3u);
    EXPECT_TRUE(Utils::readDeviceConfiguration().has_value());
}

// The device server is down for the first registration: nothing is retried at once, and the next
// fetch request (a change event, a poll tick) registers with the install key, one registration at
// a time, with the CA that the restarted server kept.
TEST_F(ManagerTest, AFailedFirstRegistrationIsMadeByTheNextFetchRequest) {
    CapturedOutput output;
    const auto serverFolder = folder_.path() / "server";
    std::string url, ca, port;
    {
        DeviceServerProcess first(serverFolder);
        url = first.value("url");
        ca = first.value("ca");
        port = first.value("port");
    }
    const auto refreshed = observe("deviceConfigRefreshed");
    const auto manager = makeManager(makeAPI(NetworkingOptions{platform::makeHTTPClient({ca})}));
    auto installer = std::make_shared<InstallerHelper>(hold(settings_), hold<KIVLogger>(logger_),
                                                       hold(manager), hold(publisher_));
    installer->saveInstallerDict =
        InstallerArguments::parse({"RPC_URL=" + url + "/kiv", "INSTALL_KEY=demo-install-key"});
    ASSERT_TRUE(installer->validateAndSave());
    settings_->loadConfigFile();
    platform::Semaphore failed;
    installer->run(true, [&] { failed.signal(); });
    ASSERT_TRUE(failed.waitFor(120s));
    EXPECT_TRUE(logged("register failed with error"));
    EXPECT_FALSE(stored(K::deviceKey).has_value());
    EXPECT_EQ(stored(K::installKey), "demo-install-key");

    DeviceServerProcess second(serverFolder, {"--port", port});
    ASSERT_EQ(second.value("url"), url);
    installer->fetchConfigWithDeviceKey();
    installer->fetchConfigWithDeviceKey();  // while the first one is under way: not another
    for (int turns = 0; turns < 120 && refreshed->empty(); ++turns) platform::runMainLoopOnce(1000ms);
    ASSERT_EQ(refreshed->size(), 1u);
    EXPECT_TRUE(logged("no device key yet: registering with the install key"));
    const auto held = settings_->configFile();
    ASSERT_TRUE(held && held->result);
    EXPECT_FALSE(held->result->device.empty());
    EXPECT_FALSE(stored(K::installKey).has_value());
    const auto store = nlohmann::json::parse(readText(serverFolder / "store.json"));
    EXPECT_EQ(store["devices"].size(), 1u);
}

}  // namespace
}  // namespace kiv::testing
