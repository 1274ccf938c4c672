#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "PythonOracle.hpp"
#include "model/IPNetworkv4.hpp"

namespace model {
namespace {

std::vector<std::string> texts(const IPv4HostList& list) {
    std::vector<std::string> out;
    for (const IPAddressv4& entry : list) out.push_back(entry.address);
    return out;
}

IPNetworkv4 parsed(const std::string& text) {
    auto network = IPNetworkv4::parse(text);
    if (!network) ADD_FAILURE() << "rejected: " << text;
    return std::move(*network);
}

TEST(IPNetworkv4, SingleFormKeepsTheRuleText) {
    IPNetworkv4 network = parsed("10.1.2.3");
    EXPECT_EQ(network.prefix(), 32);
    EXPECT_EQ(network.count(), 1);
    EXPECT_EQ(texts(network.hosts()), std::vector<std::string>{"10.1.2.3"});
    EXPECT_EQ(texts(network.usableHosts()), std::vector<std::string>{"10.1.2.3"});
    EXPECT_EQ(network.withPrefix(), "10.1.2.3/32");
    EXPECT_EQ(network.withNetMask(), "10.1.2.3/255.255.255.255");
    ASSERT_TRUE(network.netMask());
    EXPECT_EQ(network.netMask()->address, "255.255.255.255");
    EXPECT_FALSE(network.isRange());
    EXPECT_EQ(network.version, 4);
    EXPECT_EQ(network.maxPrefixLen, 32);
}

TEST(IPNetworkv4, PrefixOf32HasOneHostAndNoUsableHost) {
    IPNetworkv4 network = parsed("10.1.2.3/32");
    EXPECT_EQ(texts(network.hosts()), std::vector<std::string>{"10.1.2.3"});
    EXPECT_TRUE(network.usableHosts().empty());
    EXPECT_EQ(network.count(), 1);
    EXPECT_EQ(network.networkAddress().address, "10.1.2.3");
    EXPECT_EQ(network.broadcastAddress().address, "10.1.2.3");
    EXPECT_EQ(network.withPrefix(), "10.1.2.3/32");
    EXPECT_EQ(network.withNetMask(), "10.1.2.3/255.255.255.255");
}

TEST(IPNetworkv4, PrefixOf31And30) {
    IPNetworkv4 pair = parsed("10.1.2.2/31");
    EXPECT_EQ(pair.netMask()->address, "255.255.255.254");
    EXPECT_EQ(texts(pair.hosts()), (std::vector<std::string>{"10.1.2.2", "10.1.2.3"}));
    EXPECT_TRUE(pair.usableHosts().empty());
    EXPECT_EQ(pair.count(), 2);

    IPNetworkv4 four = parsed("10.1.2.3/30");
    EXPECT_EQ(four.networkAddress().address, "10.1.2.0");
    EXPECT_EQ(four.broadcastAddress().address, "10.1.2.3");
    EXPECT_EQ(texts(four.hosts()),
              (std::vector<std::string>{"10.1.2.0", "10.1.2.1", "10.1.2.2", "10.1.2.3"}));
    EXPECT_EQ(texts(four.usableHosts()), (std::vector<std::string>{"10.1.2.1", "10.1.2.2"}));
    EXPECT_EQ(four.count(), 4);
}

TEST(IPNetworkv4, PrefixOf24) {
    IPNetworkv4 network = parsed("192.168.1.77/24");
    EXPECT_EQ(network.networkAddress().address, "192.168.1.0");
    EXPECT_EQ(network.broadcastAddress().address, "192.168.1.255");
    EXPECT_EQ(network.count(), 256);
    EXPECT_EQ(network.usableHosts().count(), 254);
    EXPECT_TRUE(network.containsHostText("192.168.1.0"));
    EXPECT_TRUE(network.containsHostText("192.168.1.255"));
    EXPECT_EQ(network.withPrefix(), "192.168.1.77/24");
    EXPECT_EQ(network.withNetMask(), "192.168.1.77/255.255.255.0");
}

TEST(IPNetworkv4, MasksForEveryPrefix) {
    const std::vector<std::pair<std::string, std::string>> masks{{"1", "128.0.0.0"},
                                                                 {"8", "255.0.0.0"},
                                                                 {"24", "255.255.255.0"},
                                                                 {"31", "255.255.255.254"},
                                                                 {"32", "255.255.255.255"}};
    for (const auto& [prefix, mask] : masks) {
        EXPECT_EQ(parsed("10.0.0.0/" + prefix).netMask()->address, mask) << prefix;
    }
}

TEST(IPNetworkv4, ExtraPiecesAndEmptyPiecesVanish) {
    IPNetworkv4 extra = parsed("1.2.3.4/24/7");
    EXPECT_EQ(extra.prefix(), 24);
    EXPECT_EQ(extra.withPrefix(), "1.2.3.4/24/7");
    EXPECT_EQ(parsed("1.2.3.4//24").prefix(), 24);
    IPNetworkv4 range = parsed("10.0.0.1--10.0.0.2");
    EXPECT_EQ(texts(range.hosts()), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
}

TEST(IPNetworkv4, EntriesOfNumbersAreCanonicalButTheSingleFormKeepsItsText) {
    EXPECT_EQ(texts(parsed("010.0.0.1/32").hosts()), std::vector<std::string>{"10.0.0.1"});
    EXPECT_EQ(texts(parsed("010.0.0.1").hosts()), std::vector<std::string>{"010.0.0.1"});
    IPNetworkv4 range = parsed("010.0.0.1-10.0.0.2");
    EXPECT_EQ(range.networkAddress().address, "010.0.0.1");
    EXPECT_EQ(texts(range.hosts()), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
}

TEST(IPNetworkv4, RangeForms) {
    IPNetworkv4 three = parsed("10.0.0.1-10.0.0.3");
    EXPECT_TRUE(three.isRange());
    EXPECT_EQ(texts(three.hosts()), (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
    EXPECT_EQ(texts(three.usableHosts()), texts(three.hosts()));
    EXPECT_EQ(three.count(), 3);
    EXPECT_FALSE(three.prefix());
    EXPECT_FALSE(three.netMask());
    EXPECT_FALSE(three.withPrefix());

    IPNetworkv4 backwards = parsed("10.0.0.3-10.0.0.1");
    EXPECT_TRUE(backwards.isRange());
    EXPECT_TRUE(backwards.hosts().empty());
    EXPECT_TRUE(backwards.usableHosts().empty());
    EXPECT_EQ(backwards.count(), 0);
    EXPECT_FALSE(backwards.containsHostText("10.0.0.2"));

    IPNetworkv4 one = parsed("10.0.0.1-10.0.0.1");
    EXPECT_EQ(one.hosts().count(), 1);
    EXPECT_EQ(one.usableHosts().count(), 1);
}

class RejectedRules : public ::testing::TestWithParam<std::string> {};

TEST_P(RejectedRules, AreInvalidValue) {
    auto network = IPNetworkv4::parse(GetParam());
    ASSERT_FALSE(network) << GetParam();
    EXPECT_EQ(network.error().kind, IPAddressParsingError::ErrorKind::invalidValue);
}

INSTANTIATE_TEST_SUITE_P(Table, RejectedRules,
                         ::testing::Values("0.0.0.0/0", "1.2.3.4/33", "1.2.3.4/", "/24", "/", "1.2.3.4/x",
                                           "10.0.0.0/255.255.255.0", "1.2.3.4/99999999999999999999",
                                           "1.2.3.4/-0", "10.0.0.1-", "-10.0.0.1", "-", "10.0.0.1-10.0.0",
                                           "10.0.0.1-10.0.0.2/24", "", "10.0.0", "a.b.c.d", "-0.0.0.0",
                                           "1.2.3.4/ 24"));

// What the rule selection would get by comparing texts against every entry, one by one.
bool containsByComparison(const IPv4HostList& hosts, const std::string& text) {
    for (const IPAddressv4& entry : hosts) {
        if (entry.address == text) return true;
    }
    return false;
}

TEST(IPNetworkv4, MembershipGivesTheAnswerOfComparingEveryEntry) {
    const std::vector<std::string> rules{"10.0.0.0/30",        "10.0.0.5",     "010.0.0.5",
                                         "10.0.0.1-10.0.0.4",  "+10.0.0.2/31", "10.0.0.4-10.0.0.1",
                                         "10.0.0.3-010.0.0.6", "0.0.0.0/30",   "255.255.255.254/31"};
    const std::vector<std::string> probes{
        "10.0.0.0",   "10.0.0.1",  "10.0.0.2",    "10.0.0.3",        "10.0.0.4",        "10.0.0.5",
        "10.0.0.6",   "010.0.0.5", "10.0.0.05",   "+10.0.0.2",       "10.0.0.2.",       ".10.0.0.2",
        "10..0.0.2",  " 10.0.0.2", "10.0.0.2 ",   "-0.0.0.0",        "0.0.0.0",         "0.0.0.3",
        "0.0.0.4",    "",          "10.0.0.3/32", "255.255.255.255", "255.255.255.254", "00.0.0.1",
        "10.0.0.256", "10.0.0"};
    for (const std::string& rule : rules) {
        IPNetworkv4 network = parsed(rule);
        for (const std::string& probe : probes) {
            EXPECT_EQ(network.containsHostText(probe), containsByComparison(network.hosts(), probe))
                << rule << " / \"" << probe << '"';
        }
    }
}

TEST(IPNetworkv4, HugeRulesTakeConstantMemory) {
    struct Huge {
        std::string rule;
        std::int64_t count;
        std::string first, last, inside, outside;
    };
    const std::vector<Huge> rules{
        {"0.0.0.0/1", 2147483648LL, "0.0.0.0", "127.255.255.255", "100.64.1.2", "128.0.0.0"},
        {"10.0.0.0/8", 16777216LL, "10.0.0.0", "10.255.255.255", "10.200.3.4", "11.0.0.0"},
        {"0.0.0.0-255.255.255.255", 4294967296LL, "0.0.0.0", "255.255.255.255", "203.0.113.9", "256.0.0.0"}};
    for (const Huge& huge : rules) {
        std::size_t before = mallinfo2().uordblks;
        IPNetworkv4 network = parsed(huge.rule);
        std::size_t after = mallinfo2().uordblks;
        EXPECT_LT(after - before, 16u * 1024u) << huge.rule;  // zero under sanitizers, which replace malloc

        EXPECT_EQ(network.count(), huge.count);
        EXPECT_EQ(network.hosts().count(), huge.count);
        EXPECT_EQ(network.hosts().front().address, huge.first);
        EXPECT_EQ(network.hosts().back().address, huge.last);
        EXPECT_EQ(network.hosts().end() - network.hosts().begin(), huge.count);
        EXPECT_EQ((*(network.hosts().begin() + 12345)).address,
                  IPAddressv4(network.hosts().front().integer + 12345).address);
        EXPECT_TRUE(network.containsHostText(huge.first));
        EXPECT_TRUE(network.containsHostText(huge.last));
        EXPECT_TRUE(network.containsHostText(huge.inside));
        EXPECT_FALSE(network.containsHostText(huge.outside));
    }
    EXPECT_EQ(parsed("0.0.0.0/1").usableHosts().count(), 2147483646LL);
    EXPECT_EQ(parsed("0.0.0.0-255.255.255.255").usableHosts().back().address, "255.255.255.255");
}

// Lists of the python ipaddress module for canonical rules: every address of the network or
// range, one per line; a line "#" ends each rule's list.
const char* kIpaddressScript = R"PY(
import ipaddress, sys
out = []
for rule in open(sys.argv[1]).read().split():
    if '-' in rule:
        first, last = (ipaddress.IPv4Address(x) for x in rule.split('-'))
        addrs = [a for n in ipaddress.summarize_address_range(first, last) for a in n] if first <= last else []
    else:
        addrs = list(ipaddress.IPv4Network(rule, strict=False))
    out.extend(str(a) for a in addrs)
    out.append('#')
sys.stdout.write('\n'.join(out) + '\n')
)PY";

TEST(IPNetworkv4, HostListsMatchPythonIpaddress) {
    const std::vector<std::string> rules{"192.168.1.77/24",   "10.1.2.3/30",
                                         "10.1.2.2/31",       "10.1.2.3/32",
                                         "172.16.5.4/20",     "0.0.0.0/22",
                                         "255.255.255.0/23",  "10.0.0.250-10.0.1.5",
                                         "10.0.0.9-10.0.0.9", "255.255.255.250-255.255.255.255",
                                         "10.0.0.3-10.0.0.1"};
    std::string input;
    for (const std::string& rule : rules) input += rule + "\n";
    auto output = modeltest::runPython(kIpaddressScript, input);
    ASSERT_TRUE(output) << "python3 ipaddress did not run";

    std::vector<std::vector<std::string>> expected;
    std::vector<std::string> block;
    std::istringstream lines(*output);
    for (std::string line; std::getline(lines, line);) {
        if (line == "#") {
            expected.push_back(std::move(block));
            block.clear();
        } else {
            block.push_back(line);
        }
    }
    ASSERT_EQ(expected.size(), rules.size());
    for (std::size_t i = 0; i < rules.size(); ++i) {
        IPNetworkv4 network = parsed(rules[i]);
        EXPECT_EQ(texts(network.hosts()), expected[i]) << rules[i];
        EXPECT_EQ(network.count(), static_cast<std::int64_t>(expected[i].size())) << rules[i];
        std::vector<std::string> usable = expected[i];
        if (!network.isRange()) {
            usable = usable.size() < 3 ? std::vector<std::string>{}
                                       : std::vector<std::string>(usable.begin() + 1, usable.end() - 1);
        }
        EXPECT_EQ(texts(network.usableHosts()), usable) << rules[i];
        for (const std::string& address : expected[i]) {
            EXPECT_TRUE(network.containsHostText(address)) << rules[i] << " " << address;
        }
    }
}

const char* kMembershipScript = R"PY(
import ipaddress, sys
lines = open(sys.argv[1]).read().split()
net = ipaddress.IPv4Network(lines[0], strict=False)
sys.stdout.write(''.join('1' if ipaddress.IPv4Address(a) in net else '0' for a in lines[1:]))
)PY";

TEST(IPNetworkv4, MembershipInWideNetworksMatchesPythonIpaddress) {
    const std::vector<std::string> probes{"0.0.0.0",       "10.0.0.0",        "10.255.255.255", "11.0.0.0",
                                          "9.255.255.255", "127.255.255.255", "128.0.0.0",      "10.128.0.1",
                                          "192.168.1.1",   "255.255.255.255"};
    for (const std::string rule : {"10.0.0.0/8", "0.0.0.0/1", "128.0.0.0/1", "10.64.0.0/10"}) {
        std::string input = rule;
        for (const auto& probe : probes) input += "\n" + probe;
        auto answers = modeltest::runPython(kMembershipScript, input);
        ASSERT_TRUE(answers);
        ASSERT_EQ(answers->size(), probes.size());
        IPNetworkv4 network = parsed(rule);
        for (std::size_t i = 0; i < probes.size(); ++i) {
            EXPECT_EQ(network.containsHostText(probes[i]), (*answers)[i] == '1') << rule << " " << probes[i];
        }
    }
}

}  // namespace
}  // namespace model
