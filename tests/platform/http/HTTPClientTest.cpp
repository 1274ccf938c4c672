// The libcurl client against loopback servers that the tests start and stop.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "fakes/LoopbackHTTPServer.hpp"
#include "platform/http/HTTPClient.hpp"

namespace platform {
namespace {

using kiv::fakes::LoopbackHTTPServer;
using kiv::fakes::TempDirectory;
using kiv::fakes::TestCertificate;
using namespace std::chrono_literals;

// Sends one request and waits for its completion; records the queue it ran on.
struct Exchange {
    HTTPResult result;
    std::string queueLabel;
};

Exchange exchange(HTTPClient& client, HTTPRequest request) {
    auto queue = makeSerialQueue("HTTPClientTest.queue");
    Semaphore done;
    Exchange out;
    client.send(std::move(request), queue, [&](HTTPResult result) {
        out.result = std::move(result);
        out.queueLabel = currentQueueLabel();
        done.signal();
    });
    EXPECT_TRUE(done.waitFor(30s)) << "no completion";
    return out;
}

std::string headerValue(const HTTPHeaders& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), std::string(name).c_str()) == 0) return value;
    }
    return "<absent>";
}

class HTTPClientPlain : public ::testing::Test {
protected:
    LoopbackHTTPServer server;
    HTTPClientPtr client = makeHTTPClient();
};

TEST_F(HTTPClientPlain, PostCarriesHeadersAndBodyAndAnswersOnTheGivenQueue) {
    HTTPRequest request;
    request.method = HTTPRequest::Method::post;
    request.url = server.url("/echo");
    request.headers = {{"Content-Type", "application/json"},
                       {"Accept", "application/json"},
                       {"Authorization", "Basic YTpi"}};
    request.body = std::string("{\"payload\":\"") + std::string(3000, 'p') + "\"}";
    request.timeout = 10s;
    const Exchange e = exchange(*client, request);
    ASSERT_TRUE(e.result.response.has_value()) << e.result.error->message;
    EXPECT_FALSE(e.result.error.has_value());
    EXPECT_EQ(e.queueLabel, "HTTPClientTest.queue");
    EXPECT_EQ(e.result.response->status, 200);
    EXPECT_EQ(headerValue(e.result.response->headers, "X-Test-Server"), "loopback");
    const std::string& echo = e.result.response->body;
    EXPECT_NE(echo.find("\"method\": \"POST\""), std::string::npos) << echo;
    EXPECT_NE(echo.find("[\"Content-Type\", \"application/json\"]"), std::string::npos) << echo;
    EXPECT_NE(echo.find("[\"Accept\", \"application/json\"]"), std::string::npos) << echo;
    EXPECT_NE(echo.find("[\"Authorization\", \"Basic YTpi\"]"), std::string::npos) << echo;
    EXPECT_EQ(echo.find("Expect"), std::string::npos) << echo;
    EXPECT_NE(echo.find(std::string(3000, 'p')), std::string::npos);
}

TEST_F(HTTPClientPlain, GetHasNoBody) {
    HTTPRequest request;
    request.url = server.url("/echo");
    const Exchange e = exchange(*client, request);
    ASSERT_TRUE(e.result.response.has_value());
    EXPECT_NE(e.result.response->body.find("\"method\": \"GET\""), std::string::npos);
    EXPECT_NE(e.result.response->body.find("\"body\": \"\""), std::string::npos);
}

TEST_F(HTTPClientPlain, AnyStatusIsAResponse) {
    for (int status : {201, 204, 301, 404, 500, 503}) {
        HTTPRequest request;
        request.url = server.url("/status/" + std::to_string(status));
        const Exchange e = exchange(*client, request);
        ASSERT_TRUE(e.result.response.has_value()) << status;
        EXPECT_EQ(e.result.response->status, status);
    }
}

TEST_F(HTTPClientPlain, TimeLimitEndsAHangingExchange) {
    HTTPRequest request;
    request.url = server.url("/hang");
    request.timeout = 300ms;
    const Exchange e = exchange(*client, request);
    ASSERT_TRUE(e.result.error.has_value());
    EXPECT_FALSE(e.result.response.has_value());
    EXPECT_EQ(e.result.error->code, HTTPErrorCode::timedOut) << e.result.error->message;
}

