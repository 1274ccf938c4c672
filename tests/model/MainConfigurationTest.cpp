// The reply envelope of the device server: which replies decode, and the exact text they are
// written back as.
#include <gtest/gtest.h>

#include <string>

#include "model/JSONCoder.hpp"
#include "model/MainConfiguration.hpp"

namespace model {
namespace {

using K = CodingError::Kind;

struct ReplyCase {
    std::string name;
    std::string json;
    std::string written;  // jsonString(utf8) of the decoded reply; "" when it must not decode
    K kind;               // when it does not decode
    std::string path;     // when it does not decode
};

ReplyCase decodes(std::string name, std::string json, std::string written) {
    return ReplyCase{std::move(name), std::move(json), std::move(written), K{}, ""};
}
ReplyCase fails(std::string name, std::string json, K kind, std::string path) {
    return ReplyCase{std::move(name), std::move(json), "", kind, std::move(path)};
}

class ReplyRules : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyRules, DecodeWholeOrNotAtAllAndWriteSortedCompactText) {
    const ReplyCase& c = GetParam();
    const bool decodes = !c.written.empty();
    auto reply = JSONDecoder{}.decode<MainConfiguration>(c.json);
    auto fromText = MainConfiguration::fromJSONString(c.json, TextEncoding::utf8);
    ASSERT_EQ(reply.has_value(), decodes) << c.json << (reply ? "" : " -> " + reply.error().description());
    ASSERT_EQ(fromText.has_value(), decodes);
    if (!decodes) {
        EXPECT_EQ(reply.error().kind(), c.kind) << reply.error().description();
        EXPECT_EQ(describeCodingPath(reply.error().codingPath()), c.path);
        EXPECT_EQ(fromText.error().domain, "NSCocoaErrorDomain");
        EXPECT_EQ(fromText.error().code,
                  c.kind == K::keyNotFound || c.kind == K::valueNotFound ? 4865 : 4864);
        return;
    }
    EXPECT_TRUE(*reply == *fromText);
    auto text = reply->jsonString(TextEncoding::utf8);
    ASSERT_TRUE(text && *text);
    EXPECT_EQ(**text, c.written);
    // What was written reads back as the same reply and writes the same text again.
    auto again = MainConfiguration::fromJSONString(**text, TextEncoding::utf8);
    ASSERT_TRUE(again);
    EXPECT_TRUE(*again == *reply);
    EXPECT_EQ(**again->jsonString(TextEncoding::utf8), c.written);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplyRules,
    ::testing::Values(
        decodes("registered", R"({"jsonrpc":"2.0","id":1,"result":{"device":"d","name":"n","type":"t"}})",
                R"({"id":1,"jsonrpc":"2.0","result":{"device":"d","name":"n","type":"t"}})"),
        decodes("unauthorized",
                R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"Unauthorized"}})",
                R"({"error":{"code":-32000,"message":"Unauthorized"},"id":1,"jsonrpc":"2.0"})"),
        decodes("errorDataNull", R"({"jsonrpc":"2.0","error":{"message":"m","data":null,"code":1}})",
                R"({"error":{"code":1,"message":"m"},"jsonrpc":"2.0"})"),
        decodes(
            "errorDataObject",
            R"({"jsonrpc":"2.0","error":{"code":1,"data":{"detail":"x","b":[1.5,null,{"z":0,"é":""}]},"message":"m"}})",
            R"({"error":{"code":1,"data":{"b":[1.5,null,{"z":0,"é":""}],"detail":"x"},"message":"m"},"jsonrpc":"2.0"})"),
        decodes(
            "errorAndResult",
            R"({"jsonrpc":"x","error":{"code":0,"message":""},"result":{"device":"","name":"","type":""}})",
            R"({"error":{"code":0,"message":""},"jsonrpc":"x","result":{"device":"","name":"","type":""}})"),
        decodes("nulls", R"({"jsonrpc":"2.0","id":null,"error":null,"result":null})", R"({"jsonrpc":"2.0"})"),
        decodes("idMinimum", R"({"jsonrpc":"","id":-9223372036854775808})",
                R"({"id":-9223372036854775808,"jsonrpc":""})"),
        decodes("unknownMembers",
                R"({"jsonrpc":"2.0","extra":true,"result":{"x":{},"device":"d","name":"n","type":"t"}})",
                R"({"jsonrpc":"2.0","result":{"device":"d","name":"n","type":"t"}})"),
        decodes("sortedKeys", R"({"result":{"type":"t","name":"n","device":"d"},"jsonrpc":"2.0"})",
                R"({"jsonrpc":"2.0","result":{"device":"d","name":"n","type":"t"}})"),
        // a missing required member or a wrong type anywhere fails the whole reply
        fails("jsonrpcMissing", R"({"id":1,"result":{"device":"d","name":"n","type":"t"}})", K::keyNotFound,
              "<root>"),
        fails("jsonrpcNull", R"({"jsonrpc":null})", K::valueNotFound, "jsonrpc"),
        fails("jsonrpcNumber", R"({"jsonrpc":2.0})", K::typeMismatch, "jsonrpc"),
        fails("idString", R"({"jsonrpc":"2.0","id":"1"})", K::typeMismatch, "id"),
        fails("idFraction", R"({"jsonrpc":"2.0","id":1.5})", K::dataCorrupted, "id"),
        fails("idTooLarge", R"({"jsonrpc":"2.0","id":9223372036854775808})", K::dataCorrupted, "id"),
        fails("resultWithoutType", R"({"jsonrpc":"2.0","result":{"device":"d","name":"n"}})", K::keyNotFound,
              "result"),
        fails("resultTypeNull", R"({"jsonrpc":"2.0","result":{"device":"d","name":"n","type":null}})",
              K::valueNotFound, "result.type"),
        fails("resultDeviceNumber", R"({"jsonrpc":"2.0","result":{"device":1,"name":"n","type":"t"}})",
              K::typeMismatch, "result.device"),
        fails("resultString", R"({"jsonrpc":"2.0","result":"ok"})", K::typeMismatch, "result"),
        fails("errorArray", R"({"jsonrpc":"2.0","error":[]})", K::typeMismatch, "error"),
        fails("errorCodeString", R"({"jsonrpc":"2.0","error":{"code":"1","message":"m"}})", K::typeMismatch,
              "error.code"),
        fails("errorCodeFraction", R"({"jsonrpc":"2.0","error":{"code":-1.5,"message":"m"}})",
              K::dataCorrupted, "error.code"),
        fails("errorMessageMissing", R"({"jsonrpc":"2.0","error":{"code":1}})", K::keyNotFound, "error"),
        fails("topArray", R"([{"jsonrpc":"2.0"}])", K::typeMismatch, "<root>"),
        fails("topNull", "null", K::valueNotFound, "<root>"),
        fails("truncated", R"({"jsonrpc":"2.0")", K::dataCorrupted, "<root>")),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

TEST(MainConfigurationText, BuiltValueRoundTripsAndTextEncodingsAreHonoured) {
    MainConfiguration reply;
    reply.jsonrpc = "2.0";
    reply.id = 42;
    reply.result = DCResult{.device = "dev-1", .name = "Büro \"Mac\"", .type = "linux"};
    reply.error = DeviceError{.code = -32601, .data = std::nullopt, .message = "Method not found"};

    auto text = reply.jsonString(TextEncoding::utf8);
    ASSERT_TRUE(text && *text);
    auto back = MainConfiguration::fromJSONString(**text, TextEncoding::utf8);
    ASSERT_TRUE(back);
    EXPECT_TRUE(*back == reply);
    back->result->name = "other";
    EXPECT_FALSE(*back == reply);

    // Not representable in ASCII: no text and no error, on both sides.
    auto ascii = reply.jsonString(TextEncoding::ascii);
    ASSERT_TRUE(ascii);
    EXPECT_FALSE(*ascii);
    auto refused = MainConfiguration::fromJSONString(**text, TextEncoding::ascii);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), ErrorValue::jsonReaderError());
}

}  // namespace
}  // namespace model
