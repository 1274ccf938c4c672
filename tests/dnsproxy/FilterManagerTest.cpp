#include <gtest/gtest.h>

#include <set>

#include "dnsproxy/FilterManager.hpp"
#include "dnsproxy/ProxyLog.hpp"

namespace {

using dnsproxy::FilterDecision;
using dnsproxy::FilterError;
using dnsproxy::FilterManager;
using model::ForwardingRule;
using Strings = std::vector<std::string>;

ForwardingRule rule(std::optional<std::string> domain, std::optional<Strings> resolvers,
                    std::optional<std::string> address = std::nullopt) {
    ForwardingRule r;
    r.domain = std::move(domain);
    r.resolvers = std::move(resolvers);
    r.rule = std::move(address);
    return r;
}

dnscodec::DNSMessage query(const std::string& name) {
    dnscodec::DNSMessage message;
    message.questions = std::vector<dnscodec::DNSQuestionPtr>{
        std::make_shared<dnscodec::DNSQuestion>(dnscodec::DNSQuestion{name, 1, 1})};
    return message;
}

struct Expect {
    std::optional<FilterDecision> decision;  // absent: an error
    std::optional<FilterError> error;
    std::set<std::string> oneOf = {};  // a random pick among these
};

TEST(FilterManager, Selection) {
    const FilterManager manager(dnsproxy::filterLog());
    struct Case {
        const char* what;
        std::vector<ForwardingRule> rules;
        std::string externalIP;
        std::string name;
        Expect expect;
    };
    const std::vector<ForwardingRule> twoRules = {rule(std::nullopt, Strings{"10.0.0.1"}),
                                                  rule("example", Strings{"10.0.0.2", "10.0.0.3"})};
    const Case cases[] = {
        {"one rule is the default for every name",
         {rule("example.org", Strings{"10.0.0.1"})},
         "",
         "other.net",
         {FilterDecision{"10.0.0.1", true}, {}}},
        {"domain rule matches in any case",
         twoRules,
         "",
         "mail.EXAMPLE.com",
         {FilterDecision{std::nullopt, false}, {}, {"10.0.0.2", "10.0.0.3"}}},
        {"substring without label boundary",
         twoRules,
         "",
         "notexample.net",
         {FilterDecision{std::nullopt, false}, {}, {"10.0.0.2", "10.0.0.3"}}},
        {"no match gives the first rule's resolver",
         twoRules,
         "",
         "other.net",
         {FilterDecision{"10.0.0.1", true}, {}}},
        {"matched rule without resolvers",
         {rule(std::nullopt, Strings{"10.0.0.1"}), rule("example.org", std::nullopt)},
         "",
         "www.example.org",
         {FilterDecision{std::nullopt, false}, {}}},
        {"address rule through the network",
         {rule("a.example", Strings{"10.0.0.8"}), rule(std::nullopt, Strings{"10.0.0.9"}, "192.0.2.0/24")},
         "192.0.2.77",
         "b.test",
         {FilterDecision{"10.0.0.9", false}, {}}},
        {"network and broadcast are members",
         {rule("x", Strings{"10.0.0.8"}), rule(std::nullopt, Strings{"10.0.0.9"}, "192.0.2.0/24")},
         "192.0.2.255",
         "b.test",
         {FilterDecision{"10.0.0.9", false}, {}}},
        {"a whole /1 network costs nothing",
         {rule("x", Strings{"10.0.0.8"}), rule(std::nullopt, Strings{"10.0.0.9"}, "128.0.0.0/1")},
         "203.0.113.5",
         "b.test",
         {FilterDecision{"10.0.0.9", false}, {}}},
        {"address outside the range",
         {rule("x", Strings{"10.0.0.8"}), rule(std::nullopt, Strings{"10.0.0.9"}, "192.0.2.10-192.0.2.20")},
         "192.0.2.21",
         "b.test",
         {FilterDecision{"10.0.0.8", true}, {}}},
        {"both conditions must hold",
         {rule("y", Strings{"10.0.0.8"}), rule("x", Strings{"10.0.0.5"}, "198.51.100.1")},
         "198.51.100.1",
         "a.X.b",
         {FilterDecision{"10.0.0.5", false}, {}}},
        {"both: domain without address",
         {rule("y", Strings{"10.0.0.8"}), rule("x", Strings{"10.0.0.5"}, "198.51.100.1")},
         "198.51.100.2",
         "a.X.b",
         {FilterDecision{"10.0.0.8", true}, {}}},
        {"equal texts match without parsing",
         {rule("y", Strings{"10.0.0.8"}), rule(std::nullopt, Strings{"10.0.0.5"}, "not an address")},
         "not an address",
         "n",
         {FilterDecision{"10.0.0.5", false}, {}}},
        {"an address rule that is not a network never matches",
         {rule("y", Strings{"10.0.0.8"}), rule(std::nullopt, Strings{"10.0.0.5"}, "10.0.0/8")},
         "10.0.0.1",
         "n",
         {FilterDecision{"10.0.0.8", true}, {}}},
        {"canonical text only for prefixed rules",
         {rule("y", Strings{"10.0.0.8"}), rule(std::nullopt, Strings{"10.0.0.5"}, "10.0.0.0/24")},
         "010.0.0.1",
         "n",
         {FilterDecision{"10.0.0.8", true}, {}}},
        {"no match and a first rule without resolvers",
         {rule("a", std::nullopt), rule("b", Strings{"10.0.0.2"})},
         "",
         "zzz",
         {std::nullopt, FilterError::missingResolver}},
        {"an empty first rule without resolvers stops the scan",
         {rule("", std::nullopt), rule("zzz", Strings{"r"})},
         "",
         "zzz",
         {std::nullopt, FilterError::missingResolver}},
        {"no rules", {}, "", "n", {std::nullopt, FilterError::missingRule}},
        {"a query without a name only meets address rules",
         twoRules,
         "",
         "",
         {FilterDecision{"10.0.0.1", true}, {}}},
    };
    for (const auto& c : cases) {
        const auto message = query(c.name);
        const auto result = manager.domainFilter(c.rules, c.externalIP, &message);
        if (c.expect.error) {
            ASSERT_FALSE(result) << c.what;
            EXPECT_EQ(result.error(), *c.expect.error) << c.what;
            continue;
        }
        ASSERT_TRUE(result) << c.what;
        EXPECT_EQ(result->isDefault, c.expect.decision->isDefault) << c.what;
        if (c.expect.oneOf.empty()) {
            EXPECT_EQ(result->resolver, c.expect.decision->resolver) << c.what;
        } else {
            ASSERT_TRUE(result->resolver) << c.what;
            EXPECT_TRUE(c.expect.oneOf.count(*result->resolver)) << c.what;
        }
    }
}

TEST(FilterManager, RandomPickReachesEveryResolver) {
    const FilterManager manager(dnsproxy::filterLog());
    const std::vector<ForwardingRule> rules = {rule(std::nullopt, Strings{"d"}),
                                               rule("e", Strings{"r1", "r2", "r3"})};
    const auto message = query("e");
    std::set<std::string> seen;
    for (int i = 0; i < 300 && seen.size() < 3; ++i)
        seen.insert(*manager.domainFilter(rules, "", &message)->resolver);
    EXPECT_EQ(seen.size(), 3u);
}

TEST(FilterManager, RuleKindsAndAbsentMessage) {
    EXPECT_EQ(FilterManager::ruleKind(std::nullopt, std::nullopt), 0);
    EXPECT_EQ(FilterManager::ruleKind(std::string(""), std::string("")), 0);
    EXPECT_EQ(FilterManager::ruleKind(std::nullopt, std::string("r")), 1);
    EXPECT_EQ(FilterManager::ruleKind(std::string("d"), std::string("")), 2);
    EXPECT_EQ(FilterManager::ruleKind(std::string("d"), std::string("r")), 3);
    const FilterManager manager(dnsproxy::filterLog());
    const auto result =
        manager.domainFilter({rule(std::nullopt, Strings{"d"}), rule("x", Strings{"e"})}, "", nullptr);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->resolver, "d");
    EXPECT_NE(dnsproxy::localizedDescription(FilterError::missingResolver).find("error 0"),
              std::string::npos);
}

}  // namespace
