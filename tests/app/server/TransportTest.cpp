// The device-server calls over real HTTPS on loopback: what the server receives, how certificates
// are checked, and that every call comes back, from a background thread and from the main thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "app/server/DeviceServerAPI.hpp"
#include "app/server/ServerTestSupport.hpp"
#include "fakes/LoopbackHTTPServer.hpp"

namespace kiv::testing {
namespace {

using K = XNCServerInfoSection;

TEST(NetworkingURL, TakesHostAndPortOnly) {
    const std::vector<std::tuple<std::string, std::optional<std::string>, std::string>> cases{
        {"https://kiv.example.com", "/api/register", "https://kiv.example.com:8443/api/register"},
        {"http://kiv.example.com:9000/base/x?q=1#f", "/api/register",
         "https://kiv.example.com:9000/api/register"},
        {"https://192.0.2.7:443/", "/api/device", "https://192.0.2.7:443/api/device"},
        {"https://kiv.example.com", std::nullopt, "https://kiv.example.com:8443/"},
    };
    for (const auto& [base, path, expected] : cases) {
        const auto url = Networking::url(*platform::URL::parse(base), path);
        ASSERT_TRUE(url) << base;
        EXPECT_EQ(url->text(), expected) << base;
    }
}

// A recording https server with a self-signed certificate, and a client that trusts it.
class LoopbackServerTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        std::filesystem::create_directories(recordings());
        certificate_ = fakes::TestCertificate::make(folder_.path());
    }
    std::filesystem::path recordings() const { return folder_.path() / "recordings"; }
    void answer(const std::string& path, const std::string& body) {
        std::string name = path;
        std::replace(name.begin(), name.end(), '/', '_');
        writeText(recordings() / ("answer" + name), body);
    }
    std::unique_ptr<fakes::LoopbackHTTPServer> startServer() {
        auto server = std::make_unique<fakes::LoopbackHTTPServer>(
            std::vector<std::string>{"--tls", certificate_.certificate.string(), certificate_.key.string(),
                                     "--record", recordings().string()},
            true);
        set(K::rpcURL, "https://127.0.0.1:" + std::to_string(server->port()) + "/base?q=1");
        return server;
    }
    NetworkingOptions trusting(std::chrono::milliseconds limit = NetworkingOptions::kTimeLimit) const {
        return NetworkingOptions{platform::makeHTTPClient({certificate_.certificate.string()}), limit};
    }
    nlohmann::json recorded(int n) const {
        return nlohmann::json::parse(readText(recordings() / ("request-" + std::to_string(n) + ".json")));
    }

    fakes::TestCertificate certificate_;
};

std::string header(const nlohmann::json& request, const std::string& name) {
    for (const auto& pair : request["headers"]) {
        if (pair[0] == name) return pair[1];
    }
    return "<none>";
}

TEST_F(LoopbackServerTest, TheServerReceivesTheExactRequests) {
    const auto server = startServer();
    answer("/api/register",
           R"({"jsonrpc":"2.0","id":3,"result":{"device":"dev-9","name":"lab-Studio","type":"KIV"}})");
    answer("/api/device",
           R"({"jsonrpc":"2.0","id":4,"error":{"code":-32000,"message":"Unauthorized","data":{"why":1}}})");
    set(K::customerEmail, "alice@example.com");
    const auto api = makeAPI(trusting(), fakeFacts({{"eth0", false}}));

    const auto registration = api->registerDevice("install-1", "lab-Studio");
    ASSERT_FALSE(registration.error.has_value()) << registration.error->message;
    ASSERT_TRUE(registration.reply && registration.reply->result);
    EXPECT_EQ(registration.reply->result->device, "dev-9");

    const auto configuration = api->configureDevice("dev-9", "Lab");
    ASSERT_TRUE(configuration.reply && configuration.deviceError);
    EXPECT_EQ(configuration.deviceError->message, "Unauthorized");
    EXPECT_EQ(configuration.reply->error->message, "Unauthorized");
    EXPECT_FALSE(configuration.error.has_value());

    const auto first = recorded(1);
    EXPECT_EQ(first["method"], "POST");
    EXPECT_EQ(first["path"], "/api/register");
    EXPECT_EQ(header(first, "Content-Type"), "application/json-rpc");
    EXPECT_EQ(header(first, "Accept"), "application/json; charset=utf-8");
    auto body = nlohmann::json::parse(first["body"].get<std::string>());
    ASSERT_TRUE(body["id"].is_number_integer());
    EXPECT_GE(body["id"].get<int>(), 1);
    EXPECT_LE(body["id"].get<int>(), 999);
    body.erase("id");
    EXPECT_EQ(
        body.dump(),
        R"({"jsonrpc":"2.0","method":"account_add_device","params":{"key":"install-1","name":"lab-Studio","type":"KIV","version":"2.0.3"}})");

    const auto second = recorded(2);
    EXPECT_EQ(second["path"], "/api/device");
    EXPECT_EQ(
        second["body"],
        R"({"jsonrpc":"2.0","method":"device_configure","params":{"device":{"key":"dev-9","version":"2.0.3"},)"
        R"("extra":{"nics":[{"description":"eth0","enabled":false}],"os":{"type":"Mac OS","version":"6.1"}},)"
        R"("location":{"name":"Lab","randomize":false},"user":{"email":"alice@example.com","name":"Alice Example"}}})");
    EXPECT_TRUE(logged("Calling configureDevice with username Alice Example for email alice@example.com"));
    EXPECT_TRUE(logged("configuring device with url https://127.0.0.1:" + std::to_string(server->port()) +
                       "/api/register"));
    EXPECT_TRUE(logged("Network call error message Unauthorized for server call configDevice"));
}

