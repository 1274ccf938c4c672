#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "PythonOracle.hpp"
#include "model/AnyJSONValue.hpp"
#include "model/DeviceConfiguration.hpp"
#include "model/JSONAny.hpp"
#include "model/JSONCoder.hpp"
#include "model/JSONText.hpp"

namespace model {
namespace {

std::string nested(int depth, const std::string& open, const std::string& close,
                   const std::string& inner = "") {
    std::string text;
    text.reserve(depth * (open.size() + close.size()) + inner.size());
    for (int i = 0; i < depth; ++i) text += open;
    text += inner;
    for (int i = 0; i < depth; ++i) text += close;
    return text;
}

TEST(JSONParsing, NestingUpToTheCapIsAccepted) {
    EXPECT_TRUE(parseJSON(nested(kMaxJSONNesting, "[", "]")));
    auto objects = parseJSON(nested(kMaxJSONNesting, "{\"a\":", "}", "1"));
    ASSERT_TRUE(objects);
    EXPECT_TRUE(objects->is_object());
}

class HostileNesting : public ::testing::TestWithParam<std::string> {};

TEST_P(HostileNesting, FailsTheParseWithoutExhaustingTheStack) {
    auto parsed = parseJSON(GetParam());
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error().kind(), CodingError::Kind::dataCorrupted);
    EXPECT_EQ(parsed.error().debugDescription(), "The given data was not valid JSON.");
    auto asAny = JSONDecoder{}.decode<JSONAny>(GetParam());
    EXPECT_FALSE(asAny);
    auto asValue = JSONDecoder{}.decode<AnyJSONValue>(GetParam());
    EXPECT_FALSE(asValue);
}

INSTANTIATE_TEST_SUITE_P(Inputs, HostileNesting,
                         ::testing::Values(nested(kMaxJSONNesting + 1, "[", "]"),
                                           nested(kMaxJSONNesting + 1, "{\"a\":", "}", "1"),
                                           std::string(100000, '['),                // unterminated
                                           nested(100000, "[", "]"),                // terminated
                                           nested(100000, "{\"\":", "}", "null"),   // objects
                                           nested(50000, "[{\"k\":", "}]", "0")));  // alternating

class MalformedText : public ::testing::TestWithParam<std::string> {};

TEST_P(MalformedText, IsNotJSON) {
    auto parsed = parseJSON(GetParam());
    ASSERT_FALSE(parsed) << GetParam();
    EXPECT_EQ(parsed.error().kind(), CodingError::Kind::dataCorrupted);
    EXPECT_FALSE(parsed.error().underlying().empty());
}

INSTANTIATE_TEST_SUITE_P(Inputs, MalformedText,
                         ::testing::Values("", " ", "{", "}", "[1,]", "{\"a\":1,}", "{'a':1}", "tru", "nul",
                                           "01", "1.", ".5", "+1", "NaN", "Infinity", "-Infinity", "1e400",
                                           "-1e400", "[1e999]", "\"\\x\"", "\"\xff\"", "\"\xed\xa0\x80\"",
                                           "{} {}", "[1] x", "{\"a\" 1}", "/* c */ {}",
                                           std::string("{}\0", 3), std::string("{}\0garbage", 10),
                                           std::string("[\"a\0b\"]", 7), "\"a\nb\""));

TEST(JSONParsing, RepeatedKeysKeepTheLastValue) {
    auto parsed = parseJSON(R"({"a":1,"a":2})");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->at("a").get<int>(), 2);
}

TEST(JSONWriting, TextThatIsNotUTF8IsReplacedNotThrown) {
    ForwardingRule rule{.domain = std::string("bad\xff\xfe"
                                              "end"),
                        .resolvers = std::nullopt,
                        .rule = std::nullopt};
    auto text = rule.jsonString(TextEncoding::utf8);
    ASSERT_TRUE(text);
    ASSERT_TRUE(*text);
    EXPECT_EQ(**text,
              "{\"domain\":\"bad\xef\xbf\xbd\xef\xbf\xbd"
              "end\"}");
}

TEST(JSONWriting, TextOutsideTheEncodingGivesNoText) {
    ForwardingRule rule{.domain =
                            "b\xc3\xbc"
                            "cher.example",
                        .resolvers = std::nullopt,
                        .rule = std::nullopt};
    auto ascii = rule.jsonString(TextEncoding::ascii);
    ASSERT_TRUE(ascii);
    EXPECT_FALSE(*ascii);
    auto utf8 = rule.jsonString(TextEncoding::utf8);
    ASSERT_TRUE(utf8 && *utf8);
    EXPECT_EQ(**utf8,
              "{\"domain\":\"b\xc3\xbc"
              "cher.example\"}");
}

// ---- byte-for-byte agreement with python's json.dumps(sort_keys, compact, ensure_ascii=False)

