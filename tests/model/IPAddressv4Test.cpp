#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "model/IPAddressv4.hpp"

namespace model {
namespace {

TEST(IPAddressv4, FromTextKeepsTheTextAndFillsEveryField) {
    auto address = IPAddressv4::parse("1.2.3.4");
    ASSERT_TRUE(address);
    EXPECT_EQ(address->address, "1.2.3.4");
    EXPECT_EQ(address->integer, 0x01020304u);
    EXPECT_EQ(address->version, 4);
    EXPECT_EQ(address->reversePointer, "4.3.2.1.in-addr.arpa");
    EXPECT_FALSE(address->isMulticast || address->isPrivate || address->isReserved || address->isLoopback ||
                 address->isLinkLocal);
}

struct SpellingCase {
    std::string text;
    std::uint32_t value;
    std::string reversePointer;
};

class AcceptedSpellings : public ::testing::TestWithParam<SpellingCase> {};

TEST_P(AcceptedSpellings, KeepTheirTextUnchanged) {
    auto address = IPAddressv4::parse(GetParam().text);
    ASSERT_TRUE(address) << GetParam().text;
    EXPECT_EQ(address->address, GetParam().text);
    EXPECT_EQ(address->integer, GetParam().value);
    EXPECT_EQ(address->reversePointer, GetParam().reversePointer);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AcceptedSpellings,
    ::testing::Values(SpellingCase{"+1.2.3.4", 0x01020304, "4.3.2.+1.in-addr.arpa"},
                      SpellingCase{"001.002.003.004", 0x01020304, "004.003.002.001.in-addr.arpa"},
                      SpellingCase{"1.2.3.4.", 0x01020304, "4.3.2.1.in-addr.arpa"},
                      SpellingCase{".1.2.3.4", 0x01020304, "4.3.2.1.in-addr.arpa"},
                      SpellingCase{"1..2.3.4", 0x01020304, "4.3.2.1.in-addr.arpa"},
                      SpellingCase{"-0.0.0.0", 0, "0.0.0.-0.in-addr.arpa"},
                      SpellingCase{"255.255.255.255", 0xFFFFFFFF, "255.255.255.255.in-addr.arpa"}));

class RejectedTexts : public ::testing::TestWithParam<std::string> {};

TEST_P(RejectedTexts, AreInvalidValue) {
    auto address = IPAddressv4::parse(GetParam());
    ASSERT_FALSE(address) << GetParam();
    EXPECT_EQ(address.error().kind, IPAddressParsingError::ErrorKind::invalidValue);
}

INSTANTIATE_TEST_SUITE_P(Table, RejectedTexts,
                         ::testing::Values("", "1.2.3", "1.2.3.4.5", "a.b.c.d", "1.2.3.4 ", " 1.2.3.4",
                                           "1.2.3.0x1", "256.1.1.1", "1.2.3.-1", "1.2.3.256", "...",
                                           "1.2.3.4/32", "99999999999999999999.1.1.1",
                                           std::string("1.2.3.4\0", 8), "1.2.3.\xd9\xa1"));

struct FlagCase {
    std::string text;
    bool multicast, isPrivate, reserved, loopback, linkLocal;
};

class ClassificationBoundaries : public ::testing::TestWithParam<FlagCase> {};

TEST_P(ClassificationBoundaries, MatchTheRanges) {
    const FlagCase& c = GetParam();
    auto address = IPAddressv4::parse(c.text);
    ASSERT_TRUE(address);
    EXPECT_EQ(address->isMulticast, c.multicast) << c.text;
    EXPECT_EQ(address->isPrivate, c.isPrivate) << c.text;
    EXPECT_EQ(address->isReserved, c.reserved) << c.text;
    EXPECT_EQ(address->isLoopback, c.loopback) << c.text;
    EXPECT_EQ(address->isLinkLocal, c.linkLocal) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Table, ClassificationBoundaries,
                         ::testing::Values(
                             // text              multicast private reserved loopback linklocal
                             FlagCase{"0.0.0.0", false, false, false, false, false},
                             FlagCase{"9.255.255.255", false, false, false, false, false},
                             FlagCase{"10.0.0.0", false, true, false, false, false},
                             FlagCase{"10.255.255.255", false, true, false, false, false},
                             FlagCase{"11.0.0.0", false, false, false, false, false},
                             FlagCase{"172.15.255.255", false, false, false, false, false},
                             FlagCase{"172.16.0.0", false, true, false, false, false},
                             FlagCase{"172.31.255.255", false, true, false, false, false},
                             FlagCase{"172.32.0.0", false, false, false, false, false},
                             FlagCase{"192.167.255.255", false, false, false, false, false},
                             FlagCase{"192.168.0.0", false, true, false, false, false},
                             FlagCase{"192.168.255.255", false, true, false, false, false},
                             FlagCase{"192.169.0.0", false, false, false, false, false},
                             FlagCase{"126.255.255.255", false, false, false, false, false},
                             FlagCase{"127.0.0.1", false, false, false, true, false},
                             FlagCase{"127.255.255.255", false, false, false, true, false},
                             FlagCase{"128.0.0.0", false, false, false, false, false},
                             FlagCase{"169.253.255.255", false, false, false, false, false},
                             FlagCase{"169.254.0.0", false, false, false, false, true},
                             FlagCase{"169.254.255.255", false, false, false, false, true},
                             FlagCase{"169.255.0.0", false, false, false, false, false},
                             FlagCase{"223.255.255.255", false, false, false, false, false},
                             FlagCase{"224.0.0.1", true, false, false, false, false},
                             FlagCase{"239.255.255.255", true, false, false, false, false},
                             FlagCase{"240.0.0.0", false, false, true, false, false},
                             FlagCase{"255.255.255.255", false, false, true, false, false}));

TEST(IPAddressv4, FromNumberWritesTheCanonicalDottedQuad) {
    IPAddressv4 all(0xFFFFFFFF);
    EXPECT_EQ(all.address, "255.255.255.255");
    EXPECT_TRUE(all.isReserved);
    IPAddressv4 home(0xC0A80101);
    EXPECT_EQ(home.address, "192.168.1.1");
    EXPECT_TRUE(home.isPrivate);
    EXPECT_EQ(home.reversePointer, "1.1.168.192.in-addr.arpa");
    EXPECT_EQ(IPAddressv4(0xC0A80001).address, "192.168.0.1");
    EXPECT_EQ(IPAddressv4(0).address, "0.0.0.0");
    EXPECT_EQ(IPAddressv4(0x0A000001).address, "10.0.0.1");
}

TEST(IPAddressv4, TextAndNumberAgreeOnEveryOctetValue) {
    for (std::uint32_t octet = 0; octet < 256; ++octet) {
        std::uint32_t value = octet << 24 | (255 - octet) << 16 | octet << 8 | 7;
        std::string text = IPAddressv4::dottedQuad(value);
        auto parsed = IPAddressv4::parse(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(parsed->integer, value);
        IPAddressv4 made(value);
        EXPECT_EQ(made.address, text);
        EXPECT_EQ(made.reversePointer, parsed->reversePointer);
        EXPECT_EQ(made.isPrivate, parsed->isPrivate);
    }
}

TEST(IPAddressv4, ConcurrentFirstUseOfTheClassificationIsSafe) {
    std::vector<std::thread> threads;
    std::vector<int> privateCounts(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &privateCounts] {
            for (std::uint32_t i = 0; i < 2000; ++i)
                privateCounts[t] += IPAddressv4(0x0A000000 + i).isPrivate;
        });
    }
    for (auto& thread : threads) thread.join();
    for (int count : privateCounts) EXPECT_EQ(count, 2000);
}

}  // namespace
}  // namespace model