struct WeakKeyCase {
    std::string name;
    std::optional<std::string> allowWeakKey;
    bool accepted;
};

class WeakKeyTest : public LoopbackServerTest, public ::testing::WithParamInterface<WeakKeyCase> {};

TEST_P(WeakKeyTest, OnlyExactlyTrueAcceptsASelfSignedServer) {
    const auto server = startServer();
    answer("/api/register", R"({"jsonrpc":"2.0","result":{"device":"d","name":"n","type":"KIV"}})");
    if (GetParam().allowWeakKey) set(K::allowWeakKey, *GetParam().allowWeakKey);
    const auto result = makeAPI()->registerDevice("k", "n");  // the system's trust store
    EXPECT_EQ(result.reply.has_value(), GetParam().accepted);
    if (!GetParam().accepted) {
        ASSERT_TRUE(result.error.has_value());
        EXPECT_EQ(result.error->code, platform::HTTPErrorCode::tlsFailure);
    }
}

INSTANTIATE_TEST_SUITE_P(Certificates, WeakKeyTest,
                         ::testing::Values(WeakKeyCase{"absent", std::nullopt, false},
                                           WeakKeyCase{"upper_case", "TRUE", false},
                                           WeakKeyCase{"exactly_true", "true", true}),
                         [](const auto& info) { return info.param.name; });

TEST_F(ServerTest, ACertificateOfATrustedAuthorityIsAccepted) {
    DeviceServerProcess server(folder_.path() / "server");
    set(K::rpcURL, server.value("url"));
    const auto refused = makeAPI()->registerDevice(server.value("install-key"), "n");
    ASSERT_TRUE(refused.error.has_value());
    EXPECT_EQ(refused.error->code, platform::HTTPErrorCode::tlsFailure);

    const auto api = makeAPI(NetworkingOptions{platform::makeHTTPClient({server.value("ca")})});
    const auto accepted = api->registerDevice(server.value("install-key"), "n");
    ASSERT_FALSE(accepted.error.has_value()) << accepted.error->message;
    ASSERT_TRUE(accepted.reply && accepted.reply->result);
    EXPECT_FALSE(accepted.reply->result->device.empty());
}

enum class Server { dead, stalls, emptyReply, noURL };

struct NeverHangCase {
    std::string name;
    Server server;
    bool onMainThread;
    std::optional<platform::HTTPErrorCode> error;  // nothing: a missing reply
};

class NeverHangTest : public LoopbackServerTest, public ::testing::WithParamInterface<NeverHangCase> {};

TEST_P(NeverHangTest, EveryCallComesBack) {
    const NeverHangCase& c = GetParam();
    auto server = startServer();
    if (c.server == Server::dead) server->stop();
    if (c.server == Server::stalls) writeText(recordings() / "stall", "");
    if (c.server == Server::emptyReply) answer("/api/device", "");
    if (c.server == Server::noURL) settings_->userDefaults()->removeObject("RPC_URL");
    const auto api = makeAPI(trusting(2s));

    bool mainQueueRan = false;
    platform::mainQueue()->async([&] { mainQueueRan = true; });
    DeviceServerAPI::ConfigurationReply result;
    if (c.onMainThread) {
        result = api->configureDevice("dev-1", std::nullopt);
    } else {
        std::thread caller([&] { result = api->configureDevice("dev-1", std::nullopt); });
        caller.join();
    }
    EXPECT_FALSE(result.reply.has_value());
    EXPECT_FALSE(result.deviceError.has_value());
    ASSERT_EQ(result.error.has_value(), c.error.has_value());
    if (c.error) {
        EXPECT_EQ(result.error->code, *c.error) << result.error->message;
    }
    if (c.server == Server::noURL) {
        EXPECT_TRUE(logged("missing RTC_URL in configureNetworking"));
    }
    // A main-thread wait that outlasts a second turns the main loop meanwhile.
    if (c.onMainThread && c.server == Server::stalls) {
        EXPECT_TRUE(mainQueueRan);
    }
    while (platform::runMainLoopOnce(0ms)) {
    }
}

INSTANTIATE_TEST_SUITE_P(
    Waits, NeverHangTest,
    ::testing::Values(
        NeverHangCase{"dead_server_background", Server::dead, false, platform::HTTPErrorCode::cannotConnect},
        NeverHangCase{"dead_server_main", Server::dead, true, platform::HTTPErrorCode::cannotConnect},
        NeverHangCase{"stalled_reply_background", Server::stalls, false, platform::HTTPErrorCode::timedOut},
        NeverHangCase{"stalled_reply_main", Server::stalls, true, platform::HTTPErrorCode::timedOut},
        NeverHangCase{"empty_reply_background", Server::emptyReply, false, std::nullopt},
        NeverHangCase{"empty_reply_main", Server::emptyReply, true, std::nullopt},
        NeverHangCase{"no_server_url_background", Server::noURL, false, std::nullopt},
        NeverHangCase{"no_server_url_main", Server::noURL, true, std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST_F(LoopbackServerTest, AReplacedTransportStillCompletesItsCall) {
    const auto server = startServer();
    writeText(recordings() / "stall", "");
    platform::Semaphore done;
    std::optional<platform::HTTPError> error;
    auto transport = std::make_shared<Networking>(*Settings::serverURL(server->url("/")), false, trusting(1s),
                                                  hold<KIVLogger>(logger_));
    transport->post("{}", ServerMethods::configDevice, "/api/device",
                    [&](std::optional<ServerResponse>, std::optional<platform::HTTPError> e,
                        std::optional<model::DeviceError>) {
                        error = std::move(e);
                        done.signal();
                    });
    transport.reset();
    ASSERT_TRUE(done.waitFor(30s));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, platform::HTTPErrorCode::timedOut);
}

}  // namespace
}  // namespace kiv::testing
