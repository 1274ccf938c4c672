#include <gtest/gtest.h>

#include <thread>

#include "app/netext/ipc/IPCConnection.hpp"
#include "app/netext/ipc/IPCTestSupport.hpp"
#include "model/JSONCoder.hpp"

namespace kiv {
namespace {

using ipctest::kService;
using xpctest::Recorder;

// The default log has no subsystem and no category.
std::string defaultLine(const std::string& message) { return "||default|" + message; }
std::string appLine(const std::string& type, const std::string& message) {
    return "com.veltrix.kiv.KIVDNSProxy|app|" + type + "|" + message;
}

// A resumed connection of an application exporting `fake` to the extension.
std::shared_ptr<platform::XPCConnection> makeAppConnection(const std::shared_ptr<ipctest::FakeApp>& fake) {
    auto c = platform::XPCConnection::makeWithMachServiceName(kService);
    c->setExportedInterface(AppCommunication::interface());
    c->setExportedObject(AppCommunication::exported(fake));
    c->setRemoteObjectInterface(ProviderCommunication::interface());
    c->resume();
    return c;
}

class IPCConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv(platform::kMainBundleEnv, bundle.path().c_str(), 1); }
    void TearDown() override {
        for (const auto& ipc : {extension, app}) {
            if (auto c = ipc->currentConnection()) c->invalidate();
            if (auto l = ipc->listener()) l->invalidate();
        }
        for (auto& c : extra) c->invalidate();
        xpctest::drainReactor();
        ::unsetenv(platform::kMainBundleEnv);
    }

    // Registers `app` and returns the completion text.
    std::string registerApp() {
        auto texts = std::make_shared<Recorder>();
        app->registerWithExtension(bundle.bundle(), delegate,
                                   [texts](std::string t) { texts->add(std::move(t)); });
        EXPECT_TRUE(texts->waitForCount(1));
        return texts->events().empty() ? "" : texts->events()[0];
    }

    xpctest::TempRunDir runDir;
    ipctest::TempBundle bundle{ipctest::extensionInfo()};
    std::shared_ptr<IPCConnection> extension = IPCConnection::create();
    std::shared_ptr<IPCConnection> app = IPCConnection::create();
    std::shared_ptr<ipctest::FakeApp> delegate = std::make_shared<ipctest::FakeApp>();
    std::vector<std::shared_ptr<platform::XPCConnection>> extra;
};

TEST_F(IPCConnectionTest, RegisterThenProxyStoppedReachesTheApplication) {
    ipctest::LogRecorder logs;
    extension->startListener();
    EXPECT_EQ(
        logs.records().count(defaultLine("Starting XPC listener for mach service com.test.kivdnsproxy")), 1u);
    EXPECT_EQ(registerApp(), "Registered extension KIVDNSProxy");
    ASSERT_NE(extension->currentConnection(), nullptr);
    EXPECT_TRUE(extension->currentConnection()->isAccepted());

    EXPECT_TRUE(extension->proxyStopped(5));
    ASSERT_TRUE(delegate->calls->waitFor("stopped 5"));
}

TEST_F(IPCConnectionTest, SecondRegistrationAnswersAtOnceWithoutTraffic) {
    extension->startListener();
    ASSERT_EQ(registerApp(), "Registered extension KIVDNSProxy");
    const auto accepted = extension->currentConnection();
    ipctest::LogRecorder logs;
    std::string text;
    std::thread::id thread;
    app->registerWithExtension(bundle.bundle(), delegate, [&](std::string t) {
        text = std::move(t);
        thread = std::this_thread::get_id();
    });
    // Answered before the call returned, on the caller's thread: nothing went over the link.
    EXPECT_EQ(text, "already registered");
    EXPECT_EQ(thread, std::this_thread::get_id());
    EXPECT_EQ(logs.records().events(),
              std::vector<std::string>{defaultLine("Already registered with the provider")});
    EXPECT_EQ(extension->currentConnection(), accepted);
}

TEST_F(IPCConnectionTest, RegisterRepliesUnknownWithoutDisplayName) {
    ipctest::TempBundle unnamed{ipctest::extensionInfo(false)};
    ::setenv(platform::kMainBundleEnv, unnamed.path().c_str(), 1);
    extension->startListener();
    EXPECT_EQ(registerApp(), "Registered extension unknown");
}

TEST_F(IPCConnectionTest, RegisterWithoutExtensionReportsFailureAndTriesAgainLater) {
    ipctest::LogRecorder logs;
    const std::string text = registerApp();
    const std::string description =
        "The connection to service com.test.kivdnsproxy was invalidated: no listener at " +
        (runDir.path() / "com.test.kivdnsproxy.sock").string() + " (No such file or directory).";
    EXPECT_EQ(text, "Failed to register with the provider: " + description + ")");
    EXPECT_EQ(logs.records().count(defaultLine("Failed to register with the provider: " + description)), 1u);
    EXPECT_EQ(app->currentConnection(), nullptr);

    extension->startListener();
    EXPECT_EQ(registerApp(), "Registered extension KIVDNSProxy");
}

