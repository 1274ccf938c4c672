#include <gtest/gtest.h>

#include <cctype>

#include "dnsproxy/ClientIdentificationOption.hpp"
#include "platform/SystemLog.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace dnsproxy;

Bytes optionBytes(std::string_view uuid, std::string_view ip, std::string_view location) {
    const auto option = buildClientIdentification(uuid, ip, location);
    return Bytes(option.bytes.begin(), option.bytes.end());
}

Bytes slice(const Bytes& bytes, std::size_t at, std::size_t length) {
    return Bytes(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + length));
}

TEST(ClientIdentificationOption, GoldenBytes) {
    Bytes expected = {
        0xFE,
        0x78,  // option code 65144
        0x00,
        0x64,  // option length 100
        0x56,
        0x51,
        0x5A,
        0x10,  // magic "VQZ" 0x10
        // device uuid
        0x00,
        0x11,
        0x22,
        0x33,
        0x44,
        0x55,
        0x66,
        0x77,
        0x88,
        0x99,
        0xAA,
        0xBB,
        0xCC,
        0xDD,
        0xEE,
        0xFF,
        // internal address 10.1.2.3, zero-filled to 16
        0x0A,
        0x01,
        0x02,
        0x03,
        0,
        0,
        0,
        0,
        0,
        0,
        0,
        0,
        0,
        0,
        0,
        0,
    };
    // location key "abc", zero-filled to 64
    expected.resize(104, 0);
    expected[40] = 0x61;
    expected[41] = 0x62;
    expected[42] = 0x63;
    std::vector<std::string> lines;
    platform::LogCapture capture([&](const platform::LogRecord& r) { lines.push_back(r.message); });
    const auto option =
        makeClientIdentificationOption("00112233-4455-6677-8899-AABBCCDDEEFF", "10.1.2.3", "abc");
    ASSERT_TRUE(option);
    EXPECT_EQ(*option, expected);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "DNSProxyProvider edns hex: fe78006456515a10"
              "00112233445566778899AABBCCDDEEFF"
              "0A010203000000000000000000000000"
              "616263" +
                  std::string(122, '0'));
}

