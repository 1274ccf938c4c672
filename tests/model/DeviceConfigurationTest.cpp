#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/Configuration.hpp"
#include "model/DeviceConfiguration.hpp"
#include "model/JSONCoder.hpp"

namespace model {
namespace {

Expected<DeviceConfiguration, CodingError> decode(const std::string& text) {
    return JSONDecoder{}.decode<DeviceConfiguration>(text);
}

std::string sortedText(const DeviceConfiguration& configuration) {
    auto text = configuration.jsonString(TextEncoding::utf8);
    if (!text || !*text) {
        ADD_FAILURE() << "no text";
        return "";
    }
    return **text;
}

DeviceConfiguration decodedConfiguration(const std::string& text) {
    auto configuration = decode(text);
    if (!configuration) ADD_FAILURE() << text << ": " << configuration.error().description();
    return std::move(*configuration);
}

// Wraps a runtime object into a whole configuration.
std::string withRuntime(const std::string& runtime) {
    return R"({"result":{"cfg":{"runtime":)" + runtime + "}}}";
}

// ---- members: present, absent, null, wrong type

struct MemberCase {
    std::string name;
    std::string json;
    bool decodes;
    CodingError::Kind kind;  // when it does not decode
    std::string path;        // when it does not decode
};

class MemberRules : public ::testing::TestWithParam<MemberCase> {};

TEST_P(MemberRules, FollowTheRequiredAndOptionalRules) {
    const MemberCase& c = GetParam();
    auto configuration = decode(c.json);
    ASSERT_EQ(configuration.has_value(), c.decodes)
        << c.json << (configuration ? "" : " -> " + configuration.error().description());
    if (!c.decodes) {
        EXPECT_EQ(configuration.error().kind(), c.kind) << configuration.error().description();
        EXPECT_EQ(describeCodingPath(configuration.error().codingPath()), c.path);
        // The text reader fails the same way, as the platform's error value.
        auto text = DeviceConfiguration::fromJSONString(c.json, TextEncoding::utf8);
        ASSERT_FALSE(text);
        EXPECT_EQ(text.error().domain, "NSCocoaErrorDomain");
        EXPECT_EQ(text.error().code,
                  c.kind == CodingError::Kind::keyNotFound || c.kind == CodingError::Kind::valueNotFound
                      ? 4865
                      : 4864);
    }
}

using K = CodingError::Kind;

INSTANTIATE_TEST_SUITE_P(
    Table, MemberRules,
    ::testing::Values(
        // optional members: missing and null are absent, any other type fails the whole tree
        MemberCase{"empty", "{}", true, {}, ""}, MemberCase{"resultNull", R"({"result":null})", true, {}, ""},
        MemberCase{"idNull", R"({"id":null})", true, {}, ""},
        MemberCase{"idString", R"({"id":"1"})", false, K::typeMismatch, "id"},
        MemberCase{"jsonrpcNumber", R"({"jsonrpc":2})", false, K::typeMismatch, "jsonrpc"},
        MemberCase{"resultArray", R"({"result":[]})", false, K::typeMismatch, "result"},
        MemberCase{"errorString", R"({"error":"x"})", false, K::typeMismatch, "error"},
        MemberCase{"actionsFlagNumber", R"({"result":{"actions":{"disable":1}}})", false, K::typeMismatch,
                   "result.actions.disable"},
        MemberCase{
            "actionsFlagNull", R"({"result":{"actions":{"disable":null,"upgrade":null}}})", true, {}, ""},
        MemberCase{"moveLocationWrong", R"({"result":{"actions":{"move":{"location":{"randomize":"yes"}}}}})",
                   false, K::typeMismatch, "result.actions.move.location.randomize"},
        MemberCase{"filtersNotList", R"({"result":{"filters":{}}})", false, K::typeMismatch,
                   "result.filters"},
        MemberCase{"filterElementNull", R"({"result":{"filters":[null]}})", false, K::valueNotFound,
                   "result.filters[0]"},
        MemberCase{"filterResolverNumber", R"({"result":{"filters":[{},{"resolvers":["a",1]}]}})", false,
                   K::typeMismatch, "result.filters[1].resolvers[1]"},
        MemberCase{"filterResolverNull", R"({"result":{"filters":[{"resolvers":[null]}]}})", false,
                   K::valueNotFound, "result.filters[0].resolvers[0]"},
        // required members: missing is keyNotFound, null is valueNotFound
        MemberCase{"persistentKeyMissing", R"({"result":{"cfg":{"persistent":{}}}})", false, K::keyNotFound,
                   "result.cfg.persistent"},
        MemberCase{"persistentKeyNull", R"({"result":{"cfg":{"persistent":{"key":null}}}})", false,
                   K::valueNotFound, "result.cfg.persistent.key"},
        MemberCase{"persistentKeyEmpty", R"({"result":{"cfg":{"persistent":{"key":""}}}})", true, {}, ""},
        MemberCase{"locationsMissing", withRuntime("{}"), false, K::keyNotFound, "result.cfg.runtime"},
        MemberCase{"locationsNull", withRuntime(R"({"locations":null})"), false, K::valueNotFound,
                   "result.cfg.runtime.locations"},
        MemberCase{"locationsEmpty", withRuntime(R"({"locations":[]})"), true, {}, ""},
        MemberCase{"tagMissing", withRuntime(R"({"locations":[{"name":"n","tag":"t"},{"name":"n"}]})"), false,
                   K::keyNotFound, "result.cfg.runtime.locations[1]"},
        MemberCase{"nameNumber", withRuntime(R"({"locations":[{"name":5,"tag":"t"}]})"), false,
                   K::typeMismatch, "result.cfg.runtime.locations[0].name"},
        MemberCase{"ruleMissing", withRuntime(R"({"locations":[{"name":"n","tag":"t"}]})"), true, {}, ""},
        MemberCase{"errorCodeMissing", R"({"error":{"message":"m"}})", false, K::keyNotFound, "error"},
        MemberCase{"errorMessageNull", R"({"error":{"code":1,"message":null}})", false, K::valueNotFound,
                   "error.message"},
        MemberCase{"errorCodeFraction", R"({"error":{"code":1.5,"message":"m"}})", false, K::dataCorrupted,
                   "error.code"},
        MemberCase{"errorDataNull", R"({"error":{"code":1,"data":null,"message":"m"}})", true, {}, ""},
        // enumerations: only the raw values; null is absent
        MemberCase{"logLevelUnknown", withRuntime(R"({"locations":[],"kiv":{"log_level":"Warning"}})"), false,
                   K::dataCorrupted, "result.cfg.runtime.kiv.log_level"},
        MemberCase{"logLevelEmpty", withRuntime(R"({"locations":[],"kiv":{"log_level":""}})"), false,
                   K::dataCorrupted, "result.cfg.runtime.kiv.log_level"},
        MemberCase{"logLevelNumber", withRuntime(R"({"locations":[],"kiv":{"log_level":2}})"), false,
                   K::typeMismatch, "result.cfg.runtime.kiv.log_level"},
        MemberCase{"logLevelNull", withRuntime(R"({"locations":[],"kiv":{"log_level":null}})"), true, {}, ""},
        MemberCase{"trayTypeCaseName", withRuntime(R"({"locations":[],"kiv":{"tray_type":"defaultType"}})"),
                   false, K::dataCorrupted, "result.cfg.runtime.kiv.tray_type"},
        // top level of another type
        MemberCase{"topArray", "[]", false, K::typeMismatch, "<root>"},
        MemberCase{"topNull", "null", false, K::valueNotFound, "<root>"}),
    [](const ::testing::TestParamInfo<MemberCase>& info) { return info.param.name; });

// ---- strict numbers

struct NumberCase {
    std::string name;
    std::string number;
    std::optional<std::int64_t> value;  // no value: the decode fails
    CodingError::Kind kind;
};

class StrictIntegers : public ::testing::TestWithParam<NumberCase> {};

TEST_P(StrictIntegers, AreNeverTruncatedWrappedOrTakenFromBooleans) {
    const NumberCase& c = GetParam();
    auto configuration = decode(R"({"id":)" + c.number + "}");
    ASSERT_EQ(configuration.has_value(), c.value.has_value()) << c.number;
    if (c.value) {
        EXPECT_EQ(configuration->id, c.value);
    } else {
        EXPECT_EQ(configuration.error().kind(), c.kind) << configuration.error().description();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StrictIntegers,
    ::testing::Values(NumberCase{"one", "1", 1, {}}, NumberCase{"minusOne", "-1", -1, {}},
                      NumberCase{"minusZero", "-0", 0, {}},
                      NumberCase{"max", "9223372036854775807", INT64_MAX, {}},
                      NumberCase{"min", "-9223372036854775808", INT64_MIN, {}},
                      NumberCase{"maxPlusOne", "9223372036854775808", std::nullopt, K::dataCorrupted},
                      NumberCase{"minMinusOne", "-9223372036854775809", std::nullopt, K::dataCorrupted},
                      NumberCase{"uint64Max", "18446744073709551615", std::nullopt, K::dataCorrupted},
                      NumberCase{"huge", "1000000000000000000000000", std::nullopt, K::dataCorrupted},
                      NumberCase{"fraction", "4.5", std::nullopt, K::dataCorrupted},
                      NumberCase{"wholeFraction", "1.0", std::nullopt, K::dataCorrupted},
                      NumberCase{"exponent", "1e2", std::nullopt, K::dataCorrupted},
                      NumberCase{"boolean", "true", std::nullopt, K::typeMismatch},
                      NumberCase{"text", "\"1\"", std::nullopt, K::typeMismatch},
                      NumberCase{"list", "[1]", std::nullopt, K::typeMismatch}),
    [](const ::testing::TestParamInfo<NumberCase>& info) { return info.param.name; });

TEST(DeviceConfiguration, BooleansAreNotNumbers) {
    EXPECT_FALSE(decode(R"({"result":{"actions":{"shutdown":0}}})"));
    EXPECT_FALSE(decode(R"({"result":{"actions":{"shutdown":"true"}}})"));
    EXPECT_EQ(decodedConfiguration(R"({"result":{"actions":{"shutdown":false}}})").result->actions->shutdown,
              false);
}

// ---- text operations

TEST(DeviceConfigurationText, EmptyObjectRoundTrips) {
    DeviceConfiguration empty = decodedConfiguration("{}");
    EXPECT_FALSE(empty.error || empty.id || empty.jsonrpc || empty.result);
    EXPECT_EQ(sortedText(empty), "{}");
    EXPECT_EQ(sortedText(DeviceConfiguration{}), "{}");
}

TEST(DeviceConfigurationText, UnknownMembersAreIgnoredAndNotWrittenBack) {
    DeviceConfiguration configuration = decodedConfiguration(
        R"({"jsonrpc":"2.0","x":1,"result":{"y":[1],"cfg":{"persistent":{"key":"k","z":null}}}})");
    EXPECT_EQ(sortedText(configuration), R"({"jsonrpc":"2.0","result":{"cfg":{"persistent":{"key":"k"}}}})");
}

TEST(DeviceConfigurationText, KeysAreSortedAtEveryDepth) {
    const std::string text = R"({
        "result": {
            "filters": [{"rule": "10.0.0.0/8", "resolvers": ["10.0.0.1"], "domain": "corp"}],
            "cfg": {
                "runtime": {
                    "user": "u", "reconfigure": 300,
                    "kiv": {"unbound_use_syslog": true, "tray_type": "default", "ncsi_url": "http://x/",
                            "ncsi_timeout": 5, "ncsi_interval_disconnected": 10, "ncsi_interval": 60,
                            "ncsi_event_delay": 2, "ncsi_echo_resolver": "1.1.1.1", "log_level": "diagnose",
                            "interfaces_to_ignore": ["utun9"], "unbound_log_queries": false},
                    "locations": [{"tag": "t1", "rule": "r", "name": "n1"}, {"tag": "", "name": ""}]
                },
                "persistent": {"key": "pk"}
            },
            "actions": {"upgrade": {"version": "2", "url": "u", "args": "a"}, "uninstall": false,
                        "shutdown": false, "move": {"rpc": "r", "location": {"randomize": true, "name": "l"}, "key": "k"},
                        "disable": true}
        },
        "jsonrpc": "2.0", "id": 7,
        "error": {"message": "m", "data": {"b": [1, {"d": null, "c": true}], "a": "x"}, "code": -32000}
    })";
    const std::string expected =
        R"({"error":{"code":-32000,"data":{"a":"x","b":[1,{"c":true,"d":null}]},"message":"m"},"id":7,"jsonrpc":"2.0",)"
        R"("result":{"actions":{"disable":true,"move":{"key":"k","location":{"name":"l","randomize":true},"rpc":"r"},)"
        R"("shutdown":false,"uninstall":false,"upgrade":{"args":"a","url":"u","version":"2"}},)"
        R"("cfg":{"persistent":{"key":"pk"},"runtime":{"kiv":{"interfaces_to_ignore":["utun9"],"log_level":"diagnose",)"
        R"("ncsi_echo_resolver":"1.1.1.1","ncsi_event_delay":2,"ncsi_interval":60,"ncsi_interval_disconnected":10,)"
        R"("ncsi_timeout":5,"ncsi_url":"http://x/","tray_type":"default","unbound_log_queries":false,)"
        R"("unbound_use_syslog":true},"locations":[{"name":"n1","rule":"r","tag":"t1"},{"name":"","tag":""}],)"
        R"("reconfigure":300,"user":"u"}},"filters":[{"domain":"corp","resolvers":["10.0.0.1"],"rule":"10.0.0.0/8"}]}})";
    DeviceConfiguration configuration = decodedConfiguration(text);
    EXPECT_EQ(sortedText(configuration), expected);
    // Written and read back, the tree writes the same text again.
    EXPECT_EQ(sortedText(decodedConfiguration(expected)), expected);
    const Kiv& kiv = *configuration.result->cfg->runtime->kiv;
    EXPECT_EQ(kiv.trayType, UITrayIconDisplayType::defaultType);
    EXPECT_EQ(kiv.logLevel, LogLevel::diagnose);
    EXPECT_EQ(kiv.ncsiIntervalDisconnected, 10);
}

TEST(DeviceConfigurationText, TextsDifferingInKeyOrderAndWhitespaceWriteTheSame) {
    DeviceConfiguration a =
        decodedConfiguration(R"({"id":1,"jsonrpc":"2.0","result":{"filters":[{"domain":"d","rule":"r"}]}})");
    DeviceConfiguration b = decodedConfiguration(
        "{ \"result\" : { \"filters\" : [ { \"rule\":\"r\" ,\n\"domain\":\"d\"} ] "
        "},\t\"jsonrpc\":\"2.0\",\"id\":1}");
    EXPECT_EQ(sortedText(a), sortedText(b));
}

TEST(DeviceConfigurationText, DefaultEncoderWritesMembersInDeclarationOrder) {
    DeviceConfiguration configuration =
        decodedConfiguration(withRuntime(R"({"user":"u","kiv":{},"locations":[]})"));
    auto text = JSONEncoder{}.encode(configuration);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, R"({"result":{"cfg":{"runtime":{"locations":[],"kiv":{},"user":"u"}}}})");
    EXPECT_EQ(sortedText(configuration),
              R"({"result":{"cfg":{"runtime":{"kiv":{},"locations":[],"user":"u"}}}})");
    // Either text reads back to an equal configuration.
    EXPECT_EQ(decodedConfiguration(*text), configuration);
}

