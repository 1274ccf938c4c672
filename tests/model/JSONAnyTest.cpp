#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "model/JSONAny.hpp"
#include "model/JSONCoder.hpp"
#include "model/JSONCodingKey.hpp"
#include "model/JSONNull.hpp"

namespace model {
namespace {

JSONAny decodedAny(const std::string& text) {
    auto value = JSONDecoder{}.decode<JSONAny>(text);
    if (!value) ADD_FAILURE() << text << ": " << value.error().description();
    return std::move(*value);
}

std::string written(const JSONAny& value) {
    auto text = JSONEncoder{.sortedKeys = true}.encode(value);
    if (!text) ADD_FAILURE() << text.error().description();
    return text.value_or("");
}

TEST(JSONAny, BooleansStayBooleansAndNumbersStayNumbers) {
    EXPECT_EQ(*decodedAny("true").value().get<bool>(), true);
    EXPECT_EQ(*decodedAny("false").value().get<bool>(), false);
    EXPECT_EQ(*decodedAny("1").value().get<std::int64_t>(), 1);
    EXPECT_EQ(*decodedAny("0").value().get<std::int64_t>(), 0);
    EXPECT_EQ(written(decodedAny("true")), "true");
    EXPECT_EQ(written(decodedAny("1")), "1");
}

struct AnyNumberCase {
    std::string text;
    bool integer;
    double value;
    std::string writtenBack;
};

class NumberKinds : public ::testing::TestWithParam<AnyNumberCase> {};

TEST_P(NumberKinds, IntegerOnlyWhenWrittenAsAnIntegerInRange) {
    const AnyNumberCase& c = GetParam();
    JSONAny value = decodedAny(c.text);
    if (c.integer) {
        ASSERT_NE(value.value().get<std::int64_t>(), nullptr) << c.text;
        EXPECT_EQ(static_cast<double>(*value.value().get<std::int64_t>()), c.value);
    } else {
        ASSERT_NE(value.value().get<double>(), nullptr) << c.text;
        EXPECT_EQ(*value.value().get<double>(), c.value);
    }
    EXPECT_EQ(written(value), c.writtenBack);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NumberKinds,
    ::testing::Values(
        AnyNumberCase{"42", true, 42, "42"}, AnyNumberCase{"-7", true, -7, "-7"},
        AnyNumberCase{"-0", true, 0, "0"}, AnyNumberCase{"4.5", false, 4.5, "4.5"},
        AnyNumberCase{"1.0", false, 1.0, "1.0"}, AnyNumberCase{"1e2", false, 100.0, "100.0"},
        AnyNumberCase{"-0.0", false, -0.0, "-0.0"},
        AnyNumberCase{"9223372036854775807", true, 9223372036854775807.0, "9223372036854775807"},
        AnyNumberCase{"-9223372036854775808", true, -9223372036854775808.0, "-9223372036854775808"},
        AnyNumberCase{"9223372036854775808", false, 9223372036854775808.0, "9.223372036854776e+18"},
        AnyNumberCase{"-9223372036854775809", false, -9223372036854775808.0, "-9.223372036854776e+18"},
        AnyNumberCase{"18446744073709551616", false, 18446744073709551616.0, "1.8446744073709552e+19"}));

TEST(JSONAny, NullBecomesJSONNullAtEveryDepth) {
    EXPECT_NE(decodedAny("null").value().get<JSONNull>(), nullptr);
    JSONAny list = decodedAny("[null]");
    EXPECT_NE(list.value().get<JSONAnyArray>()->at(0).get<JSONNull>(), nullptr);
    EXPECT_EQ(written(decodedAny("{\"a\":null}")), "{\"a\":null}");
}

TEST(JSONAny, EmptyContainersRoundTrip) {
    EXPECT_TRUE(decodedAny("[]").value().get<JSONAnyArray>()->empty());
    EXPECT_TRUE(decodedAny("{}").value().get<JSONAnyObject>()->empty());
    EXPECT_EQ(written(decodedAny("[]")), "[]");
    EXPECT_EQ(written(decodedAny("{}")), "{}");
}

TEST(JSONAny, MixedArrayDecodesToPlainValues) {
    JSONAny value = decodedAny(R"([1,"a",null,[true],{"k":2.5}])");
    const JSONAnyArray& array = *value.value().get<JSONAnyArray>();
    ASSERT_EQ(array.size(), 5u);
    EXPECT_EQ(*array[0].get<std::int64_t>(), 1);
    EXPECT_EQ(*array[1].get<std::string>(), "a");
    EXPECT_NE(array[2].get<JSONNull>(), nullptr);
    EXPECT_EQ(*array[3].get<JSONAnyArray>()->at(0).get<bool>(), true);
    EXPECT_EQ(*array[4].get<JSONAnyObject>()->at("k").get<double>(), 2.5);
    EXPECT_EQ(written(value), R"([1,"a",null,[true],{"k":2.5}])");
}

TEST(JSONAny, NestingBeyondTheCapFailsEvenInADocumentBuiltByHand) {
    // Documents built in code bypass the parser's cap; the decoder must still refuse them.
    JSONValue deep;
    JSONValue* at = &deep;
    for (int i = 0; i < kMaxJSONNesting + 10; ++i) {
        *at = JSONValue::array({nullptr});
        at = &(*at)[0];
    }
    auto value = JSONDecoder{}.decodeDocument<JSONAny>(deep);
    ASSERT_FALSE(value);
    EXPECT_EQ(value.error().kind(), CodingError::Kind::dataCorrupted);
    EXPECT_EQ(value.error().codingPath().size(), static_cast<std::size_t>(kMaxJSONNesting));
}

TEST(JSONAny, AValueOfNoJSONKindFailsTheWholeValueWithTheContainersPath) {
    JSONValue document = JSONValue::object();
    document["ok"] = 1;
    document["bad"] = JSONValue::array({1, JSONValue::binary({1, 2})});
    auto value = JSONDecoder{}.decodeDocument<JSONAny>(document);
    ASSERT_FALSE(value);
    EXPECT_EQ(value.error().kind(), CodingError::Kind::typeMismatch);
    EXPECT_EQ(value.error().debugDescription(), "Cannot decode JSONAny");
    // The enclosing array's path, without the element's index.
    ASSERT_EQ(value.error().codingPath().size(), 1u);
    EXPECT_EQ(value.error().codingPath()[0].stringValue, "bad");

    auto top = JSONDecoder{}.decodeDocument<JSONAny>(JSONValue::binary({1}));
    ASSERT_FALSE(top);
    EXPECT_EQ(top.error().debugDescription(), "Cannot decode JSONAny");
}

TEST(JSONAny, NonFiniteNumbersFailToEncode) {
    JSONAny value(JSONAnyValue{JSONAnyArray{JSONAnyValue{std::nan("")}}});
    auto text = JSONEncoder{}.encode(value);
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().kind(), CodingError::Kind::invalidValue);
    EXPECT_EQ(text.error().debugDescription(), "Cannot encode JSONAny");
}

TEST(JSONNull, AllNullsAreEqualAndHashToZero) {
    EXPECT_EQ(JSONNull{}, JSONNull{});
    EXPECT_EQ(JSONNull{}.hashValue(), 0u);
    EXPECT_EQ(std::hash<JSONNull>{}(JSONNull{}), 0u);
    EXPECT_TRUE(JSONDecoder{}.decode<JSONNull>("null"));
    auto wrong = JSONDecoder{}.decode<JSONNull>("0");
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().kind(), CodingError::Kind::typeMismatch);
    EXPECT_EQ(wrong.error().debugDescription(), "Wrong type for JSONNull");
    EXPECT_EQ(*JSONEncoder{}.encode(JSONNull{}), "null");
}

TEST(JSONCodingKey, HasTextOnly) {
    EXPECT_FALSE(JSONCodingKey::fromIntValue(3));
    auto empty = JSONCodingKey::fromStringValue("");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->stringValue(), "");
    EXPECT_FALSE(empty->intValue());
}

}  // namespace
}  // namespace model
