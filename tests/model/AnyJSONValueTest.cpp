#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <set>
#include <string>

#include "model/AnyJSONValue.hpp"
#include "model/ForwardingRule.hpp"
#include "model/JSONCoder.hpp"

namespace model {
namespace {

AnyJSONValue decoded(const std::string& text) {
    auto value = JSONDecoder{}.decode<AnyJSONValue>(text);
    if (!value) ADD_FAILURE() << text << ": " << value.error().description();
    return std::move(*value);
}

std::string written(const AnyJSONValue& value, JSONEncoder encoder = {.sortedKeys = true}) {
    auto text = encoder.encode(value);
    if (!text) ADD_FAILURE() << text.error().description();
    return text.value_or("");
}

TEST(AnyJSONValue, NullIsTheEmptyMarker) {
    AnyJSONValue null = decoded("null");
    EXPECT_TRUE(null.isEmpty());
    EXPECT_EQ(written(null), "null");
    EXPECT_EQ(null.description(), "nil");
    EXPECT_EQ(null.debugDescription(), "AnyJSONValue(nil)");
    EXPECT_EQ(AnyJSONValue(nullptr), AnyJSONValue::of(std::optional<int>()));
    EXPECT_EQ(null, AnyJSONValue());
}

TEST(AnyJSONValue, ScalarsDecodeToTheirFirstMatchingType) {
    EXPECT_NE(decoded("1").get<std::int64_t>(), nullptr);
    EXPECT_NE(decoded("-1").get<std::int64_t>(), nullptr);
    EXPECT_NE(decoded("1.5").get<double>(), nullptr);
    EXPECT_NE(decoded("1.0").get<double>(), nullptr);
    ASSERT_NE(decoded("18446744073709551615").get<std::uint64_t>(), nullptr);
    EXPECT_EQ(*decoded("18446744073709551615").get<std::uint64_t>(), 18446744073709551615u);
    EXPECT_EQ(written(decoded("18446744073709551615")), "18446744073709551615");
    EXPECT_NE(decoded("true").get<bool>(), nullptr);
    EXPECT_EQ(*decoded("\"abc\"").asString(), "abc");
}

TEST(AnyJSONValue, DecodedListsAndDictionariesEqualThemselvesAndTheirCopies) {
    AnyJSONValue list = decoded(R"([1,"a",null,[true],{"k":2.5}])");
    EXPECT_EQ(list, list);
    EXPECT_EQ(list, decoded(R"([1, "a", null, [true], {"k": 2.5}])"));
    EXPECT_FALSE(list == decoded(R"([1,"a",null,[false],{"k":2.5}])"));
    EXPECT_FALSE(list == decoded(R"([1,"a",null,[true]])"));
    AnyJSONValue object = decoded(R"({"b":[1,2],"a":{"x":null}})");
    EXPECT_EQ(object, decoded(R"({"a":{"x":null},"b":[1,2]})"));
    EXPECT_FALSE(object == decoded(R"({"a":{"x":null},"c":[1,2]})"));
    EXPECT_EQ(written(list), R"([1,"a",null,[true],{"k":2.5}])");
    EXPECT_EQ(written(object), R"({"a":{"x":null},"b":[1,2]})");
}

TEST(AnyJSONValue, ValuesOfDifferentTypesAreUnequal) {
    EXPECT_FALSE(AnyJSONValue(1) == AnyJSONValue(1.0));
    EXPECT_FALSE(AnyJSONValue::of(std::int8_t{1}) == AnyJSONValue(1));
    EXPECT_FALSE(AnyJSONValue(1) == AnyJSONValue(true));
    EXPECT_FALSE(AnyJSONValue("1") == AnyJSONValue(1));
    EXPECT_EQ(AnyJSONValue::of(std::int8_t{1}), AnyJSONValue::of(std::int8_t{1}));
    EXPECT_FALSE(AnyJSONValue(std::nan("")) == AnyJSONValue(std::nan("")));
    EXPECT_FALSE(AnyJSONValue::of(std::set<int>{1}) == AnyJSONValue::of(std::set<int>{1}));
}

TEST(AnyJSONValue, DictionaryLiteralKeepsTheFirstValueOfARepeatedKey) {
    AnyJSONValue value = AnyJSONValue::dictionary({{"a", 1}, {"b", 2}, {"a", 3}});
    EXPECT_EQ(*value.get<AnyJSONValue::Dictionary>()->at("a").get<std::int64_t>(), 1);
    EXPECT_EQ(written(value), R"({"a":1,"b":2})");
}

TEST(AnyJSONValue, EveryHeldTypeEncodes) {
    EXPECT_EQ(written(AnyJSONValue::of(std::int8_t{-8})), "-8");
    EXPECT_EQ(written(AnyJSONValue::of(std::uint16_t{65535})), "65535");
    EXPECT_EQ(written(AnyJSONValue::of(0.1f)), "0.1");
    EXPECT_EQ(written(AnyJSONValue("x/y")), "\"x/y\"");
    EXPECT_EQ(written(AnyJSONValue::of(AnyJSONValue::URL{"https://example.org/a?b"})),
              "\"https://example.org/a?b\"");
    EXPECT_EQ(written(AnyJSONValue::list({1, "a", nullptr, AnyJSONValue::list({})})), R"([1,"a",null,[]])");
    EXPECT_EQ(written(AnyJSONValue(AnyJSONValue::Dictionary{})), "{}");
}

TEST(AnyJSONValue, DatesFollowTheEncodersDateStrategy) {
    // 2001-01-01T00:00:01.5Z: 1.5 seconds after the reference date.
    AnyJSONValue::Date date{std::chrono::milliseconds(978307201500LL)};
    AnyJSONValue value = AnyJSONValue::of(date);
    EXPECT_EQ(written(value, JSONEncoder{}), "1.5");
    EXPECT_EQ(written(value, JSONEncoder{.dateEncodingStrategy = DateEncodingStrategy::iso8601}),
              "\"2001-01-01T00:00:01Z\"");
    EXPECT_EQ(value.description(), "2001-01-01 00:00:01 +0000");
}

TEST(AnyJSONValue, UnencodableValuesFailWithTheirDescription) {
    auto set = JSONEncoder{}.encode(AnyJSONValue::of(std::set<int>{1, 2}));
    ASSERT_FALSE(set);
    EXPECT_EQ(set.error().kind(), CodingError::Kind::invalidValue);
    EXPECT_EQ(set.error().debugDescription(), "AnyJSONValue value cannot be encoded");

    auto nested = JSONEncoder{}.encode(
        AnyJSONValue::dictionary({{"k", AnyJSONValue::list({AnyJSONValue::of(std::set<int>{})})}}));
    ASSERT_FALSE(nested);
    EXPECT_EQ(describeCodingPath(nested.error().codingPath()), "k[0]");

    auto infinite = JSONEncoder{}.encode(AnyJSONValue(HUGE_VAL));
    ASSERT_FALSE(infinite);
    EXPECT_EQ(infinite.error().kind(), CodingError::Kind::invalidValue);
}

TEST(AnyJSONValue, NestingBuiltInCodeIsCappedWhenEncoding) {
    AnyJSONValue deep = AnyJSONValue::list({});
    for (int i = 0; i < kMaxJSONNesting + 5; ++i) deep = AnyJSONValue::list({deep});
    auto text = JSONEncoder{}.encode(deep);
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().kind(), CodingError::Kind::invalidValue);
}

TEST(AnyJSONValue, Descriptions) {
    EXPECT_EQ(AnyJSONValue(true).description(), "true");
    EXPECT_EQ(AnyJSONValue(42).description(), "42");
    EXPECT_EQ(AnyJSONValue("abc").description(), "abc");
    EXPECT_EQ(AnyJSONValue("abc").debugDescription(), "AnyJSONValue(\"abc\")");
    EXPECT_EQ(AnyJSONValue(42).debugDescription(), "AnyJSONValue(42)");
    EXPECT_EQ(AnyJSONValue(2.5).description(), "2.5");
    EXPECT_EQ(AnyJSONValue(100.0).description(), "100.0");
    EXPECT_EQ(decoded(R"([1,"a",null])").description(), "[1, \"a\", nil]");
    EXPECT_EQ(decoded(R"({"k":2.5})").description(), "[\"k\": 2.5]");
    EXPECT_EQ(decoded("{}").description(), "[:]");
}

TEST(AnyJSONValue, ForwardingRuleMembersReadBackAsPlainValues) {
    // How the provider configuration turns a rule into "filter" items.
    ForwardingRule rule{.domain = "example.org",
                        .resolvers = std::vector<std::string>{"10.0.0.1", "10.0.0.2"},
                        .rule = std::nullopt};
    auto text = rule.jsonString(TextEncoding::utf8);
    ASSERT_TRUE(text && *text);
    auto members = JSONDecoder{}.decode<AnyJSONValue>(**text);
    ASSERT_TRUE(members);
    const auto* dictionary = members->get<AnyJSONValue::Dictionary>();
    ASSERT_NE(dictionary, nullptr);
    EXPECT_EQ(dictionary->size(), 2u);
    EXPECT_EQ(*dictionary->at("domain").asString(), "example.org");
    EXPECT_EQ(dictionary->at("resolvers").asStringList(), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(decoded("[]").asStringList(), std::vector<std::string>{});
    EXPECT_FALSE(decoded(R"(["a",1])").asStringList());
    EXPECT_FALSE(decoded(R"("a")").asStringList());
}

}  // namespace
}  // namespace model