TEST(ClientIdentificationOption, EveryFieldKeepsItsWidth) {
    const std::string uuid = "00112233-4455-6677-8899-AABBCCDDEEFF";
    struct Case {
        const char* what;
        std::string uuid;
        std::string ip;
        std::string location;
        Bytes uuidField;
        Bytes ipField;
        Bytes locationStart;  // the rest of the 64 bytes is zero
    };
    const Bytes goodUUID = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                            0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    const Bytes zero16(16, 0);
    const Bytes ip10123 = {10, 1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const auto field = [](Bytes pieces) {
        pieces.resize(16, 0);
        return pieces;
    };
    const std::string sixteen = "1.2.3.4.5.6.7.8.9.10.11.12.13.14.15.16";
    std::string longRun;
    for (int i = 0; i < 20000; ++i) longRun += "1.";
    const Case cases[] = {
        {"IPv6 address", uuid, "2001:db8::1", "k", goodUUID, zero16, {'k'}},
        {"piece above 255", uuid, "10.1.2.300", "k", goodUUID, zero16, {'k'}},
        {"more than four pieces",
         uuid,
         "1.2.3.4.5.6.7.8.9.10.11.12.13.14.15.16.17",
         "k",
         goodUUID,
         zero16,
         {'k'}},
        {"three pieces", uuid, "10.1.2", "k", goodUUID, field({10, 1, 2}), {'k'}},
        {"empty address", uuid, "", "k", goodUUID, zero16, {'k'}},
        {"signed and doubled dots", uuid, "+10..1.2.3", "k", goodUUID, ip10123, {'k'}},
        {"uuid too long", uuid + "0102", "10.1.2.3", "k", goodUUID, ip10123, {'k'}},
        {"uuid short",
         "0011",
         "10.1.2.3",
         "k",
         Bytes{0x00, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         ip10123,
         {'k'}},
        {"uuid not hexadecimal",
         "zz112233-4455-6677-8899-AABBCCDDEEFF",
         "10.1.2.3",
         "k",
         zero16,
         ip10123,
         {'k'}},
        {"empty location", uuid, "10.1.2.3", "", goodUUID, ip10123, {}},
        // One byte per piece that reads as a decimal integer, the others left out.
        {"five pieces", uuid, "1.2.3.4.5", "k", goodUUID, field({1, 2, 3, 4, 5}), {'k'}},
        {"sixteen pieces",
         uuid,
         sixteen,
         "k",
         goodUUID,
         field({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}),
         {'k'}},
        {"no integer piece", uuid, "a.b", "k", goodUUID, zero16, {'k'}},
        {"a piece left out", uuid, "1.x.2", "k", goodUUID, field({1, 2}), {'k'}},
        {"empty pieces", uuid, "1..2", "k", goodUUID, field({1, 2}), {'k'}},
        {"leading and trailing dots", uuid, ".10.1.2.3.", "k", goodUUID, ip10123, {'k'}},
        {"only dots", uuid, "...", "k", goodUUID, zero16, {'k'}},
        {"space before", uuid, " 10.1.2.3", "k", goodUUID, field({1, 2, 3}), {'k'}},
        {"space after", uuid, "10.1.2.3 ", "k", goodUUID, field({10, 1, 2}), {'k'}},
        {"hexadecimal and exponent pieces", uuid, "0x0A.1e2.7", "k", goodUUID, field({7}), {'k'}},
        {"IPv4 inside IPv6", uuid, "::ffff:10.1.2.3", "k", goodUUID, field({1, 2, 3}), {'k'}},
        {"largest values", uuid, "255.255.255.255", "k", goodUUID, field({255, 255, 255, 255}), {'k'}},
        {"minus zero and leading zeros",
         uuid,
         "-0.000000000000000000000000010",
         "k",
         goodUUID,
         field({0, 10}),
         {'k'}},
        // Pieces the field cannot carry: no byte is sent rather than another computer's address.
        {"first piece above 255", uuid, "300.1.1.1", "k", goodUUID, zero16, {'k'}},
        {"negative piece", uuid, "10.-1.2.3", "k", goodUUID, zero16, {'k'}},
        {"piece too large to read", uuid, "99999999999999999999.1", "k", goodUUID, zero16, {'k'}},
        {"a long run of pieces", uuid, longRun, "k", goodUUID, zero16, {'k'}},
        {"a long text without dots", uuid, std::string(100000, '7'), "k", goodUUID, zero16, {'k'}},
        {"a long run of dots", uuid, std::string(100000, '.') + "10.1.2.3", "k", goodUUID, ip10123, {'k'}},
    };
    for (const auto& c : cases) {
        const auto bytes = optionBytes(c.uuid, c.ip, c.location);
        ASSERT_EQ(bytes.size(), 104u) << c.what;
        EXPECT_EQ(slice(bytes, 0, 8), (Bytes{0xFE, 0x78, 0x00, 0x64, 0x56, 0x51, 0x5A, 0x10})) << c.what;
        EXPECT_EQ(slice(bytes, 8, 16), c.uuidField) << c.what;
        EXPECT_EQ(slice(bytes, 24, 16), c.ipField) << c.what;
        Bytes location = c.locationStart;
        location.resize(64, 0);
        EXPECT_EQ(slice(bytes, 40, 64), location) << c.what;
        const std::string hex = buildClientIdentification(c.uuid, c.ip, c.location).hex;
        EXPECT_EQ(hex.size(), 208u) << c.what;
        // The logged text shows the address bytes sent, which for an address the field can
        // carry is the address in hexadecimal pieces.
        std::string addressHex;
        for (const auto& pair : hexPairs(c.ipField)) {
            for (char digit : pair) addressHex += static_cast<char>(std::toupper(digit));
        }
        EXPECT_EQ(hex.substr(48, 32), addressHex) << c.what;
        if (c.ipField != zero16) {
            std::string pieces = ipAddressHex(c.ip);
            pieces.resize(32, '0');
            EXPECT_EQ(hex.substr(48, 32), pieces) << c.what;
        }
    }
}

TEST(ClientIdentificationOption, LongLocationKeysAreCutAtACharacterBoundary) {
    const std::string ascii(70, 'x');
    EXPECT_EQ(slice(optionBytes("", "", ascii), 40, 64), Bytes(64, 'x'));
    // 63 ASCII bytes then a two-byte character: the character would end past byte 64.
    const std::string mixed = std::string(63, 'y') + "\xC3\xA9" + "z";
    Bytes expected(63, 'y');
    expected.push_back(0);
    EXPECT_EQ(slice(optionBytes("", "", mixed), 40, 64), expected);
    // Exactly 64 bytes ending with a whole character is kept.
    const std::string exact = std::string(62, 'y') + "\xC3\xA9";
    EXPECT_EQ(slice(optionBytes("", "", exact), 40, 64), Bytes(exact.begin(), exact.end()));
}

TEST(ClientIdentificationOption, HexTextHelpers) {
    struct HexCase {
        const char* text;
        std::optional<Bytes> bytes;
    };
    const HexCase cases[] = {
        {"0a0B", Bytes{0x0A, 0x0B}},
        {"abc", std::nullopt},                          // odd count
        {"zz", std::nullopt},                           // nothing reads
        {"0a0bzz0c0d", Bytes{0x0A, 0x0B, 0x0C, 0x0D}},  // 10 / 4 is 2
        {"0a0bzzzz0c", std::nullopt},                   // 10 / 3 is 3
        {"+a", Bytes{0x0A}},                            // the integer reading takes a sign
        {"", Bytes{}},
    };
    for (const auto& c : cases) EXPECT_EQ(dataFromHexString(c.text), c.bytes) << c.text;

    EXPECT_EQ(ipAddressHex("192.168.1.10"), "C0A8010A");
    EXPECT_EQ(ipAddressHex("1.10"), "010A");
    EXPECT_EQ(ipAddressHex("1.x.2"), "0102");
    EXPECT_EQ(ipAddressHex("..."), "");
    EXPECT_EQ(ipAddressHex("+7.-0"), "0700");
    EXPECT_EQ(hexPairs(Bytes{0x00, 0xAB, 0x7F}), (std::vector<std::string>{"00", "ab", "7f"}));
}

}  // namespace
