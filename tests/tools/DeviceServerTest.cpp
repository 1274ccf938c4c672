// The development device server, driven over loopback through the platform's HTTP client with
// the CA the server made for its run; replies are read with the application's own reply models.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "fakes/LoopbackHTTPServer.hpp"
#include "model/DeviceConfiguration.hpp"
#include "model/MainConfiguration.hpp"
#include "platform/Dispatch.hpp"
#include "platform/http/HTTPClient.hpp"
#include "tools/DeviceServerProcess.hpp"

namespace {

using kiv::fakes::DeviceServerProcess;
using kiv::fakes::TempDirectory;
using namespace std::chrono_literals;

std::string registrationBody(const std::string& installKey, const std::string& name = "alice-laptop") {
    return R"({"id":412,"jsonrpc":"2.0","method":"account_add_device","params":{"key":")" + installKey +
           R"(","name":")" + name + R"(","type":"KIV","version":"2.0.3"}})";
}

std::string configurationBody(const std::string& deviceKey) {
    return R"({"jsonrpc":"2.0","method":"device_configure","params":{"device":{"key":")" + deviceKey +
           R"(","version":"2.0.3"},"extra":{"nics":[{"description":"Wi-Fi","enabled":true}],)"
           R"("os":{"type":"Mac OS","version":"12.6"}},"location":{"randomize":true},)"
           R"("user":{"email":"alice@example.com","name":"Alice"}}})";
}

class DeviceServerTest : public ::testing::Test {
protected:
    platform::HTTPResult post(const DeviceServerProcess& server, const std::string& path,
                              const std::string& body, bool trustCA = true) {
        platform::HTTPRequest request;
        request.method = platform::HTTPRequest::Method::post;
        request.url = server.url() + path;
        request.headers = {{"Content-Type", "application/json-rpc"},
                           {"Accept", "application/json; charset=utf-8"}};
        request.body = body;
        request.timeout = 20s;
        if (trustCA) request.caFile = server.caFile();
        platform::Semaphore done;
        platform::HTTPResult out;
        client->send(std::move(request), queue, [&](platform::HTTPResult result) {
            out = std::move(result);
            done.signal();
        });
        EXPECT_TRUE(done.waitFor(30s)) << "no completion";
        return out;
    }

    std::string replyBody(const DeviceServerProcess& server, const std::string& path,
                          const std::string& body) {
        const auto result = post(server, path, body);
        if (!result.response) {
            ADD_FAILURE() << "no answer: " << (result.error ? result.error->message : "");
            return {};
        }
        EXPECT_EQ(result.response->status, 200);
        return result.response->body;
    }

    std::string registerDevice(const DeviceServerProcess& server, const std::string& installKey) {
        const auto reply = model::MainConfiguration::fromJSONString(
            replyBody(server, "/api/register", registrationBody(installKey)), model::TextEncoding::utf8);
        if (!reply || !reply->result) return {};
        return reply->result->device;
    }

    model::DeviceConfiguration fetch(const DeviceServerProcess& server, const std::string& deviceKey) {
        const std::string text = replyBody(server, "/api/device", configurationBody(deviceKey));
        auto reply = model::DeviceConfiguration::fromJSONString(text, model::TextEncoding::utf8);
        if (!reply) {
            ADD_FAILURE() << "undecodable configuration reply: " << text;
            return {};
        }
        return std::move(reply).value();
    }

    TempDirectory folder;
    std::filesystem::path store = folder.path() / "store.json";
    platform::HTTPClientPtr client = platform::makeHTTPClient();
    platform::DispatchQueuePtr queue = platform::makeSerialQueue("DeviceServerTest.queue");
};