TEST_F(IPCConnectionTest, UpdateConfigStoresOnlyDecodableConfigurations) {
    extension->startListener();
    auto connection = platform::XPCConnection::makeWithMachServiceName(kService);
    extra.push_back(connection);
    connection->setRemoteObjectInterface(ProviderCommunication::interface());
    connection->resume();
    auto provider = ProviderCommunication::remote(connection->remoteObjectProxyWithErrorHandler(nullptr));
    ASSERT_NE(provider, nullptr);
    auto send = [&](const std::string& json) {
        auto texts = std::make_shared<Recorder>();
        provider->updateConfigWithConfig(std::vector<std::uint8_t>(json.begin(), json.end()),
                                         [texts](std::string t) { texts->add(std::move(t)); });
        EXPECT_TRUE(texts->waitForCount(1));
        return texts->events().at(0);
    };

    ipctest::LogRecorder logs;
    testing::internal::CaptureStdout();
    EXPECT_EQ(send(R"({"UDDID":"u-1","locationKey":"k","resolvers":["1.1.1.1"],"deviceConfig":{"id":3}})"),
              "KIVDNSProxy updated config");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Fetching device config\n");
    EXPECT_EQ(logs.records().count(appLine("info", "Received configData from the app")), 1u);
    ASSERT_TRUE(extension->networkConfig().has_value());
    EXPECT_EQ(extension->networkConfig()->UDDID, "u-1");

    for (const std::string& bad : {std::string(R"({"UDDID":"u-2","locationKey":"k","resolvers":[]})"),
                                   std::string("not json"), std::string()}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(send(bad), "KIVDNSProxy failed to unwrap the config") << bad;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.rfind("Fetching device config\nUnable to decode device config (", 0), 0u) << out;
        EXPECT_EQ(out.substr(out.size() - 2), ")\n");
        EXPECT_EQ(extension->networkConfig()->UDDID, "u-1");  // unchanged
    }
}

TEST_F(IPCConnectionTest, ProxyStoppedBeforeTheApplicationConnected) {
    extension->startListener();
    ipctest::LogRecorder logs;
    EXPECT_FALSE(extension->proxyStopped(1));
    EXPECT_EQ(logs.records().events(),
              std::vector<std::string>{defaultLine("Cannot prompt user because the app isn't registered")});
}

// Accepts through the extension's IPCConnection and lets the test see or hold back the
// handlers it installs.
class SpyDelegate final : public platform::XPCListenerDelegate {
public:
    std::shared_ptr<IPCConnection> target;
    bool holdBackHandlers = false;
    std::shared_ptr<Recorder> events = std::make_shared<Recorder>();
    std::vector<std::shared_ptr<platform::XPCConnection>> accepted;

    bool shouldAcceptNewConnection(platform::XPCListener& listener,
                                   const std::shared_ptr<platform::XPCConnection>& c) override {
        const bool keep = target->shouldAcceptNewConnection(listener, c);
        auto handler = c->invalidationHandler();
        const auto n = std::to_string(accepted.size());
        if (holdBackHandlers) {
            c->setInvalidationHandler(nullptr);
        } else {
            c->setInvalidationHandler([handler, events = events, n] {
                handler();
                events->add("invalidated " + n);
            });
        }
        accepted.push_back(c);
        events->add("accepted " + n);
        return keep;
    }
};

class IPCConnectionSpyTest : public IPCConnectionTest {
protected:
    void SetUp() override {
        IPCConnectionTest::SetUp();
        spy->target = extension;
        listener->setDelegate(spy);
        ASSERT_TRUE(listener->resume());
    }
    void TearDown() override {
        listener->invalidate();
        for (auto& c : spy->accepted) c->invalidate();
        IPCConnectionTest::TearDown();
    }
    // A connection of an application exporting `app` to the extension.
    std::shared_ptr<platform::XPCConnection> connectApp(const std::shared_ptr<ipctest::FakeApp>& fake) {
        auto c = makeAppConnection(fake);
        auto done = std::make_shared<Recorder>();
        ProviderCommunication::remote(c->remoteObjectProxyWithErrorHandler(nullptr))
            ->registerApp([done](std::string t) { done->add(std::move(t)); });
        EXPECT_TRUE(done->waitForCount(1));
        extra.push_back(c);
        return c;
    }

    std::shared_ptr<SpyDelegate> spy = std::make_shared<SpyDelegate>();
    std::shared_ptr<platform::XPCListener> listener =
        platform::XPCListener::makeWithMachServiceName(kService);
};

TEST_F(IPCConnectionSpyTest, AnOlderConnectionsEndLeavesTheNewerOne) {
    auto first = std::make_shared<ipctest::FakeApp>();
    auto second = std::make_shared<ipctest::FakeApp>();
    auto a = connectApp(first);
    auto b = connectApp(second);
    ASSERT_EQ(extension->currentConnection(), spy->accepted.at(1));
    a->invalidate();  // the first application goes away
    ASSERT_TRUE(spy->events->waitFor("invalidated 0"));
    EXPECT_EQ(extension->currentConnection(), spy->accepted.at(1));
    EXPECT_TRUE(extension->proxyStopped(9));
    ASSERT_TRUE(second->calls->waitFor("stopped 9"));
    EXPECT_EQ(first->calls->events().size(), 0u);

    b->invalidate();  // the current one going away is forgotten
    ASSERT_TRUE(spy->events->waitFor("invalidated 1"));
    EXPECT_EQ(extension->currentConnection(), nullptr);
    EXPECT_FALSE(extension->proxyStopped(10));
}

