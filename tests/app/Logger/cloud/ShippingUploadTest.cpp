// Shipping end to end against a loopback HTTPS server started by the test: the
// request's headers, and the payload decrypted with OpenSSL and parsed.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include "ShippingTestSupport.hpp"

namespace kiv::shippingtest {
namespace {

using nlohmann::json;

std::string base64Decode(const std::string& text) {
    std::string out(text.size() / 4 * 3, '\0');
    const int written =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (written < 0) return {};
    out.resize(static_cast<std::size_t>(written));
    // EVP_DecodeBlock keeps the bytes that stand for "=" padding.
    for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) out.pop_back();
    return out;
}

// Decrypts "IV(16 chars) + Base64" with AES-256-CBC and PKCS#7, as the service would.
std::optional<std::string> decrypt(const std::string& payload, const std::string& key) {
    if (payload.size() < 16) return std::nullopt;
    const std::string iv = payload.substr(0, 16);
    const std::string cipher = base64Decode(payload.substr(16));
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    std::string plain(cipher.size() + 16, '\0');
    int written = 0, tail = 0;
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr,
                           reinterpret_cast<const unsigned char*>(key.data()),
                           reinterpret_cast<const unsigned char*>(iv.data())) != 1 ||
        EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()), &written,
                          reinterpret_cast<const unsigned char*>(cipher.data()),
                          static_cast<int>(cipher.size())) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()) + written, &tail) !=
            1) {
        return std::nullopt;
    }
    plain.resize(static_cast<std::size_t>(written + tail));
    return plain;
}

struct Received {
    json request;  // as the server recorded it
    json payload;  // decrypted and parsed
};

class ShippingUpload : public ShippingFixture {
protected:
    fakes::TempDirectory serverFiles;
    fakes::TestCertificate certificate = fakes::TestCertificate::make(serverFiles.path());
    fakes::TempDirectory records;
    fakes::LoopbackHTTPServer server{{"--tls", certificate.certificate.string(), certificate.key.string(),
                                      "--record", records.path().string()},
                                     true};

    ShippingDestinationPtr makeShipping() {
        return make(server.url("/api/entries/"), certificate.certificate.string());
    }

    void answerWith(int status) { writeFile(records.path() / "status", std::to_string(status)); }

    std::vector<Received> received() {
        std::vector<Received> out;
        for (int n = 1; fs::exists(records.path() / ("request-" + std::to_string(n) + ".json")); ++n) {
            Received r;
            r.request = json::parse(readFile(records.path() / ("request-" + std::to_string(n) + ".json")));
            const json body = json::parse(r.request["body"].get<std::string>());
            EXPECT_EQ(body.size(), 1u);
            const auto plain = decrypt(body["payload"], kKey);
            EXPECT_TRUE(plain.has_value());
            if (plain) r.payload = json::parse(*plain);
            out.push_back(std::move(r));
        }
        return out;
    }

    static std::string header(const json& request, const std::string& name) {
        for (const auto& pair : request["headers"]) {
            if (pair[0] == name) return pair[1];
        }
        return "<absent>";
    }
};