const char* kDumpsScript = R"PY(
import json, sys
docs = open(sys.argv[1], encoding='utf-8').read().split('\n')
out = [json.dumps(json.loads(d), sort_keys=True, separators=(",", ":"), ensure_ascii=False) for d in docs if d]
sys.stdout.buffer.write('\n'.join(out).encode('utf-8'))
)PY";

// Random trees without floating numbers (python writes those differently), with keys and texts
// that stress sorting (non-ASCII, prefixes) and escaping (quotes, backslashes, control bytes).
class TreeMaker {
public:
    explicit TreeMaker(unsigned seed) : random_(seed) {}

    std::string value(int depth) {
        switch (pick(depth > 4 ? 4 : 7)) {
            case 0:
                return "null";
            case 1:
                return pick(2) ? "true" : "false";
            case 2:
                return std::to_string(static_cast<long long>(random_()) - static_cast<long long>(random_()));
            case 3:
                return "\"" + text() + "\"";
            case 4:
                return std::to_string(random_() % 1000);
            case 5: {
                std::string out = "[";
                for (int i = 0, n = pick(4); i < n; ++i) out += (i ? "," : "") + value(depth + 1);
                return out + "]";
            }
            default: {
                std::string out = "{";
                for (int i = 0, n = pick(5); i < n; ++i) {
                    out += (i ? "," : "") + std::string("\"") + text() + "\":" + value(depth + 1);
                }
                return out + "}";
            }
        }
    }

private:
    int pick(int n) { return static_cast<int>(random_() % n); }
    std::string text() {
        static const std::vector<std::string> pieces{"a",
                                                     "b",
                                                     "ab",
                                                     "B",
                                                     "Z",
                                                     "_",
                                                     "0",
                                                     "9",
                                                     " ",
                                                     "\\\"",
                                                     "\\\\",
                                                     "/",
                                                     "\\n",
                                                     "\\t",
                                                     "\\u0001",
                                                     "\\u001f",
                                                     "\xc3\xa9",
                                                     "e\xcc\x81",
                                                     "\xe2\x82\xac",
                                                     "\xf0\x9f\x98\x80",
                                                     "\xef\xbf\xbd",
                                                     "\x7f",
                                                     "\\u00e9",
                                                     "\\ud83d\\ude00"};
        std::string out;
        for (int i = 0, n = pick(4); i < n; ++i) out += pieces[pick(static_cast<int>(pieces.size()))];
        return out;
    }
    std::mt19937 random_;
};

TEST(JSONWriting, SortedCompactTextMatchesPythonJsonDumps) {
    std::vector<std::string> documents{
        R"({})",
        R"([])",
        R"({"b":1,"a":{"d":[],"c":{}},"A":null})",
        R"({"é":1,"e":2,"z":3,"€":4,"😀":5,"￿":6})",
        R"({"s":"quote \" backslash \\ slash / tab \t nl \n ctl \u0001 \u001f del )"
        "\x7f"
        R"("})",
        R"({"n":[0,-0,1,-1,9223372036854775807,-9223372036854775808]})",
        R"({"ab":1,"a":2,"a\u0000":3,"":4})"};
    TreeMaker maker(20240611);
    for (int i = 0; i < 200; ++i) documents.push_back(maker.value(0));

    std::string input;
    for (const std::string& document : documents) input += document + "\n";
    auto output = modeltest::runPython(kDumpsScript, input);
    ASSERT_TRUE(output) << "python3 did not run";
    std::vector<std::string> expected;
    std::size_t start = 0;
    while (true) {
        std::size_t end = output->find('\n', start);
        expected.push_back(output->substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    ASSERT_EQ(expected.size(), documents.size());

    for (std::size_t i = 0; i < documents.size(); ++i) {
        // As generic data of a reply's error, inside the configuration tree.
        std::string reply = R"({"error":{"code":1,"data":)" + documents[i] + R"(,"message":"m"}})";
        auto configuration = DeviceConfiguration::fromJSONString(reply, TextEncoding::utf8);
        ASSERT_TRUE(configuration) << documents[i] << ": " << configuration.error().message;
        auto text = configuration->jsonString(TextEncoding::utf8);
        ASSERT_TRUE(text && *text);
        // A null "data" is absent, and absent members are not written.
        std::string data = expected[i] == "null" ? "" : R"("data":)" + expected[i] + ",";
        EXPECT_EQ(**text, R"({"error":{"code":1,)" + data + R"("message":"m"}})") << documents[i];

        // And as a stand-alone generic value.
        auto value = JSONDecoder{}.decode<AnyJSONValue>(documents[i]);
        ASSERT_TRUE(value);
        auto written = JSONEncoder{.sortedKeys = true}.encode(*value);
        ASSERT_TRUE(written);
        EXPECT_EQ(*written, expected[i]) << documents[i];
    }
}

}  // namespace
}  // namespace model