TEST(DeviceConfigurationText, ForwardingRuleWritesOneObject) {
    ForwardingRule rule{.domain = "d", .resolvers = std::nullopt, .rule = std::nullopt};
    EXPECT_EQ(**rule.jsonString(TextEncoding::utf8), R"({"domain":"d"})");
    EXPECT_EQ(**ForwardingRule{}.jsonString(TextEncoding::utf8), "{}");
    ForwardingRule full{.domain = "a/b", .resolvers = std::vector<std::string>{}, .rule = ""};
    EXPECT_EQ(**full.jsonString(TextEncoding::utf8), R"({"domain":"a/b","resolvers":[],"rule":""})");
}

TEST(DeviceConfigurationText, ReaderErrors) {
    // Text that is not valid in the encoding: the reader's own error, nothing else tried.
    auto invalid = DeviceConfiguration::fromJSONString("{\"jsonrpc\":\"\xff\"}", TextEncoding::utf8);
    ASSERT_FALSE(invalid);
    EXPECT_EQ(invalid.error().domain, "JSONDecoding");
    EXPECT_EQ(invalid.error().code, 0);
    EXPECT_EQ(invalid.error(), ErrorValue::jsonReaderError());
    auto ascii =
        Configuration::fromJSONString("{\"persistent\":{\"key\":\"\xc3\xa9\"}}", TextEncoding::ascii);
    ASSERT_FALSE(ascii);
    EXPECT_EQ(ascii.error(), ErrorValue::jsonReaderError());
    // The empty text converts to no bytes, which are not JSON: the decoder's error.
    auto empty = DeviceConfiguration::fromJSONString("", TextEncoding::utf8);
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().domain, "NSCocoaErrorDomain");
    EXPECT_EQ(empty.error().code, 4864);
    // An empty object read as a Configuration has both members absent.
    auto configuration = Configuration::fromJSONString("{}", TextEncoding::utf8);
    ASSERT_TRUE(configuration);
    EXPECT_FALSE(configuration->persistent || configuration->runtime);
}

