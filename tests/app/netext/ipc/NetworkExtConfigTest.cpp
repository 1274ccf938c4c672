#include <gtest/gtest.h>

#include "app/netext/ipc/NetworkExtConfig.hpp"
#include "model/JSONCoder.hpp"

namespace kiv {
namespace {

using model::AnyJSONValue;

model::DeviceConfiguration configuration(std::string_view json) {
    auto decoded = model::DeviceConfiguration::fromJSONString(json, model::TextEncoding::utf8);
    if (!decoded) throw std::runtime_error(decoded.error().description());
    return *decoded;
}

NetworkExtConfig record(std::string_view deviceJSON) {
    return NetworkExtConfig{
        "uuid-1", "0123456789abcdef0123456789abcdef", {"10.0.0.1"}, configuration(deviceJSON)};
}

// {"filter": [items...]} as a dictionary, for comparisons.
FilterDictionary entry(AnyJSONValue::List items) { return {{"filter", AnyJSONValue(std::move(items))}}; }
AnyJSONValue item(std::string key, AnyJSONValue value) {
    return AnyJSONValue(FilterDictionary{{key, value}});
}
AnyJSONValue texts(std::vector<std::string> values) {
    return AnyJSONValue(AnyJSONValue::List(values.begin(), values.end()));
}

TEST(NetworkExtConfig, ConfigurationsWithoutRulesGiveNothing) {
    for (const char* json : {R"({"jsonrpc":"2.0"})", R"({"result":{}})", R"({"result":{"filters":[]}})"}) {
        EXPECT_TRUE(record(json).forwardingResolvers().empty()) << json;
        EXPECT_TRUE(filterDictionaries(configuration(json)).empty()) << json;
    }
}

TEST(NetworkExtConfig, ResolversOfAllRulesInOrderWithDuplicates) {
    const auto r = record(R"({"result":{"filters":[
        {"domain":"a.example","resolvers":["R1"]},
        {"rule":"10.0.0.0/8"},
        {"resolvers":["R2","R1"]}]}})");
    EXPECT_EQ(r.forwardingResolvers(), (std::vector<std::string>{"R1", "R2", "R1"}));
}

TEST(NetworkExtConfig, FilterEntriesKeepResolversDomainRuleOrder) {
    const auto config = configuration(R"({"result":{"filters":[
        {"resolvers":["R1","R2"],"domain":"D"},
        {},
        {"rule":"192.168.0.0/16","domain":"corp","resolvers":[]}]}})");
    const std::vector<FilterDictionary> expected = {
        entry({item("resolvers", texts({"R1", "R2"})), item("domain", "D")}),
        entry({}),
        entry({item("resolvers", texts({})), item("domain", "corp"), item("rule", "192.168.0.0/16")}),
    };
    EXPECT_EQ(filterDictionaries(config), expected);
}

TEST(NetworkExtConfig, FilterEntriesSkipValuesOfOtherTypes) {
    const std::vector<FilterDictionary> rules = {
        {{"resolvers", AnyJSONValue("R1")}, {"domain", AnyJSONValue(5)}, {"rule", AnyJSONValue(true)}},
        {{"resolvers", AnyJSONValue(AnyJSONValue::List{AnyJSONValue("R1"), AnyJSONValue(2)})},
         {"domain", AnyJSONValue("ok")},
         {"other", AnyJSONValue("ignored")}},
    };
    const std::vector<FilterDictionary> expected = {entry({}), entry({item("domain", "ok")})};
    EXPECT_EQ(filterEntries(rules), expected);
    EXPECT_TRUE(filterEntries({}).empty());
}

TEST(NetworkExtConfig, EncodesAllFourKeysInDeclarationOrderAndRoundTrips) {
    const auto original = record(R"({"id":7,"result":{"filters":[{"domain":"d","resolvers":["R"]}]}})");
    auto json = model::JSONEncoder{}.encode(original);
    ASSERT_TRUE(json.has_value());
    EXPECT_EQ(json->rfind(R"({"UDDID":"uuid-1","locationKey":"0123456789abcdef0123456789abcdef",)"
                          R"("resolvers":["10.0.0.1"],"deviceConfig":{)",
                          0),
              0u)
        << *json;
    auto back = model::JSONDecoder{}.decode<NetworkExtConfig>(*json);
    ASSERT_TRUE(back.has_value()) << back.error().description();
    EXPECT_EQ(back->UDDID, original.UDDID);
    EXPECT_EQ(back->locationKey, original.locationKey);
    EXPECT_EQ(back->resolvers, original.resolvers);
    EXPECT_EQ(*back->deviceConfig.jsonString(model::TextEncoding::utf8),
              *original.deviceConfig.jsonString(model::TextEncoding::utf8));
}

TEST(NetworkExtConfig, DecodingNeedsEveryKeyWithItsType) {
    const char* valid = R"({"UDDID":"u","locationKey":"l","resolvers":["r"],"deviceConfig":{}})";
    EXPECT_TRUE((model::JSONDecoder{}.decode<NetworkExtConfig>(valid).has_value()));
    for (const char* json : {
             R"({"UDDID":"u","locationKey":"l","resolvers":["r"]})",                  // no deviceConfig
             R"({"locationKey":"l","resolvers":["r"],"deviceConfig":{}})",            // no UDDID
             R"({"UDDID":"u","locationKey":"l","resolvers":"r","deviceConfig":{}})",  // resolvers not a list
             R"({"UDDID":1,"locationKey":"l","resolvers":[],"deviceConfig":{}})",     // UDDID not text
             R"({"UDDID":"u","locationKey":null,"resolvers":[],"deviceConfig":{}})",  // null key
             R"({"UDDID":"u","locationKey":"l","resolvers":[],"deviceConfig":[]})",   // config not an object
             R"([])",
         }) {
        EXPECT_FALSE((model::JSONDecoder{}.decode<NetworkExtConfig>(json).has_value())) << json;
    }
}

TEST(NetworkExtConfig, CodingKeysAreTextsOnly) {
    EXPECT_EQ(NetworkExtConfig::codingKey("deviceConfig"), NetworkExtConfig::CodingKeys::deviceConfig);
    EXPECT_EQ(NetworkExtConfig::stringValue(NetworkExtConfig::CodingKeys::UDDID), "UDDID");
    EXPECT_EQ(NetworkExtConfig::codingKey("uddid"), std::nullopt);
    EXPECT_EQ(NetworkExtConfig::codingKey(0), std::nullopt);
}

TEST(ForwardingRule, IsEmpty) {
    using V = std::vector<std::string>;
    struct Case {
        std::optional<std::string> domain;
        std::optional<V> resolvers;
        std::optional<std::string> rule;
        bool empty;
    };
    for (const auto& c : {
             Case{std::nullopt, std::nullopt, std::nullopt, true},
             Case{"", V{}, std::nullopt, true},
             Case{"", V{""}, std::nullopt, true},
             Case{"", V{"", "R2"}, std::nullopt, true},  // only the first resolver counts
             Case{std::nullopt, V{"R1"}, std::nullopt, false},
             Case{"", V{}, "", false},  // a rule text, even empty
             Case{"d", std::nullopt, std::nullopt, false},
         }) {
        const model::ForwardingRule rule{c.domain, c.resolvers, c.rule};
        EXPECT_EQ(isEmpty(rule), c.empty) << c.domain.value_or("<none>") << " " << c.rule.value_or("<none>");
    }
}

}  // namespace
}  // namespace kiv