TEST_F(DeviceServerTest, RegistersOverHttpsAndHandsOutAConfigurationForTheTestResolver) {
    DeviceServerProcess server(store, false, {"--resolver", "127.0.0.1"});
    ASSERT_EQ(server.url(), "https://127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(server.value("install-key"), "demo-install-key");

    const auto text = replyBody(server, "/api/register", registrationBody("demo-install-key"));
    const auto registration = model::MainConfiguration::fromJSONString(text, model::TextEncoding::utf8);
    ASSERT_TRUE(registration) << text;
    EXPECT_EQ(registration->jsonrpc, "2.0");
    EXPECT_EQ(registration->id, 412);
    EXPECT_FALSE(registration->error);
    ASSERT_TRUE(registration->result) << text;
    EXPECT_EQ(registration->result->name, "alice-laptop");
    EXPECT_EQ(registration->result->type, "KIV");
    const std::string deviceKey = registration->result->device;
    ASSERT_FALSE(deviceKey.empty());
    // A second registration of the same computer gets its device back.
    EXPECT_EQ(registerDevice(server, "demo-install-key"), deviceKey);

    const auto configuration = fetch(server, deviceKey);
    EXPECT_FALSE(configuration.error);
    EXPECT_FALSE(configuration.id) << "the request carried no id";
    ASSERT_TRUE(configuration.result && configuration.result->cfg && configuration.result->cfg->runtime);
    const auto& runtime = *configuration.result->cfg->runtime;
    ASSERT_EQ(runtime.locations.size(), 1u);
    EXPECT_FALSE(runtime.locations[0].tag.empty());
    EXPECT_TRUE(runtime.user && !runtime.user->empty());
    ASSERT_TRUE(configuration.result->filters);
    ASSERT_EQ(configuration.result->filters->size(), 1u);
    EXPECT_EQ(configuration.result->filters->at(0).resolvers, std::vector<std::string>{"127.0.0.1"});
}

TEST_F(DeviceServerTest, WithoutItsCATheCertificateIsRefused) {
    DeviceServerProcess server(store, false);
    const auto result = post(server, "/api/register", registrationBody("demo-install-key"), false);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, platform::HTTPErrorCode::tlsFailure) << result.error->message;
}