TEST(DeviceConfigurationText, KivKeepsEveryFieldUnderItsSnakeCaseKey) {
    Kiv kiv{.interfacesToIgnore = std::vector<std::string>{"a", "b"},
            .logLevel = LogLevel::warning,
            .ncsiEchoResolver = "r",
            .ncsiEventDelay = 1,
            .ncsiInterval = 2,
            .ncsiIntervalDisconnected = 3,
            .ncsiTimeout = 4,
            .ncsiURL = "u",
            .trayType = UITrayIconDisplayType::hidden,
            .unboundLogQueries = true,
            .unboundUseSyslog = false};
    auto text = JSONEncoder{.sortedKeys = true}.encode(kiv);
    ASSERT_TRUE(text);
    EXPECT_EQ(
        *text,
        R"({"interfaces_to_ignore":["a","b"],"log_level":"warning","ncsi_echo_resolver":"r","ncsi_event_delay":1,)"
        R"("ncsi_interval":2,"ncsi_interval_disconnected":3,"ncsi_timeout":4,"ncsi_url":"u","tray_type":"hidden",)"
        R"("unbound_log_queries":true,"unbound_use_syslog":false})");
    auto back = JSONDecoder{}.decode<Kiv>(*text);
    ASSERT_TRUE(back);
    EXPECT_EQ(*JSONEncoder{.sortedKeys = true}.encode(*back), *text);
    // Field names are not keys.
    auto byFieldName = JSONDecoder{}.decode<Kiv>(R"({"logLevel":"warning","ncsiURL":"u"})");
    ASSERT_TRUE(byFieldName);
    EXPECT_FALSE(byFieldName->logLevel || byFieldName->ncsiURL);
}

