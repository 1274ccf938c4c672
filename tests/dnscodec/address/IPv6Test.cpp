#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "dnscodec/address/AddressText.hpp"
#include "dnscodec/address/IPv6.hpp"

namespace dnscodec {
namespace {

struct IPv6ParseCase {
    const char* text;
    const char* error;  // nullptr when valid
};

class IPv6ParseTest : public ::testing::TestWithParam<IPv6ParseCase> {};

TEST_P(IPv6ParseTest, ValidityAndError) {
    const IPv6ParseCase& c = GetParam();
    const IPv6 address(c.text);
    EXPECT_EQ(address.valid(), c.error == nullptr);
    EXPECT_EQ(address.error(), c.error ? std::optional<std::string>(c.error) : std::nullopt);
    if (c.error) {
        EXPECT_FALSE(address.parsedAddress().has_value());
        EXPECT_EQ(address.bigInteger(), BigInt(0));
        EXPECT_FALSE(address.decimal().has_value());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IPv6ParseTest,
    ::testing::Values(IPv6ParseCase{"::1", nullptr}, IPv6ParseCase{"::", nullptr},
                      IPv6ParseCase{"2001:DB8::1", nullptr}, IPv6ParseCase{"1:2:3:4:5:6:7::", nullptr},
                      IPv6ParseCase{"fe80::1%en0", nullptr}, IPv6ParseCase{"::ffff:192.168.1.2", nullptr},
                      IPv6ParseCase{"2001:db8::/32", nullptr}, IPv6ParseCase{"2001:db8::/128", nullptr},
                      IPv6ParseCase{"fe80::1%eth0/64", nullptr}, IPv6ParseCase{"fe80::1/64%eth0", nullptr},
                      IPv6ParseCase{"1::2::3", "Too many :: groups found"},
                      IPv6ParseCase{"1:2:3:4:5:6:7", "Incorrect number of groups found"},
                      IPv6ParseCase{"1:2:3:4:5:6:7:8:9", "Incorrect number of groups found"},
                      IPv6ParseCase{"1:2:3:4:5:6:7:8::9", "Incorrect number of groups found"},
                      IPv6ParseCase{"1:2:3:4::5:6:7:8", "Error parsing groups"},
                      IPv6ParseCase{"12345::", "Address failed regex: 12345"},
                      IPv6ParseCase{":1:2::", "Address failed regex: :1"},
                      IPv6ParseCase{"1:::2", "Address failed regex: :::"},
                      IPv6ParseCase{"1::2:", "Address failed regex: 2:"},
                      IPv6ParseCase{"::ffff:192.168.01.2", "IPv4 addresses cannot have leading zeroes"},
                      IPv6ParseCase{"bogus", "Bad characters detected in address: ogus"},
                      IPv6ParseCase{"::g", "Bad character detected in address: g"},
                      IPv6ParseCase{"::1.2.3", "Bad characters detected in address: .."},
                      IPv6ParseCase{"", "Incorrect number of groups found"},
                      IPv6ParseCase{"2001:db8::/129", "Invalid subnet mask"},
                      IPv6ParseCase{"2001:db8::/300", "Invalid subnet mask"},
                      IPv6ParseCase{"2001:db8::/1234", "Invalid subnet mask"},
                      IPv6ParseCase{"2001:db8::/", "Invalid subnet mask"},
                      IPv6ParseCase{"2001:db8::/3x", "Invalid subnet mask"},
                      // A "/" left inside a group once the prefix is taken off.
                      IPv6ParseCase{"1/2::3/64", "Invalid subnet mask"},
                      IPv6ParseCase{"2001:db8::1//64", "Address failed regex: /"}));

TEST(IPv6Test, LoopbackForms) {
    const IPv6 address("::1");
    EXPECT_EQ(address.parsedAddress(), (std::vector<std::string>{"0", "0", "0", "0", "0", "0", "0", "1"}));
    EXPECT_EQ(address.correctForm(), "::1");
    EXPECT_TRUE(address.correct());
    EXPECT_EQ(address.canonicalForm(), "0000:0000:0000:0000:0000:0000:0000:0001");
    EXPECT_FALSE(address.canonical());
    Bytes expected(15, 0);
    expected.push_back(1);
    EXPECT_EQ(address.data(), expected);
    EXPECT_EQ(address.decimal(), "00000:00000:00000:00000:00000:00000:00000:00001");
    EXPECT_EQ(address.elidedGroups(), 7);
    EXPECT_EQ(address.elisionBegin(), 0);
    EXPECT_EQ(address.elisionEnd(), 7);
}

TEST(IPv6Test, CompressionPicksTheFirstLongestRun) {
    struct Case {
        const char* text;
        const char* compressed;
    };
    for (const Case& c : {Case{"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"}, Case{"0:0:0:0:0:0:0:0", "::"},
                          Case{"1:0:0:0:0:0:0:0", "1::"}, Case{"1:0:2:0:3:0:4:0", "1:0:2:0:3:0:4:0"},
                          Case{"1:0:0:2:0:0:0:3", "1:0:0:2::3"}, Case{"2001:DB8::1", "2001:db8::1"},
                          Case{"0001:0002::", "1:2::"}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(IPv6(c.text).correctForm(), c.compressed);
    }
    EXPECT_EQ(IPv6::compact({"1", "0", "0", "2"}, {1, 2}), (std::vector<std::string>{"1", "compact", "2"}));
    EXPECT_EQ(IPv6::compact({"1"}, {5, 9}), (std::vector<std::string>{"1", "compact"}));
}

TEST(IPv6Test, ZoneAndPrefix) {
    const IPv6 zoned("fe80::1%en0");
    EXPECT_EQ(zoned.zone(), "%en0");
    EXPECT_EQ(zoned.addressMinusSuffix(), "fe80::1");
    const IPv6 prefixed("2001:db8::/32");
    EXPECT_EQ(prefixed.subnetMask(), 32);
    EXPECT_EQ(prefixed.subnet(), "/32");
    EXPECT_EQ(prefixed.parsedSubnet(), "32");
    EXPECT_EQ(prefixed.reversedForm(), "8.b.d.0.1.0.0.2.ip6.arpa.");
    EXPECT_EQ(prefixed.startAddress()->address(), "2001:0db8:0000:0000:0000:0000:0000:0000");
    EXPECT_EQ(prefixed.endAddress()->address(), "2001:0db8:ffff:ffff:ffff:ffff:ffff:ffff");
    // A zone written after the prefix is kept, not dropped with the prefix.
    const IPv6 both("fe80::1/64%eth0");
    EXPECT_EQ(both.zone(), "%eth0");
    EXPECT_EQ(both.subnetMask(), 64);
    EXPECT_EQ(IPv6("2001:db8::/032").correct(), false);
    EXPECT_EQ(IPv6("2001:db8::/32").correct(), true);
    EXPECT_EQ(IPv6("::/0").reversedForm(), "ip6.arpa.");
    // The full value is checked before it is narrowed: /300 is not /44.
    const IPv6 wide("2001:db8::/300");
    EXPECT_EQ(wide.subnet(), "/300");
    EXPECT_FALSE(wide.isInSubnet(IPv6("::/0")));
}

TEST(IPv6Test, EmbeddedIPv4) {
    const IPv6 mapped("::ffff:192.168.1.2");
    EXPECT_TRUE(mapped.v4());
    EXPECT_EQ(mapped.parsedAddress(),
              (std::vector<std::string>{"0", "0", "0", "0", "0", "ffff", "c0a8", "102"}));
    EXPECT_EQ(mapped.v4inv6(), "::ffff:192.168.1.2");
    EXPECT_EQ(IPv6("::ffff:c0a8:102").v4inv6(), "::ffff:192.168.1.2");
    EXPECT_EQ(IPv6("::1.2.3.4").v4inv6(), "::1.2.3.4");
    EXPECT_EQ(IPv6("1:2:3:4:5:6:7:8").v4inv6(), "1:2:3:4:5:6:0.7.0.8");
    EXPECT_FALSE(IPv6("::ffff:c0a8:102").v4());
}

TEST(IPv6Test, BitSlices) {
    const IPv6 address("2001:db8::ff");
    EXPECT_EQ(address.bitsBase16WithStart(0, 16), "2001");
    EXPECT_EQ(address.bitsBase16WithStart(16, 32), "0DB8");
    EXPECT_EQ(address.bitsBase16WithStart(120, 128), "FF");
    EXPECT_FALSE(address.bitsBase16WithStart(0, 6).has_value());
    EXPECT_FALSE(address.bitsBase16WithStart(8, 4).has_value());
    EXPECT_EQ(address.bitsWithStart(120, 128), BigInt(255));
    EXPECT_EQ(address.bitsWithStart(5, 5), BigInt(0));
    EXPECT_EQ(address.bitsBase2WithStart(126, 300), "11");
    EXPECT_EQ(address.maskWith(400).size(), 128u);
    EXPECT_EQ(address.binaryZeroPad().size(), 128u);
}

TEST(IPv6Test, SubnetMembership) {
    struct Case {
        const char* address;
        const char* network;
        bool inside;
    };
    for (const Case& c :
         {Case{"2001:db8::1", "2001:db8::/32", true}, Case{"2001:db9::1", "2001:db8::/32", false},
          Case{"2001:db8::/32", "2001:db8::1", false}, Case{"::1", "::/0", true},
          Case{"2001:db8::1", "bogus", false}}) {
        SCOPED_TRACE(std::string(c.address) + " in " + c.network);
        EXPECT_EQ(IPv6(c.address).isInSubnet(IPv6(c.network)), c.inside);
    }
}

TEST(IPv6Test, FromBigIntegerAndCustomGroups) {
    const IPv6 address = IPv6::fromBigInteger(BigInt("20010db8000000000000000000000001", 16));
    EXPECT_EQ(address.address(), "2001:0db8:0000:0000:0000:0000:0000:0001");
    EXPECT_TRUE(address.canonical());
    EXPECT_EQ(address.correctForm(), "2001:db8::1");
    const IPv6 six("1:2:3:4:5:6", 6);
    EXPECT_TRUE(six.valid());
    EXPECT_EQ(six.groups(), 6);
    EXPECT_FALSE(IPv6("1:2:3:4:5:6:7:8", 6).valid());
}

}  // namespace
}  // namespace dnscodec

namespace dnscodec {
namespace {

TEST(IPv6Test, ZoneScanAgreesWithTheRegexEngine) {
    const address_text::Regex zonePattern("%.*$");
    for (const char* text : {"fe80::1%en0",
                             "fe80::1%en0\n",
                             "fe80::1%en0\r\n",
                             "fe80::1%en0\n\n",
                             "fe80::1%en0\r\r",
                             "a%b\nc%d",
                             "a%b\nc",
                             "%",
                             "%%",
                             "",
                             "\n",
                             "\n%",
                             "%\n",
                             "a\u2028%b",
                             "a%b\u2028",
                             "a%b\u0085",
                             "a%\u2029b%c",
                             "a\r%b\r\n",
                             "x%y\rz\n",
                             "%a\v",
                             "%a\f%b",
                             "no zone",
                             "a%b\u2028\n",
                             "\u00e9%\u00e9"}) {
        SCOPED_TRACE(text);
        const IPv6 address(text);
        const auto match = zonePattern.find(text);
        EXPECT_EQ(address.zone(), match ? match->text : "");
        EXPECT_EQ(address.addressMinusSuffix(), match ? match->before : std::string(text));
    }
}

TEST(IPv6Test, HostileTextIsRefusedQuickly) {
    // Many "%" before a line break, long digit runs, piles of colons and slashes.
    for (const std::string& text :
         {std::string(200000, '%') + "\nx", std::string(200000, '1'), std::string(200000, ':'),
          std::string(100000, '/') + "1", std::string(100000, 'a') + "/12"}) {
        EXPECT_FALSE(IPv6(text).valid());
    }
}

}  // namespace
}  // namespace dnscodec
