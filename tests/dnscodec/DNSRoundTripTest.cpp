// Decode, rewrite as the proxy does (additional section replaced by one OPT record),
// encode, and decode again; plus a sweep of single-byte mutations of real datagrams.
#include <gtest/gtest.h>

#include "DNSTestSupport.hpp"
#include "dnscodec/DNSCNAMEResourceRecord.hpp"
#include "dnscodec/DNSMessageEncoder.hpp"
#include "dnscodec/DNSOPTResourceRecord.hpp"

namespace dnscodec {
namespace {

using test::decode;
using test::join;
using test::label;
using test::render;

// A stub resolver's query for www.example.com A with its own EDNS cookie option.
// clang-format off
const Bytes kClientQuery = join({
    {0x5A, 0x17},                                          // id
    {0x01, 0x20},                                          // query, RD, AD
    {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},      // QD=1 AN=0 NS=0 AR=1
    label("www"), label("example"), label("com"), {0x00},  // QNAME
    {0x00, 0x01, 0x00, 0x01},                              // A IN
    {0x00},                                                // OPT owner: root
    {0x00, 0x29, 0x04, 0xD0},                              // OPT, payload 1232
    {0x00, 0x00, 0x00, 0x00},                              // ercode 0, version 0, no DO
    {0x00, 0x0C},                                          // rdlength 12
    {0x00, 0x0A, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7, 8},      // COOKIE option, client cookie
});
// clang-format on

// A compressed answer: CNAME then A, names pointing back into the question.
// clang-format off
const Bytes kCompressedResponse = join({
    {0x5A, 0x17},                                          // id
    {0x81, 0x80},                                          // response, RD, RA
    {0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00},      // QD=1 AN=2
    label("www"), label("example"), label("com"), {0x00},  // offset 12: QNAME
    {0x00, 0x01, 0x00, 0x01},                              // A IN
    {0xC0, 0x0C},                                          // owner -> www.example.com
    {0x00, 0x05, 0x00, 0x01, 0x00, 0x00, 0x0E, 0x10},      // CNAME IN ttl 3600
    {0x00, 0x06},                                          // rdlength 6
    label("cdn"), {0xC0, 0x10},                            // offset 45: cdn + example.com
    {0xC0, 0x2D},                                          // owner -> cdn.example.com
    {0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x3C},      // A IN ttl 60
    {0x00, 0x04}, {93, 184, 216, 34},                      // address
});
// clang-format on

TEST(DNSRoundTrip, ProxyRewriteReplacesTheClientsAdditionalRecords) {
    auto message = decode(kClientQuery);
    ASSERT_TRUE(message);
    DNSResourceRecord plain;
    plain.type = kDNSTypeOPT;
    auto opt = DNSOPTResourceRecord::fromResource(plain);
    opt->udpPayloadSize = 4096;
    opt->data = Bytes{0xFE, 0x31, 0x00, 0x02, 0xAA, 0xBB};  // private option, 2 bytes
    message->additionalRecords = std::vector<DNSResourceRecordPtr>{opt};

    auto wire = DNSMessageEncoder::encode(*message);
    // clang-format off
    const Bytes expected = join({
        {0x5A, 0x17, 0x01, 0x20},                              // id and flags kept
        {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},      // counts from the sections
        label("www"), label("example"), label("com"), {0x00},  // QNAME
        {0x00, 0x01, 0x00, 0x01},                              // A IN
        {0x00, 0x00, 0x29, 0x10, 0x00},                        // root, OPT, payload 4096
        {0x00, 0x00, 0x00, 0x00},                              // ercode, version, DO 0
        {0x00, 0x06, 0xFE, 0x31, 0x00, 0x02, 0xAA, 0xBB},      // our option only
    });
    // clang-format on
    EXPECT_EQ(wire, expected);

    auto again = decode(*wire);
    ASSERT_TRUE(again);
    auto readBack = DNSOPTResourceRecord::fromResource(*again->additionalRecords->at(0));
    EXPECT_EQ(readBack->udpPayloadSize, 4096);
    EXPECT_FALSE(readBack->dnssecOK);
    EXPECT_EQ(again->additionalRecords->at(0)->data, opt->data);
}

TEST(DNSRoundTrip, CompressedResponseIsWrittenUncompressed) {
    auto message = decode(kCompressedResponse);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->answers->at(0)->name, "www.example.com");
    EXPECT_EQ(message->answers->at(1)->name, "cdn.example.com");
    // The CNAME's data still holds a pointer into the datagram; as a typed record the
    // pointer is read against the data alone and falls past its end.
    auto cname = DNSCNAMEResourceRecord::fromResource(*message->answers->at(0));
    EXPECT_EQ(cname->canonicalName, "cdn");

