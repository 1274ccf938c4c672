#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "dnscodec/address/AddressText.hpp"
#include "dnscodec/address/IPv4.hpp"

namespace dnscodec {
namespace {

struct ParseCase {
    const char* text;
    bool valid;
    const char* error;  // nullptr when valid
    int subnetMask;
    bool correct;
};

class IPv4ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(IPv4ParseTest, ParsesAsExpected) {
    const ParseCase& c = GetParam();
    const IPv4 address(c.text);
    EXPECT_EQ(address.valid(), c.valid);
    EXPECT_EQ(address.error(), c.error ? std::optional<std::string>(c.error) : std::nullopt);
    EXPECT_EQ(address.subnetMask(), c.subnetMask);
    EXPECT_EQ(address.correct(), c.correct);
    EXPECT_EQ(address.address(), c.text);
    EXPECT_EQ(address.groups(), 4);
    EXPECT_TRUE(address.v4());
}

INSTANTIATE_TEST_SUITE_P(Texts, IPv4ParseTest,
                         ::testing::Values(ParseCase{"10.0.0.1", true, nullptr, 32, true},
                                           ParseCase{"10.0.0.1/8", true, nullptr, 8, true},
                                           ParseCase{"10.0.0.1/32", true, nullptr, 32, true},
                                           ParseCase{"10.0.0.1/0", true, nullptr, 0, true},
                                           ParseCase{"10.0.0.1/08", true, nullptr, 8, false},
                                           ParseCase{"10.0.0.1/33", false, "Invalid subnet mask", 33, false},
                                           ParseCase{"10.0.0.1/99", false, "Invalid subnet mask", 99, false},
                                           ParseCase{"10.0.0.1/123", false, "Invalid IPv4 Address", 32,
                                                     false},
                                           ParseCase{"10.0.0.1/", false, "Invalid IPv4 Address", 32, false},
                                           ParseCase{"256.1.1.1", false, "Invalid IPv4 Address", 32, false},
                                           ParseCase{"1.2.3", false, "Invalid IPv4 Address", 32, false},
                                           ParseCase{"1.2.3.4.5", false, "Invalid IPv4 Address", 32, false},
                                           ParseCase{"", false, "Invalid IPv4 Address", 32, false},
                                           ParseCase{"1..2.3", false, "Invalid IPv4 Address", 32, false},
                                           ParseCase{" 1.2.3.4", false, "Invalid IPv4 Address", 32, false},
                                           ParseCase{"010.1.1.1", true, nullptr, 32, false},
                                           ParseCase{"255.255.255.255", true, nullptr, 32, true}));

TEST(IPv4Test, FormsOfOneAddress) {
    const IPv4 address("192.168.1.2");
    EXPECT_EQ(address.correctForm(), "192.168.1.2");
    EXPECT_EQ(address.hex(), "c0:a8:01:02");
    EXPECT_EQ(address.v6Group(), "c0a8:102");
    EXPECT_EQ(address.reversedForm(), "2.1.168.192.in-addr.arpa.");
    EXPECT_EQ(address.data(), (Bytes{0xC0, 0xA8, 0x01, 0x02}));
    EXPECT_EQ(address.bigInteger(), BigInt(0xC0A80102));
    EXPECT_EQ(address.parsedAddress(), (std::vector<std::string>{"192", "168", "1", "2"}));
    EXPECT_EQ(address.addressMinusSufix(), "192.168.1.2");
}

TEST(IPv4Test, BitsAndMasks) {
    const IPv4 plain("10.0.0.1");
    EXPECT_EQ(plain.binaryZeroPad(), "00001010000000000000000000000001");
    const IPv4 prefixed("10.0.0.1/8");
    EXPECT_EQ(prefixed.mask(), "00001010");
    EXPECT_EQ(prefixed.parsedSubnet(), "8");
    EXPECT_EQ(prefixed.subnet(), "/8");
    EXPECT_EQ(prefixed.bitsBase2WithStart(4, 8), "1010");
    // Slices are clamped to the 32 bits.
    EXPECT_EQ(prefixed.maskWith(40), plain.binaryZeroPad());
    EXPECT_EQ(prefixed.bitsBase2WithStart(30, 200), "01");
    EXPECT_EQ(prefixed.bitsBase2WithStart(-5, 2), "00");
    EXPECT_EQ(prefixed.bitsBase2WithStart(20, 10), "");
    EXPECT_EQ(prefixed.maskWith(-1), "");
}

TEST(IPv4Test, InvalidPrefixLeavesAddressUnparsed) {
    const IPv4 address("10.0.0.1/33");
    EXPECT_FALSE(address.parsedAddress().has_value());
    EXPECT_FALSE(address.addressMinusSufix().has_value());
    EXPECT_EQ(address.parsedSubnet(), "33");
    EXPECT_EQ(address.subnet(), "/33");
    EXPECT_FALSE(address.correctForm().has_value());
    // Forms of an invalid address stay within what was parsed.
    EXPECT_EQ(address.bigInteger(), BigInt(0));
    EXPECT_EQ(address.data(), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(address.reversedForm(), ".in-addr.arpa.");
    EXPECT_EQ(IPv4("1.2").hex(), "01:02:00:00");
}

TEST(IPv4Test, LeadingZerosParseButAreNotCorrect) {
    const IPv4 address("010.1.1.1");
    EXPECT_TRUE(address.valid());
    EXPECT_FALSE(address.correct());
    EXPECT_EQ(address.correctForm(), "10.1.1.1");
}

TEST(IPv4Test, TrailingLineBreakFollowsTheRegexEngine) {
    // "$" also matches before a final line terminator.
    const IPv4 prefixed("10.0.0.1/8\n");
    EXPECT_TRUE(prefixed.valid());
    EXPECT_EQ(prefixed.subnetMask(), 8);
    EXPECT_EQ(prefixed.addressMinusSufix(), "10.0.0.1");
    EXPECT_FALSE(IPv4("10.0.0.1\n\n").valid());
}

TEST(IPv4Test, Construction) {
    struct Case {
        std::uint32_t value;
        const char* text;
    };
    for (const Case& c : {Case{167772161u, "10.0.0.1"}, Case{0u, "0.0.0.0"},
                          Case{0xFFFFFFFFu, "255.255.255.255"}, Case{0xC0A80102u, "192.168.1.2"}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(IPv4::ipv4FromInteger(c.value).address(), c.text);
        EXPECT_EQ(IPv4::fromBigInteger(BigInt(c.value)).address(), c.text);
    }
    EXPECT_EQ(IPv4::ipv4FromHex("c0:a8:01:02").address(), "192.168.1.2");
    EXPECT_EQ(IPv4::ipv4FromHex("1").address(), "0.0.0.1");
    // Longer text is not cut: only the first eight digits are read.
    EXPECT_EQ(IPv4::ipv4FromHex("0a00000102").address(), "10.0.0.1");
    EXPECT_EQ(IPv4::ipv4FromHex("zz").address(), "0.0.0.0");
    EXPECT_EQ(IPv4::fromBigInteger((BigInt(1) << 32) + BigInt(5)).address(), "0.0.0.5");
}

TEST(IPv4Test, SubnetBoundaries) {
    const IPv4 address("10.1.2.3/16");
    EXPECT_EQ(address.startAddress()->address(), "10.1.0.0");
    EXPECT_EQ(address.endAddress()->address(), "10.1.255.255");
    EXPECT_EQ(IPv4("10.1.2.3").startAddress()->address(), "10.1.2.3");
    EXPECT_EQ(IPv4("10.1.2.3/0").endAddress()->address(), "255.255.255.255");
}

TEST(IPv4Test, SubnetMembership) {
    struct Case {
        const char* address;
        const char* network;
        bool inside;
    };
    for (const Case& c : {Case{"10.1.2.3/16", "10.1.0.0/16", true}, Case{"10.1.0.0/16", "10.1.2.3/24", false},
                          Case{"10.1.2.3", "10.1.2.0/24", true}, Case{"10.1.3.3", "10.1.2.0/24", false},
                          Case{"10.1.2.3", "0.0.0.0/0", true}, Case{"10.1.2.3", "10.1.2.3", true},
                          Case{"10.1.2.3", "10.1.2.0/33", false}, Case{"bogus", "0.0.0.0/0", false}}) {
        SCOPED_TRACE(std::string(c.address) + " in " + c.network);
        EXPECT_EQ(IPv4(c.address).isInSubnet(IPv4(c.network)), c.inside);
    }
}

TEST(IPv4Test, PaddingLeft) {
    EXPECT_EQ(stringByPaddingLeftToLength("12", 5, "0"), "00012");
    EXPECT_EQ(stringByPaddingLeftToLength("123456", 5, "0"), "123456");
    EXPECT_EQ(stringByPaddingLeftToLength("1", 6, "ab"), "ababa1");
    EXPECT_EQ(stringByPaddingLeftToLength("1", 6, ""), "1");
}

}  // namespace
}  // namespace dnscodec