// ---- equality

TEST(DeviceConfigurationEquality, OnlyTheLocationListsCount) {
    const std::string locations = R"({"locations":[{"name":"n","tag":"t"}]})";
    DeviceConfiguration a = decodedConfiguration(
        R"({"id":1,"result":{"filters":[{"domain":"a"}],"cfg":{"runtime":)" + locations + "}}}");
    DeviceConfiguration b = decodedConfiguration(
        R"({"id":2,"jsonrpc":"2.0","result":{"filters":[],"cfg":{"persistent":{"key":"x"},"runtime":)"
        R"({"locations":[{"name":"n","tag":"t"}],"user":"other","reconfigure":5,"kiv":{}}}}})");
    EXPECT_EQ(a, b);
    EXPECT_NE(sortedText(a), sortedText(b));
}

TEST(DeviceConfigurationEquality, MissingListsEqualEachOtherButNotAnEmptyList) {
    DeviceConfiguration noResult = decodedConfiguration("{}");
    DeviceConfiguration noRuntime = decodedConfiguration(R"({"result":{"cfg":{}}})");
    DeviceConfiguration emptyList = decodedConfiguration(withRuntime(R"({"locations":[]})"));
    EXPECT_EQ(noResult, noRuntime);
    EXPECT_FALSE(noResult == emptyList);
    EXPECT_FALSE(emptyList == noRuntime);
    EXPECT_EQ(emptyList, emptyList);
}