TEST_F(ShippingUpload, BatchArrivesAuthorizedEncryptedAndComplete) {
    auto destination = makeShipping();
    for (int i = 1; i <= 10; ++i) log(destination, LogFacilityLevel::debug, "message " + std::to_string(i));
    ASSERT_TRUE(http->waitForCompletion());

    const auto arrivals = received();
    ASSERT_EQ(arrivals.size(), 1u);
    const json& request = arrivals[0].request;
    EXPECT_EQ(request["method"], "POST");
    EXPECT_EQ(request["path"], "/api/entries/");
    EXPECT_EQ(header(request, "Content-Type"), "application/json");
    EXPECT_EQ(header(request, "Accept"), "application/json");
    EXPECT_EQ(header(request, "Authorization"), "Basic YXBwOnMzY3JldDp4");  // "app:s3cret:x"

    const json& payload = arrivals[0].payload;
    ASSERT_EQ(payload.size(), 2u);
    const json& device = payload["device"];
    EXPECT_EQ(device["os"], "OSX");
    EXPECT_EQ(device["uuid"], destination->uuid());
    EXPECT_EQ(device["starts"], 1);
    EXPECT_EQ(device["appVersion"], "2.5.1");
    EXPECT_EQ(device["appBuild"], 317);
    EXPECT_EQ(device["hostName"], "");
    const json& entries = payload["entries"];
    ASSERT_EQ(entries.size(), 10u);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(entries[i]["message"], "message " + std::to_string(i + 1));
        EXPECT_EQ(entries[i]["level"], 1);
        EXPECT_EQ(entries[i]["fileName"], "LoggerService.cpp");
        EXPECT_EQ(entries[i]["function"], "ship()");
        EXPECT_EQ(entries[i]["line"], 12);
        EXPECT_EQ(entries[i]["thread"], "worker.queue");
        EXPECT_EQ(entries[i].size(), 7u);
    }

    EXPECT_FALSE(fs::exists(base / "sending.json"));
    EXPECT_EQ(onQueue(destination, [&] { return destination->points(); }), 0);
    EXPECT_FALSE(onQueue(destination, [&] { return destination->sendingInProgress(); }));
}

TEST_F(ShippingUpload, FailedBatchIsResentUnchangedAndOnly200DeletesIt) {
    answerWith(201);
    auto destination = makeShipping();
    log(destination, LogFacilityLevel::error, "first");
    ASSERT_TRUE(http->waitForCompletion());
    EXPECT_TRUE(fs::exists(base / "sending.json"));
    EXPECT_EQ(onQueue(destination, [&] { return destination->points(); }), 0);
    const auto messages = takeDiagnostics();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "ShippingDestination: Error! Sending entries to server failed with status code 201"),
              messages.end());

    answerWith(200);
    log(destination, LogFacilityLevel::error, "second");  // waits in the entries file
    ASSERT_TRUE(http->waitForCompletion());
    const auto arrivals = received();
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_EQ(arrivals[0].payload["entries"], arrivals[1].payload["entries"]);
    EXPECT_EQ(arrivals[1].payload["entries"].size(), 1u);
    EXPECT_EQ(arrivals[1].payload["entries"][0]["message"], "first");
    EXPECT_FALSE(fs::exists(base / "sending.json"));
    EXPECT_EQ(lineCount(base / "entries.json"), 1u);

    log(destination, LogFacilityLevel::error, "third");  // moves "second" and "third"
    ASSERT_TRUE(http->waitForCompletion());
    const auto all = received();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].payload["entries"].size(), 2u);
}

TEST_F(ShippingUpload, AtMostOneBatchInFlight) {
    auto destination = makeShipping();
    // Both calls run in one queue item, so the first upload cannot have finished when
    // the second call crosses the threshold: its batch waits.
    onQueue(destination, [&] {
        destination->send(LogFacilityLevel::error, "a", "", "/f", "f()", 1, std::nullopt);
        EXPECT_TRUE(destination->sendingInProgress());
        destination->send(LogFacilityLevel::error, "b", "", "/f", "f()", 1, std::nullopt);
    });
    ASSERT_TRUE(http->waitForCompletion());
    EXPECT_EQ(received().size(), 1u);
    EXPECT_EQ(lineCount(base / "entries.json"), 1u);
}

TEST_F(ShippingUpload, UntrustedServerKeepsTheBatch) {
    auto untrusted = make(server.url("/api/entries/"));  // no CA file
    log(untrusted, LogFacilityLevel::error, "x");
    ASSERT_TRUE(http->waitForCompletion());
    EXPECT_TRUE(received().empty());
    EXPECT_TRUE(fs::exists(base / "sending.json"));
    EXPECT_FALSE(onQueue(untrusted, [&] { return untrusted->sendingInProgress(); }));
    const auto messages = takeDiagnostics();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const std::string& m) {
        return m.starts_with("ShippingDestination: Error! Could not send entries to server. ");
    }));
}

}  // namespace
}  // namespace kiv::shippingtest
