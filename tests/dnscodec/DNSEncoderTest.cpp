// Wire encoding: names, header bits, records, OPT packing, and the inputs the encoder
// refuses instead of writing a datagram that reads back differently.
#include <gtest/gtest.h>

#include "DNSTestSupport.hpp"
#include "dnscodec/DNSHeaderEncoder.hpp"
#include "dnscodec/DNSLabelEncoder.hpp"
#include "dnscodec/DNSMessageEncoder.hpp"
#include "dnscodec/DNSOPTResourceRecord.hpp"
#include "dnscodec/DNSQuestionEncoder.hpp"

namespace dnscodec {
namespace {

using test::join;
using test::label;

struct EncodeNameCase {
    const char* title;
    std::optional<std::string> name;
    std::optional<Bytes> wire;  // absent: refused
};

class LabelEncoding : public testing::TestWithParam<EncodeNameCase> {};

TEST_P(LabelEncoding, EncodesOrRefuses) {
    const auto& c = GetParam();
    EXPECT_EQ(DNSLabelEncoder::encode(c.name), c.wire);
    Bytes out{0xAA};  // existing content stays as it is
    EXPECT_EQ(DNSLabelEncoder::append(c.name, out), c.wire.has_value());
    EXPECT_EQ(out, c.wire ? join({{0xAA}, *c.wire}) : Bytes{0xAA});
}

const std::string kLabel63(63, 'x');
const std::string k191(191, 'y');

INSTANTIATE_TEST_SUITE_P(
    Names, LabelEncoding,
    testing::Values(
        EncodeNameCase{"Root", ".", Bytes{0x00}}, EncodeNameCase{"Absent", std::nullopt, Bytes{0x00}},
        EncodeNameCase{"ThreeLabels", "a.bc.def", join({label("a"), label("bc"), label("def"), {0x00}})},
        EncodeNameCase{"BinaryBytesKept", std::string("\x00\xff\x80", 3),
                       Bytes{0x03, 0x00, 0xFF, 0x80, 0x00}},
        EncodeNameCase{"Label63", kLabel63, join({label(kLabel63), {0x00}})},
        EncodeNameCase{"Label191", k191, join({label(k191), {0x00}})},
        EncodeNameCase{"Label192", std::string(192, 'z'), std::nullopt},
        // 253 bytes of text: wire 255 octets, the largest name
        EncodeNameCase{
            "Name255", kLabel63 + "." + kLabel63 + "." + kLabel63 + "." + std::string(61, 'w'),
            join({label(kLabel63), label(kLabel63), label(kLabel63), label(std::string(61, 'w')), {0x00}})},
        EncodeNameCase{"Name256", kLabel63 + "." + kLabel63 + "." + kLabel63 + "." + std::string(62, 'w'),
                       std::nullopt},
        EncodeNameCase{"Empty", "", std::nullopt}, EncodeNameCase{"LeadingDot", ".a", std::nullopt},
        EncodeNameCase{"TrailingDot", "a.", std::nullopt}, EncodeNameCase{"DoubleDot", "a..b", std::nullopt},
        EncodeNameCase{"TwoDots", "..", std::nullopt}),
    [](const auto& info) { return info.param.title; });

struct HeaderCase {
    const char* title;
    DNSHeader header;
    Bytes wire;
};

class HeaderEncoding : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderEncoding, Bits) { EXPECT_EQ(DNSHeaderEncoder::encode(GetParam().header), GetParam().wire); }

DNSHeader queryRdAd() {
    DNSHeader h;
    h.isQuery = true;
    h.recursionDesired = true;
    h.authenticatedData = true;
    return h;
}

DNSHeader everyField() {
    DNSHeader h;
    h.id = 0xBEEF;
    h.opCode = 0x1F;  // only the low 4 bits are written
    h.authoritativeAnswer = h.truncated = h.recursionDesired = true;
    h.recursionAvailable = h.authenticatedData = h.checkingDisabled = true;
    h.responseCode = 0xF3;  // low 4 bits
    h.questionCount = 0x0102;
    h.answerRecordCount = 0x0304;
    h.authorityRecordCount = 0x0506;
    h.additionalRecordCount = 0x0708;
    return h;
}

// clang-format off
const Bytes kEveryFieldWire = {
    0xBE, 0xEF,              // id
    0xFF,                    // QR=1, opcode 15, AA, TC, RD
    0xB3,                    // RA, Z=0, AD, CD, rcode 3
    1, 2, 3, 4, 5, 6, 7, 8,  // counts as given
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Headers, HeaderEncoding,
                         testing::Values(HeaderCase{"NewHeaderIsAResponse", DNSHeader{},
                                                    Bytes{0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
                                         HeaderCase{"QueryRdAd", queryRdAd(),
                                                    Bytes{0, 0, 0x01, 0x20, 0, 0, 0, 0, 0, 0, 0, 0}},
                                         HeaderCase{"EveryField", everyField(), kEveryFieldWire}),
                         [](const auto& info) { return info.param.title; });

std::shared_ptr<DNSOPTResourceRecord> makeOpt(size_t dataBytes) {
    DNSResourceRecord plain;
    plain.type = kDNSTypeOPT;
    auto opt = DNSOPTResourceRecord::fromResource(plain);
    opt->udpPayloadSize = 4096;
    opt->data = Bytes(dataBytes, 0xAB);
    return opt;
}

TEST(DNSEncoder, OptRecordPacksEdnsFieldsIntoClassAndTtl) {
    auto opt = makeOpt(12);
    // clang-format off
    Bytes expected = join({
        {0x00},                    // root owner name
        {0x00, 0x29},              // type 41
        {0x10, 0x00},              // class = UDP payload size 4096
        {0x00, 0x00, 0x00, 0x00},  // ttl: extended rcode 0, version 0, DO 0
        {0x00, 0x0C},              // data length 12
        Bytes(12, 0xAB),           // options as set
    });
    // clang-format on
    EXPECT_EQ(opt->encode(), expected);
    EXPECT_EQ(opt->resourceClass, 4096);  // rewritten by encoding

    auto ttlBytes = [&] {
        const Bytes wire = opt->encode().value();
        return Bytes(wire.begin() + 5, wire.begin() + 9);
    };
    opt->dnssecOK = true;
    EXPECT_EQ(ttlBytes(), (Bytes{0x00, 0x00, 0x80, 0x00}));
    opt->dnssecOK = false;
    opt->version = 1;
    opt->extendedRCode = 2;
    EXPECT_EQ(ttlBytes(), (Bytes{0x02, 0x01, 0x00, 0x00}));
    EXPECT_EQ(opt->ttl, 0x02010000u);
}

TEST(DNSEncoder, RecordWithAbsentOrEmptyDataHasZeroLength) {
    DNSResourceRecord record;
    record.name = "a";
    record.type = 1;
    record.resourceClass = 1;
    record.ttl = 0x01020304;
    const Bytes expected = join({label("a"), {0x00}, {0, 1}, {0, 1}, {1, 2, 3, 4}, {0, 0}});
    EXPECT_EQ(record.encode(), expected);
    record.data = Bytes{};
    EXPECT_EQ(record.encode(), expected);
}

TEST(DNSEncoder, MessageCountsComeFromTheSectionsAndTheCallersHeaderIsKept) {
    DNSMessage message;
    message.header.id = 0x1234;
    message.header.isQuery = true;
    message.header.questionCount = 5;
    message.header.additionalRecordCount = 9;
    auto q = std::make_shared<DNSQuestion>();
    q->name = "a";
    q->type = 1;
    q->questionClass = 1;
    message.questions = std::vector<DNSQuestionPtr>{q};
    message.answers = std::vector<DNSResourceRecordPtr>{};  // empty counts 0 like absent
    auto opt = makeOpt(0);
    message.additionalRecords = std::vector<DNSResourceRecordPtr>{opt};

    // clang-format off
    const Bytes expected = join({
        {0x12, 0x34},              // id
        {0x00, 0x00},              // query, no flags
        {0, 1, 0, 0, 0, 0, 0, 1},  // QD=1 AN=0 NS=0 AR=1
        label("a"), {0x00},        // question name
        {0, 1, 0, 1},              // type A, class IN
        {0x00, 0x00, 0x29, 0x10, 0x00, 0, 0, 0, 0, 0, 0},  // OPT, payload 4096, no data
    });
    // clang-format on
    EXPECT_EQ(DNSMessageEncoder::encode(message), expected);
    EXPECT_EQ(message.header.questionCount, 5);
    EXPECT_EQ(message.header.additionalRecordCount, 9);
    // The record object is shared, so the encoding wrote its class.
    EXPECT_EQ(opt->resourceClass, 4096);
}

// Inputs the encoder refuses; the buffer given to append() is left as it was.
struct RefusedCase {
    const char* title;
    DNSMessage (*make)();
};

class RefusedMessages : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedMessages, AbsentResultAndBufferUnchanged) {
    DNSMessage message = GetParam().make();
    EXPECT_FALSE(DNSMessageEncoder::encode(message).has_value());
    Bytes out{1, 2, 3};
    EXPECT_FALSE(DNSMessageEncoder::append(message, out));
    EXPECT_EQ(out, (Bytes{1, 2, 3}));
}

DNSMessage withRecord(std::optional<std::string> name, size_t dataBytes) {
    DNSMessage m;
    auto r = std::make_shared<DNSResourceRecord>();
    r->name = std::move(name);
    r->data = Bytes(dataBytes, 0);
    m.answers = std::vector<DNSResourceRecordPtr>{r};
    return m;
}

DNSMessage withQuestions(size_t count, std::string name) {
    DNSMessage m;
    auto q = std::make_shared<DNSQuestion>();
    q->name = std::move(name);
    m.questions = std::vector<DNSQuestionPtr>(count, q);
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Encoder, RefusedMessages,
    testing::Values(RefusedCase{"QuestionNameWithEmptyComponent", [] { return withQuestions(1, "a..b"); }},
                    RefusedCase{"QuestionLabelOver191",
                                [] { return withQuestions(1, std::string(192, 'a')); }},
                    RefusedCase{"RecordNameTrailingDot", [] { return withRecord("example.com.", 0); }},
                    RefusedCase{"RecordData65536", [] { return withRecord(std::nullopt, 65536); }},
                    RefusedCase{"QuestionCount65536", [] { return withQuestions(65536, "."); }},
                    // 65,536 questions of 5 bytes would also be over-long; 13,105 fit
                    // the count but not the datagram (12 + 13,105 * 5 = 65,537 bytes).
                    RefusedCase{"Message65537Bytes", [] { return withQuestions(13105, "."); }},
                    RefusedCase{"RecordsOver65535Bytes",
                                [] {
                                    DNSMessage m = withRecord(std::nullopt, 40000);
                                    m.answers->push_back(m.answers->front());
                                    return m;
                                }},
                    RefusedCase{"NullQuestion",
                                [] {
                                    DNSMessage m;
                                    m.questions = std::vector<DNSQuestionPtr>{nullptr};
                                    return m;
                                }},
                    RefusedCase{"NullRecord",
                                [] {
                                    DNSMessage m;
                                    m.additionalRecords = std::vector<DNSResourceRecordPtr>{nullptr};
                                    return m;
                                }}),
    [](const auto& info) { return info.param.title; });

TEST(DNSEncoder, LargestMessageAndRecordDataAreAccepted) {
    DNSMessage m = withQuestions(13104, ".");  // 12 + 13,104 * 5 = 65,532 bytes
    auto encoded = DNSMessageEncoder::encode(m);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->size(), 65532u);

    DNSMessage big = withRecord(std::nullopt, 65535 - 12 - 11);  // header + root record: exactly 65,535
    encoded = DNSMessageEncoder::encode(big);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->size(), 65535u);
    EXPECT_EQ((*encoded)[12 + 9], 0xFF);  // data length 65,512 = 0xFFE8
    EXPECT_EQ((*encoded)[12 + 10], 0xE8);

    DNSResourceRecord record;
    record.data = Bytes(65535, 1);
    auto wire = record.encode();
    ASSERT_TRUE(wire);
    EXPECT_EQ(wire->size(), 11u + 65535u);
}

TEST(DNSEncoder, QuestionEncoding) {
    DNSQuestion q;
    q.name = "ex";
    q.type = 28;
    q.questionClass = 0x8001;
    EXPECT_EQ(DNSQuestionEncoder::encode(q), join({label("ex"), {0x00}, {0x00, 0x1C}, {0x80, 0x01}}));
    q.name = "";
    EXPECT_FALSE(DNSQuestionEncoder::encode(q));
}

}  // namespace
}  // namespace dnscodec