TEST_F(HTTPClientPlain, BodyOverTheLimitFails) {
    HTTPRequest request;
    request.url = server.url("/big/100000");
    request.maxResponseBytes = 1000;
    Exchange e = exchange(*client, request);
    ASSERT_TRUE(e.result.error.has_value());
    EXPECT_EQ(e.result.error->code, HTTPErrorCode::responseTooLarge);
    request.maxResponseBytes = 100000;  // exactly the limit is fine
    e = exchange(*client, request);
    ASSERT_TRUE(e.result.response.has_value());
    EXPECT_EQ(e.result.response->body.size(), 100000u);
}

TEST_F(HTTPClientPlain, ConnectionClosedWithoutAnswerIsATransportFailure) {
    HTTPRequest request;
    request.url = server.url("/close");
    const Exchange e = exchange(*client, request);
    ASSERT_TRUE(e.result.error.has_value());
    EXPECT_EQ(e.result.error->code, HTTPErrorCode::transportFailure) << e.result.error->message;
}

TEST_F(HTTPClientPlain, ManyConcurrentRequestsEachCompleteOnce) {
    auto queue = makeSerialQueue("HTTPClientTest.many");
    constexpr int count = 24;
    Semaphore done;
    std::mutex mutex;
    std::vector<int> seen(count, 0);
    for (int i = 0; i < count; ++i) {
        HTTPRequest request;
        request.url = server.url(i % 2 ? "/echo" : "/status/" + std::to_string(200 + i));
        client->send(request, queue, [&, i](HTTPResult result) {
            {
                std::lock_guard lock(mutex);
                ++seen[i];
                EXPECT_TRUE(result.response.has_value());
                if (result.response && i % 2 == 0) {
                    EXPECT_EQ(result.response->status, 200 + i);
                }
            }
            done.signal();
        });
    }
    for (int i = 0; i < count; ++i) ASSERT_TRUE(done.waitFor(30s));
    for (int i = 0; i < count; ++i) EXPECT_EQ(seen[i], 1) << i;
}

TEST_F(HTTPClientPlain, DestroyingTheClientCancelsWithoutCompletion) {
    auto queue = makeSerialQueue("HTTPClientTest.cancel");
    std::atomic<int> completions{0};
    HTTPRequest request;
    request.url = server.url("/hang");
    client->send(request, queue, [&](HTTPResult) { ++completions; });
    client.reset();  // returns although the server never answers
    Semaphore drained;
    queue->async([&] { drained.signal(); });
    ASSERT_TRUE(drained.waitFor(10s));
    EXPECT_EQ(completions.load(), 0);
}

// A port that is bound but not listening refuses connections, and nobody else can
// take it while the socket lives.
TEST(HTTPClient, RefusedPortIsCannotConnect) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    auto client = makeHTTPClient();
    HTTPRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    const Exchange e = exchange(*client, request);
    close(fd);
    ASSERT_TRUE(e.result.error.has_value());
    EXPECT_EQ(e.result.error->code, HTTPErrorCode::cannotConnect) << e.result.error->message;
}

TEST(HTTPClient, InvalidRequestsAreRefusedOnTheQueue) {
    auto client = makeHTTPClient();
    struct Case {
        const char* name;
        HTTPRequest request;
    };
    auto make = [](std::string url, HTTPHeaders headers = {}, std::chrono::milliseconds timeout = 1s) {
        HTTPRequest r;
        r.url = std::move(url);
        r.headers = std::move(headers);
        r.timeout = timeout;
        return r;
    };
    const Case cases[] = {
        {"ftp scheme", make("ftp://127.0.0.1/")},
        {"file scheme", make("file:///etc/passwd")},
        {"no scheme host", make("http://")},
        {"zero timeout", make("http://127.0.0.1:1/", {}, 0ms)},
        {"header with line break", make("http://127.0.0.1:1/", {{"X-A", "1\r\nX-Injected: 2"}})},
        {"header name with colon", make("http://127.0.0.1:1/", {{"X:A", "1"}})},
        {"empty header name", make("http://127.0.0.1:1/", {{"", "1"}})},
    };
    for (const Case& c : cases) {
        const Exchange e = exchange(*client, c.request);
        ASSERT_TRUE(e.result.error.has_value()) << c.name;
        EXPECT_EQ(e.result.error->code, HTTPErrorCode::invalidRequest)
            << c.name << ": " << e.result.error->message;
        EXPECT_EQ(e.queueLabel, "HTTPClientTest.queue") << c.name;
    }
}

