#include <gtest/gtest.h>

#include "dnsproxy/DefaultConfiguration.hpp"

namespace {

using dnsproxy::makeDefaultConfiguration;
using dnsproxy::makeForwardingRule;
using nlohmann::json;

json valid() { return json{{"uuid", "u-1"}, {"locationTag", "home"}, {"resolvers", {"127.0.0.1"}}}; }

TEST(DefaultConfiguration, ValidityAndCasts) {
    struct Case {
        const char* what;
        json vendorData;
        bool valid;
    };
    const Case cases[] = {
        {"uuid, tag and one resolver", valid(), true},
        {"one empty resolver text still counts",
         json{{"uuid", "u"}, {"locationTag", "t"}, {"resolvers", {""}}}, true},
        {"empty resolver list", json{{"uuid", "u"}, {"locationTag", "t"}, {"resolvers", json::array()}},
         false},
        {"uuid as a number", json{{"uuid", 5}, {"locationTag", "t"}, {"resolvers", {"r"}}}, false},
        {"resolvers as one text", json{{"uuid", "u"}, {"locationTag", "t"}, {"resolvers", "r"}}, false},
        {"resolvers with a number", json{{"uuid", "u"}, {"locationTag", "t"}, {"resolvers", {"r", 1}}},
         false},
        {"empty tag", json{{"uuid", "u"}, {"locationTag", ""}, {"resolvers", {"r"}}}, false},
        {"empty dictionary", json::object(), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(makeDefaultConfiguration(c.vendorData).isValid(), c.valid) << c.what;

    auto config = makeDefaultConfiguration(json{{"uuid", 5},
                                                {"internalIp", "10.0.0.2"},
                                                {"externalIp", "198.51.100.1"},
                                                {"localDNS", "127.0.0.53"},
                                                {"filters", {json::object(), 3}},
                                                {"unknown", true}});
    EXPECT_EQ(config.uuid, "");
    EXPECT_EQ(config.ipAddress, "10.0.0.2");
    EXPECT_EQ(config.externalIPAddress, "198.51.100.1");
    EXPECT_TRUE(config.dchpServers.empty());      // a text is not a list
    EXPECT_TRUE(config.forwardingRules.empty());  // not a list of dictionaries
    config = makeDefaultConfiguration(json{{"localDNS", {"127.0.0.53", "::1"}}});
    EXPECT_EQ(config.dchpServers, (std::vector<std::string>{"127.0.0.53", "::1"}));
}

TEST(DefaultConfiguration, FoldsFilterEntries) {
    const json items = {{{"resolvers", {"10.0.0.1"}}},
                        {{"domain", "example.org"}},
                        {{"rule", "192.0.2.0/24"}},
                        {{"resolvers", {"10.0.0.2", "10.0.0.3"}}}};
    auto rule = makeForwardingRule(json{{"filter", items}});
    ASSERT_TRUE(rule);
    EXPECT_EQ(rule->domain, "example.org");
    EXPECT_EQ(rule->rule, "192.0.2.0/24");
    EXPECT_EQ(rule->resolvers, (std::vector<std::string>{"10.0.0.2", "10.0.0.3"}));

    rule = makeForwardingRule(json{{"filter", {{{"domain", ""}}, {{"domain", "A"}}, {{"domain", "B"}}}}});
    ASSERT_TRUE(rule);
    EXPECT_EQ(rule->domain, "A");
    EXPECT_EQ(rule->rule, "");
    EXPECT_EQ(rule->resolvers, std::vector<std::string>{});

    rule = makeForwardingRule(json{{"filter", json::array()}});
    ASSERT_TRUE(rule);
    EXPECT_EQ(rule->domain, "");
    EXPECT_EQ(rule->rule, "");
    EXPECT_EQ(rule->resolvers, std::vector<std::string>{});

    // A "resolvers" that is not a list of text keeps what was taken before.
    rule = makeForwardingRule(json{{"filter", {{{"resolvers", {"r"}}}, {{"resolvers", "s"}}}}});
    EXPECT_EQ(rule->resolvers, std::vector<std::string>{"r"});

    for (const json& entry :
         {json::object(), json{{"other", 1}}, json{{"filter", "text"}}, json{{"filter", {1, 2}}}}) {
        EXPECT_FALSE(makeForwardingRule(entry)) << entry.dump();
    }
}

TEST(DefaultConfiguration, KeepsUsableFilterEntriesInOrder) {
    const auto config = makeDefaultConfiguration(json{
        {"filters",
         {json{{"filter", {{{"domain", "a"}}}}}, json::object(), json{{"filter", {{{"domain", "b"}}}}}}}});
    ASSERT_EQ(config.forwardingRules.size(), 2u);
    EXPECT_EQ(config.forwardingRules[0].domain, "a");
    EXPECT_EQ(config.forwardingRules[1].domain, "b");
}

}  // namespace