TEST(DeviceConfigurationEquality, OrderOfLocationsMatters) {
    DeviceConfiguration ab =
        decodedConfiguration(withRuntime(R"({"locations":[{"name":"a","tag":"1"},{"name":"b","tag":"2"}]})"));
    DeviceConfiguration ba =
        decodedConfiguration(withRuntime(R"({"locations":[{"name":"b","tag":"2"},{"name":"a","tag":"1"}]})"));
    EXPECT_FALSE(ab == ba);
}

TEST(LocationsTagEquality, RuleAbsentDiffersFromEmptyRule) {
    LocationsTag absent{.name = "n", .rule = std::nullopt, .tag = "t"};
    LocationsTag empty{.name = "n", .rule = "", .tag = "t"};
    EXPECT_FALSE(absent == empty);
    EXPECT_EQ(absent, (LocationsTag{.name = "n", .rule = std::nullopt, .tag = "t"}));
    EXPECT_FALSE(absent == (LocationsTag{.name = "n", .rule = std::nullopt, .tag = "T"}));
}

TEST(LocationsTagEquality, CanonicallyEquivalentTextsAreEqual) {
    LocationsTag composed{.name = "caf\xc3\xa9", .rule = std::nullopt, .tag = "t"};
    LocationsTag decomposed{.name = "cafe\xcc\x81", .rule = std::nullopt, .tag = "t"};
    EXPECT_EQ(composed, decomposed);
    EXPECT_FALSE(composed == (LocationsTag{.name = "cafe", .rule = std::nullopt, .tag = "t"}));
    // Bytes that are not UTF-8 compare as bytes.
    EXPECT_FALSE((LocationsTag{.name = "\xff", .rule = std::nullopt, .tag = "t"}) ==
                 (LocationsTag{.name = "\xfe", .rule = std::nullopt, .tag = "t"}));
}

TEST(RuntimeEquality, ComparesOnlyLocations) {
    Runtime a{
        .locations = {{.name = "n", .rule = "r", .tag = "t"}}, .kiv = Kiv{}, .reconfigure = 1, .user = "a"};
    Runtime b{.locations = {{.name = "n", .rule = "r", .tag = "t"}},
              .kiv = std::nullopt,
              .reconfigure = std::nullopt,
              .user = std::nullopt};
    EXPECT_EQ(a, b);
    b.locations.push_back({.name = "m", .rule = std::nullopt, .tag = "u"});
    EXPECT_FALSE(a == b);
}

TEST(DeviceConfiguration, CopiesAreIndependentValues) {
    DeviceConfiguration original =
        decodedConfiguration(R"({"error":{"code":1,"data":[1,2],"message":"m"},"result":{"filters":[]}})");
    DeviceConfiguration copy = original;
    copy.result->filters->push_back(
        ForwardingRule{.domain = "x", .resolvers = std::nullopt, .rule = std::nullopt});
    EXPECT_TRUE(original.result->filters->empty());
    EXPECT_EQ(sortedText(original),
              R"({"error":{"code":1,"data":[1,2],"message":"m"},"result":{"filters":[]}})");
}

}  // namespace
}  // namespace model