struct RedirectCase {
    const char* name;
    std::string target;  // where /redirect sends the client; "" = this server's /echo
    long maxRedirects;
    long status;  // expected answer, 0 = a failure
};

class HTTPClientRedirects : public HTTPClientPlain, public ::testing::WithParamInterface<RedirectCase> {};

TEST_P(HTTPClientRedirects, FollowsOnlyWhenAskedAndOnlyToHTTP) {
    const RedirectCase& c = GetParam();
    HTTPRequest request;
    request.url = server.url("/redirect?to=" + (c.target.empty() ? server.url("/echo") : c.target));
    request.maxRedirects = c.maxRedirects;
    const Exchange e = exchange(*client, request);
    if (c.status == 0) {
        ASSERT_TRUE(e.result.error.has_value());
        return;
    }
    ASSERT_TRUE(e.result.response.has_value()) << e.result.error->message;
    EXPECT_EQ(e.result.response->status, c.status);
    EXPECT_EQ(headerValue(e.result.response->headers, "X-Test-Server"),
              c.status == 200 ? "loopback" : "<absent>");
}

INSTANTIATE_TEST_SUITE_P(Cases, HTTPClientRedirects,
                         ::testing::Values(RedirectCase{"not asked", "", 0, 302},
                                           RedirectCase{"followed", "", 3, 200},
                                           RedirectCase{"to a file", "file:///etc/passwd", 3, 0},
                                           RedirectCase{"to ftp", "ftp://127.0.0.1/x", 3, 0}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 if (c == ' ') c = '_';
                             }
                             return name;
                         });

class HTTPClientTLS : public ::testing::Test {
protected:
    TempDirectory directory;
    TestCertificate certificate = TestCertificate::make(directory.path());
    LoopbackHTTPServer server{{"--tls", certificate.certificate.string(), certificate.key.string()}, true};
};

TEST_F(HTTPClientTLS, TrustsTheGivenCertificateAuthority) {
    auto client = makeHTTPClient({certificate.certificate.string()});
    HTTPRequest request;
    request.method = HTTPRequest::Method::post;
    request.url = server.url("/echo");
    request.body = "sealed";
    const Exchange e = exchange(*client, request);
    ASSERT_TRUE(e.result.response.has_value()) << e.result.error->message;
    EXPECT_NE(e.result.response->body.find("\"body\": \"sealed\""), std::string::npos);

    // The request's own CA file wins over the client's.
    auto plain = makeHTTPClient();
    request.caFile = certificate.certificate.string();
    const Exchange own = exchange(*plain, request);
    EXPECT_TRUE(own.result.response.has_value());
}

TEST_F(HTTPClientTLS, UntrustedCertificateIsATLSFailure) {
    auto client = makeHTTPClient();
    HTTPRequest request;
    request.url = server.url("/echo");
    Exchange e = exchange(*client, request);
    ASSERT_TRUE(e.result.error.has_value());
    EXPECT_EQ(e.result.error->code, HTTPErrorCode::tlsFailure) << e.result.error->message;

    request.caFile = (directory.path() / "missing.pem").string();
    e = exchange(*client, request);
    ASSERT_TRUE(e.result.error.has_value());
    EXPECT_EQ(e.result.error->code, HTTPErrorCode::tlsFailure) << e.result.error->message;

    // Unless the request turns checking off.
    request.caFile.clear();
    request.verifyPeer = false;
    e = exchange(*client, request);
    EXPECT_TRUE(e.result.response.has_value()) << e.result.error->message;
}

}  // namespace
}  // namespace platform