    // Replacing the answer by a typed CNAME writes its name uncompressed.
    cname->canonicalName = "cdn.example.com";
    message->answers->at(0) = cname;
    auto wire = DNSMessageEncoder::encode(*message);
    ASSERT_TRUE(wire);
    auto again = decode(*wire);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->answers->at(0)->data, join({label("cdn"), label("example"), label("com"), {0x00}}));
    EXPECT_EQ(again->answers->at(1)->data, (Bytes{93, 184, 216, 34}));
}

// Datagrams whose decoding is lenient: they must read back identically once encoded.
struct LenientCase {
    const char* title;
    Bytes wire;
};

class LenientRoundTrip : public testing::TestWithParam<LenientCase> {};

TEST_P(LenientRoundTrip, DecodeEncodeDecodeIsStable) {
    auto first = decode(GetParam().wire);
    ASSERT_TRUE(first);
    auto wire = DNSMessageEncoder::encode(*first);
    ASSERT_TRUE(wire);
    auto second = decode(*wire);
    ASSERT_TRUE(second);
    EXPECT_EQ(render(*second), render(*first));
}

const Bytes kQueryHeader = {0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};  // QD=1

INSTANTIATE_TEST_SUITE_P(
    Decoder, LenientRoundTrip,
    testing::Values(
        LenientCase{"ClientQuery", kClientQuery}, LenientCase{"CompressedResponse", kCompressedResponse},
        LenientCase{"Label100Bytes", join({kQueryHeader, label(std::string(100, 'l')), {0x00, 0, 1, 0, 1}})},
        LenientCase{"PointerPastEnd", join({kQueryHeader, label("a"), {0xC3, 0x00}, {0, 1, 0, 1}})},
        // The pointer aims at offset 16, the high byte (0) of the question's type: the root.
        LenientCase{"PointerToRoot", join({kQueryHeader, label("a"), {0xC0, 0x10}, {0, 1, 0, 1}})},
        LenientCase{"BinaryLabel", join({kQueryHeader, {0x02, 0x00, 0xFF}, {0x00, 0, 1, 0, 1}})},
        LenientCase{"TrailingBytes", join({kQueryHeader, {0x00, 0, 1, 0, 1}, {0xAA, 0xBB, 0xCC}})}),
    [](const auto& info) { return info.param.title; });

// Every single-byte change of the fixtures either fails to decode, or decodes to a
// message whose encoding reads back as the same message (or is refused as a whole).
TEST(DNSRoundTrip, SingleByteMutationsAreStableOrRefused) {
    for (const Bytes* fixture : {&kClientQuery, &kCompressedResponse}) {
        for (size_t at = 0; at < fixture->size(); ++at) {
            for (int value = 0; value < 256; ++value) {
                Bytes wire = *fixture;
                wire[at] = uint8_t(value);
                auto first = decode(wire);
                if (!first) continue;
                auto encoded = DNSMessageEncoder::encode(*first);
                if (!encoded) continue;
                auto second = decode(*encoded);
                ASSERT_TRUE(second) << "byte " << at << " = " << value;
                ASSERT_EQ(render(*second), render(*first)) << "byte " << at << " = " << value;
            }
        }
    }
}

}  // namespace
}  // namespace dnscodec
