#include <gtest/gtest.h>

#include <typeinfo>

#include "ExpectNamed.hpp"
#include "dnscodec/address/IPAddress.hpp"
#include "dnscodec/address/IPv4.hpp"
#include "dnscodec/address/IPv6.hpp"

namespace dnscodec {
namespace {

TEST(IPAddressTest, PicksTheFamilyFromText) {
    const IPAddress v4 = IPAddress::addressFromString("10.1.2.3");
    EXPECT_EQ(typeid(v4.underlyingAddress()), typeid(IPv4));
    EXPECT_TRUE(v4.valid());
    EXPECT_TRUE(v4.v4());
    EXPECT_EQ(v4.groups(), 4);

    const IPAddress v6 = IPAddress::addressFromString("fe80::1");
    EXPECT_EQ(typeid(v6.underlyingAddress()), typeid(IPv6));
    EXPECT_TRUE(v6.valid());
    EXPECT_FALSE(v6.v4());

    // Both parsers fail: the IPv6 message names the characters outside its alphabet.
    const IPAddress bogus = IPAddress::addressFromString("bogus");
    EXPECT_EQ(typeid(bogus.underlyingAddress()), typeid(IPv6));
    EXPECT_FALSE(bogus.valid());
    EXPECT_FALSE(bogus.v4());
    EXPECT_EQ(bogus.error(), "Bad characters detected in address: ogus");

    // An IPv4 prefix the IPv4 parser refuses falls through to the IPv6 parser, which
    // reads the dotted quad as two groups.
    EXPECT_EQ(IPAddress("10.0.0.1/33").error(), "Incorrect number of groups found");
}

TEST(IPAddressTest, FromRawBytes) {
    const IPAddress v4 = IPAddress::addressWithData(Bytes{0xC0, 0xA8, 0x01, 0x02});
    EXPECT_EQ(v4.address(), "192.168.1.2");
    EXPECT_EQ(v4.data(), (Bytes{0xC0, 0xA8, 0x01, 0x02}));

    Bytes raw{0x20, 0x01, 0x0D, 0xB8};
    raw.resize(15, 0);
    raw.push_back(0x01);
    const IPAddress v6 = IPAddress::addressWithData(raw);
    EXPECT_EQ(v6.correctForm(), "2001:db8::1");
    EXPECT_EQ(v6.data(), raw);
    EXPECT_EQ(IPAddress::addressWithData(Bytes(16, 0xFF)).correctForm(),
              "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    EXPECT_EQ(IPAddress::addressWithData(Bytes(4, 0)).address(), "0.0.0.0");
}

TEST(IPAddressTest, OtherLengthsAreRefused) {
    for (std::size_t length : {0u, 1u, 3u, 5u, 15u, 17u, 32u}) {
        SCOPED_TRACE(length);
        EXPECT_TRUE(throwsNamed(
            [length] { IPAddress::addressWithData(Bytes(length, 1)); }, "ipInvalidLength",
            "The provided data length does not correspond to neighter a IPv4 nor a IPv6 address"));
    }
}

TEST(IPAddressTest, ForwardsAndCopies) {
    const IPAddress network("10.1.0.0/16");
    const IPAddress inside("10.1.2.3");
    EXPECT_TRUE(inside.isInSubnet(network));
    EXPECT_TRUE(inside.isInSubnet(network.underlyingAddress()));
    EXPECT_TRUE(IPv4("10.1.2.3").isInSubnet(network));
    EXPECT_EQ(network.mask(), "0000101000000001");
    EXPECT_EQ(network.startAddress()->address(), "10.1.0.0");
    EXPECT_EQ(network.endAddress()->address(), "10.1.255.255");
    EXPECT_EQ(network.subnet(), "/16");

    IPAddress copy = network;
    copy = IPAddress("::1");
    EXPECT_EQ(network.address(), "10.1.0.0/16");
    EXPECT_EQ(copy.correctForm(), "::1");
    IPAddress moved = std::move(copy);
    EXPECT_EQ(moved.correctForm(), "::1");
    EXPECT_FALSE(IPAddress(IPBaseAddressPtr()).valid());
}

TEST(IPAddressTest, FamiliesNeverContainEachOther) {
    // An IPv6 address whose first bits happen to match an IPv4 network's mask.
    EXPECT_FALSE(IPAddress("a00::1").isInSubnet(IPAddress("10.0.0.0/8")));
    EXPECT_FALSE(IPAddress("10.0.0.1").isInSubnet(IPAddress("::/0")));
    EXPECT_TRUE(IPAddress("a00::1").isInSubnet(IPAddress("a00::/8")));
}

}  // namespace
}  // namespace dnscodec