// Every refusal of a key is the JSON-RPC error "Unauthorized", decoded like the real server's.
TEST_F(DeviceServerTest, UnknownAndRevokedKeysAreUnauthorized) {
    DeviceServerProcess server(store, false);
    const std::string deviceKey = registerDevice(server, "demo-install-key");
    ASSERT_FALSE(deviceKey.empty());
    ASSERT_EQ(DeviceServerProcess::run(store, {"add-key", "second-install-key"}), 0);
    const std::string otherDevice = registerDevice(server, "second-install-key");
    ASSERT_FALSE(otherDevice.empty());
    ASSERT_EQ(DeviceServerProcess::run(store, {"revoke", deviceKey}), 0);
    ASSERT_EQ(DeviceServerProcess::run(store, {"revoke", "second-install-key"}), 0);

    struct Case {
        const char* what;
        std::string path;
        std::string body;
    };
    const Case cases[] = {
        {"unknown install key", "/api/register", registrationBody("no-such-key")},
        {"empty install key", "/api/register", registrationBody("")},
        {"revoked install key", "/api/register", registrationBody("second-install-key", "other")},
        {"unknown device key", "/api/device", configurationBody("0123456789abcdef")},
        {"revoked device key", "/api/device", configurationBody(deviceKey)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string text = replyBody(server, c.path, c.body);
        const auto reply = model::DeviceConfiguration::fromJSONString(text, model::TextEncoding::utf8);
        ASSERT_TRUE(reply) << text;
        ASSERT_TRUE(reply->error) << text;
        EXPECT_EQ(reply->error->message, "Unauthorized");
        EXPECT_EQ(reply->error->code, -32000);
        EXPECT_FALSE(reply->result);
    }
    // A device registered before its install key was revoked keeps working.
    EXPECT_FALSE(fetch(server, otherDevice).error);
}

// Calls are answered on threads of their own: each holds the store's lock through a file of its
// own, so calls that arrive together are all answered (none with "I/O operation on closed file").
TEST_F(DeviceServerTest, SimultaneousCallsAreAllAnswered) {
    DeviceServerProcess server(store, false);
    const std::string key = registerDevice(server, "demo-install-key");
    ASSERT_FALSE(key.empty());
    constexpr std::size_t kCalls = 24;
    std::mutex mutex;
    std::vector<std::string> bodies;
    platform::Semaphore done;
    for (std::size_t call = 0; call < kCalls; ++call) {
        platform::HTTPRequest request;
        request.method = platform::HTTPRequest::Method::post;
        request.url = server.url() + (call % 3 == 0 ? "/api/register" : "/api/device");
        request.headers = {{"Content-Type", "application/json-rpc"}};
        request.body = call % 3 == 0 ? registrationBody("demo-install-key") : configurationBody(key);
        request.timeout = 20s;
        request.caFile = server.caFile();
        client->send(std::move(request), queue, [&](platform::HTTPResult result) {
            std::lock_guard lock(mutex);
            bodies.push_back(result.response ? result.response->body : "no answer");
            if (bodies.size() == kCalls) done.signal();
        });
    }
    ASSERT_TRUE(done.waitFor(60s));
    std::lock_guard lock(mutex);
    for (const auto& body : bodies) EXPECT_NE(body.find("\"result\":"), std::string::npos) << body;
}

TEST_F(DeviceServerTest, AChangedConfigurationReachesTheNextFetch) {
    DeviceServerProcess server(store, true);
    ASSERT_EQ(server.url().rfind("http://127.0.0.1:", 0), 0u);
    const std::string deviceKey = registerDevice(server, "demo-install-key");
    ASSERT_FALSE(deviceKey.empty());
    ASSERT_EQ(DeviceServerProcess::run(store, {"set", "--device", deviceKey, "--resolver", "127.0.0.2",
                                               "--log-level", "diagnose", "--location", "Office=tag-office"}),
              0);
    const auto configuration = fetch(server, deviceKey);
    ASSERT_TRUE(configuration.result && configuration.result->filters && configuration.result->cfg);
    EXPECT_EQ(configuration.result->filters->at(0).resolvers, std::vector<std::string>{"127.0.0.2"});
    const auto& runtime = *configuration.result->cfg->runtime;
    ASSERT_EQ(runtime.locations.size(), 1u);
    EXPECT_EQ(runtime.locations[0].name, "Office");
    EXPECT_EQ(runtime.locations[0].tag, "tag-office");
    ASSERT_TRUE(runtime.kiv && runtime.kiv->logLevel);
    EXPECT_EQ(*runtime.kiv->logLevel, model::LogLevel::diagnose);
    // Editing a device that does not exist fails and changes nothing.
    EXPECT_NE(DeviceServerProcess::run(store, {"set", "--device", "nobody", "--resolver", "127.0.0.3"}), 0);
}

// Requests the server does not take: JSON-RPC errors with the standard codes, never a crash.
TEST_F(DeviceServerTest, MalformedRequestsGetJsonRpcErrors) {
    DeviceServerProcess server(store, true);
    struct Case {
        std::string path;
        std::string body;
        long code;
    };
    const Case cases[] = {
        {"/api/register", "not json", -32700},
        {"/api/register", "\xff\xfe", -32700},
        {"/api/register", "[1,2]", -32600},
        {"/api/register", R"({"jsonrpc":"1.0","method":"account_add_device","params":{"key":"k"}})", -32600},
        {"/api/register", R"({"jsonrpc":"2.0","id":"7","method":"account_add_device","params":{}})", -32600},
        {"/api/device", registrationBody("demo-install-key"), -32601},
        {"/api/register", R"({"jsonrpc":"2.0","method":"device_configure","params":{}})", -32601},
        {"/api/register", R"({"jsonrpc":"2.0","method":"account_add_device","params":{"key":7}})", -32602},
        {"/api/device", R"({"jsonrpc":"2.0","method":"device_configure","params":{"device":"k"}})", -32602},
        {"/api/device", R"({"jsonrpc":"2.0","method":"device_configure"})", -32602},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const std::string text = replyBody(server, c.path, c.body);
        const auto reply = model::DeviceConfiguration::fromJSONString(text, model::TextEncoding::utf8);
        ASSERT_TRUE(reply && reply->error) << text;
        EXPECT_EQ(reply->error->code, c.code) << text;
    }
    const auto missing = post(server, "/api/other", registrationBody("demo-install-key"));
    ASSERT_TRUE(missing.response);
    EXPECT_EQ(missing.response->status, 404);
}

}  // namespace
