// The two request bodies as the device server receives them, byte for byte, and how the replies
// are read back.
#include <gtest/gtest.h>

#include "app/server/DeviceServerAPI.hpp"
#include "app/server/Networking.hpp"
#include "app/server/Payload.hpp"
#include "app/server/ServerTestSupport.hpp"
#include "model/JSONCoder.hpp"

namespace kiv::testing {
namespace {

std::string configurationText(const DeviceServerAPI& api, const std::optional<std::string>& location) {
    auto text = model::JSONEncoder{.sortedKeys = true}.encode(
        api.configurationRequest("dev-1", location, "alice@example.com", "Alice Example"));
    return text ? *text : "<" + text.error().description() + ">";
}

struct ConfigurationCase {
    std::string name;
    std::vector<platform::NetworkInterfaceInfo> interfaces;
    std::optional<std::string> location;
    std::string expected;
};

class ConfigurationBodyTest : public ServerTest, public ::testing::WithParamInterface<ConfigurationCase> {};

TEST_P(ConfigurationBodyTest, IsTheExactText) {
    const auto api = makeAPI({}, fakeFacts(GetParam().interfaces));
    EXPECT_EQ(configurationText(*api, GetParam().location), GetParam().expected);
}

const std::string kHead =
    R"({"jsonrpc":"2.0","method":"device_configure","params":{"device":{"key":"dev-1","version":"2.0.3"},)";
const std::string kUser = R"("user":{"email":"alice@example.com","name":"Alice Example"}}})";

INSTANTIATE_TEST_SUITE_P(
    Requests, ConfigurationBodyTest,
    ::testing::Values(
        ConfigurationCase{
            "one_interface_and_a_location",
            {{"eth0", false}},
            "Lab",
            kHead +
                R"("extra":{"nics":[{"description":"eth0","enabled":false}],"os":{"type":"Mac OS","version":"6.1"}},)" +
                R"("location":{"name":"Lab","randomize":false},)" + kUser},
        ConfigurationCase{
            "wifi_is_enabled_and_no_location_randomizes",
            {{"eth0", false}, {"wlan0", true}},
            std::nullopt,
            kHead +
                R"("extra":{"nics":[{"description":"eth0","enabled":false},{"description":"wlan0","enabled":true}],)" +
                R"("os":{"type":"Mac OS","version":"6.1"}},"location":{"randomize":true},)" + kUser},
        ConfigurationCase{"empty_location_is_sent_and_randomizes",
                          {},
                          "",
                          kHead + R"("extra":{"nics":[],"os":{"type":"Mac OS","version":"6.1"}},)" +
                              R"("location":{"name":"","randomize":true},)" + kUser}),
    [](const auto& info) { return info.param.name; });

TEST(RegistrationBody, HoldsExactlyTheFourMembersWithAnIntegerId) {
    auto data = DeviceServerAPI::registrationPayload("install-1", "lab-Studio", 7).toData();
    ASSERT_TRUE(data);
    EXPECT_EQ(
        *data,
        R"({"id":7,"jsonrpc":"2.0","method":"account_add_device","params":{"key":"install-1","name":"lab-Studio","type":"KIV","version":"2.0.3"}})");
}

TEST(RegistrationBody, EdgesOfTheKeyValueModel) {
    Payload payload = DeviceServerAPI::registrationPayload("k", "n", 1);
    payload.params->name.reset();
    EXPECT_NE(payload.toData()->find(R"("name":null)"), std::string::npos);

    for (const char* ignored : {"identifier", "bogus"}) {
        EXPECT_FALSE(payload.setValue(99, ignored).has_value());
        EXPECT_EQ(payload.identifier, 1);
    }
    EXPECT_FALSE(payload.setValue(nullptr, "id").has_value());
    EXPECT_EQ(payload.identifier, 0);

    payload.params.reset();
    const auto refused = payload.toData();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().domain, "JSONSerialization");
    EXPECT_EQ(refused.error().code, -1);

    Payload invalidText = DeviceServerAPI::registrationPayload("k", std::string("\xff\xfe", 2), 1);
    EXPECT_FALSE(invalidText.toData());

    const auto back =
        Payload::fromData(R"({"id":12,"method":"m","params":{"key":"K","extra":1},"other":true})");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->identifier, 12);
    EXPECT_EQ(back->params->key, "K");
    EXPECT_FALSE(Payload::fromData("[1]"));
    EXPECT_FALSE(Payload::fromData(R"({"id":"12"})"));
}

TEST(RequestModels, DecodingNeedsTheRequiredKeys) {
    const model::JSONDecoder decoder;
    EXPECT_FALSE(decoder.decode<Device>(R"({"key":"K"})")->version.has_value());
    EXPECT_FALSE(decoder.decode<Device>(R"({"version":"1"})"));
    EXPECT_FALSE(decoder.decode<User>(R"({"name":"n"})"));
    const auto user = decoder.decode<User>(R"({"email":"e","x":1})");
    ASSERT_TRUE(user);
    EXPECT_FALSE(user->name || user->uuid);
    const auto extra = decoder.decode<Extra>(
        R"({"nics":[],"os":{"type":"t","version":"v"},"public_ip":{"ipv4":"192.0.2.1"}})");
    ASSERT_TRUE(extra);
    EXPECT_EQ(extra->publicIP->ipv4, "192.0.2.1");
}

TEST(RequestModels, CustomerEmailCheck) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"alice@example.com", "alice@example.com"},
        {"alice.example.com", "alice.example.com.local"},
        {"alice@example", "alice@example.local"},
        {"al ice@example.com", "al ice@example.com.local"},
        {"", ".local"},
    };
    for (const auto& [given, sent] : cases) EXPECT_EQ(DeviceServerAPI::checkedEmail(given), sent) << given;
}

struct ReplyCase {
    std::string name;
    std::string body;
    bool registrationDecodes;
    bool configurationDecodes;
};

class ReplyDecodingTest : public ServerTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyDecodingTest, DecodesOrRefusesWhole) {
    CapturedOutput output;
    EXPECT_EQ(Networking::decodeRegistrationReply(GetParam().body).has_value(),
              GetParam().registrationDecodes);
    const auto transport = std::make_shared<Networking>(*platform::URL::parse("https://127.0.0.1"), false,
                                                        NetworkingOptions{}, hold<KIVLogger>(logger_));
    EXPECT_EQ(transport->decodeConfigurationReply(GetParam().body).has_value(),
              GetParam().configurationDecodes);
    if (!GetParam().configurationDecodes) {
        EXPECT_TRUE(logged("error in converting the DeviceResult from data: "));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyDecodingTest,
    ::testing::Values(
        ReplyCase{"registration_result",
                  R"({"jsonrpc":"2.0","id":1,"result":{"device":"d","name":"n","type":"t"}})", true, true},
        ReplyCase{"unauthorized",
                  R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"Unauthorized"}})", true, true},
        ReplyCase{"configuration", R"({"jsonrpc":"2.0","result":{"filters":[{"domain":"x"}]}})", false, true},
        ReplyCase{"no_jsonrpc", R"({"result":{"device":"d","name":"n","type":"t"}})", false, true},
        ReplyCase{"string_id", R"({"jsonrpc":"2.0","id":"1"})", false, false},
        ReplyCase{"null_id_and_unknown_members", R"({"jsonrpc":"2.0","id":null,"extra":true})", true, true},
        ReplyCase{"result_without_type", R"({"jsonrpc":"2.0","result":{"device":"d","name":"n"}})", false,
                  true},
        ReplyCase{"empty_body", "", false, false}, ReplyCase{"not_json", "<html>", false, false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kiv::testing