TEST_F(IPCConnectionSpyTest, UndeliverableProxyStoppedForgetsTheConnection) {
    spy->holdBackHandlers = true;  // as if the connection's end had not been noticed yet
    auto fake = std::make_shared<ipctest::FakeApp>();
    connectApp(fake);
    auto current = extension->currentConnection();
    ASSERT_NE(current, nullptr);
    current->invalidate();
    ipctest::LogRecorder logs;
    const std::string expected = appLine(
        "info", "Failed to prompt the user: The connection to service com.test.kivdnsproxy was invalidated.");
    EXPECT_TRUE(extension->proxyStopped(2));  // handed to the proxy; delivery fails later
    ASSERT_TRUE(logs.records().waitFor(expected));
    // The handler forgets the connection right after logging. A second message either
    // finds it forgotten already or fails behind the first on the same queue.
    if (extension->proxyStopped(3)) {
        ASSERT_TRUE(logs.records().waitFor(expected, 2));
    }
    EXPECT_EQ(extension->currentConnection(), nullptr);
    EXPECT_EQ(fake->calls->events().size(), 0u);
}

TEST_F(IPCConnectionTest, ConcurrentRegistrationsOpenOneConnection) {
    extension->startListener();
    auto texts = std::make_shared<Recorder>();
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            app->registerWithExtension(bundle.bundle(), delegate,
                                       [texts](std::string t) { texts->add(std::move(t)); });
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_TRUE(texts->waitForCount(8));
    EXPECT_EQ(texts->count("Registered extension KIVDNSProxy"), 1u);
    EXPECT_EQ(texts->count("already registered"), 7u);
}

TEST_F(IPCConnectionTest, ProxyStoppedAndConnectionChurnFromManyThreads) {
    extension->startListener();
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        while (!stop) extension->proxyStopped(1);
    });
    for (int i = 0; i < 20; ++i) {
        auto fake = std::make_shared<ipctest::FakeApp>();
        auto c = makeAppConnection(fake);
        auto done = std::make_shared<Recorder>();
        ProviderCommunication::remote(c->remoteObjectProxyWithErrorHandler([done](
                                                                               const platform::ErrorObject&) {
            done->add("error");
        }))->registerApp([done](std::string t) { done->add(t); });
        ASSERT_TRUE(done->waitForCount(1));
        c->invalidate();
    }
    stop = true;
    stopper.join();
}

// No temporary files here: the death-test child runs the test body again and never
// gets to clean up.
TEST(IPCConnectionDeathTest, MissingMachServiceNameStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const char* info : {R"({})", R"({"NetworkExtension":"x"})", R"({"NetworkExtension":{}})",
                             R"({"NetworkExtension":{"NEMachServiceName":5}})", R"([])"}) {
        const auto broken = platform::Bundle::withInfoDictionary("/nonexistent", nlohmann::json::parse(info));
        EXPECT_DEATH(
            IPCConnection::machServiceName(broken),
            "BrannockCloud/IPCConnection: Fatal error: Mach service name is missing from the Info.plist")
            << info;
    }
    const auto good =
        platform::Bundle::withInfoDictionary("/nonexistent", nlohmann::json::parse(ipctest::extensionInfo()));
    EXPECT_EQ(IPCConnection::machServiceName(good), kService);
}

TEST(InfoPlist, BuildWritesTheExtensionsInfoPlistBesideTheProgram) {
    ::unsetenv(platform::kMainBundleEnv);
    const auto main = platform::Bundle::main();
    EXPECT_TRUE(std::filesystem::exists(main.bundlePath() / "Info.plist"));
    EXPECT_EQ(main.bundleIdentifier(), "com.kiv.veltrax.KIVDNSProxy");
    EXPECT_EQ(main.displayName(), "KIVDNSProxy");
    EXPECT_EQ(main.string("CFBundleExecutable"), "test_ipc");
    EXPECT_EQ(IPCConnection::machServiceName(main), "com.kiv.veltrax.KIVDNSProxy");
}

TEST(IPCConnectionShared, OneInstancePerProcess) {
    EXPECT_EQ(IPCConnection::shared(), IPCConnection::shared());
    EXPECT_EQ(IPCConnection::shared()->currentConnection(), nullptr);
    EXPECT_EQ(IPCConnection::shared()->listener(), nullptr);
    EXPECT_EQ(IPCConnection::shared()->log().subsystem(), "com.veltrix.kiv.KIVDNSProxy");
    EXPECT_EQ(IPCConnection::shared()->log().category(), "app");
}

}  // namespace
}  // namespace kiv
