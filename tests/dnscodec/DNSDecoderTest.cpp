// Wire decoding: hand-written datagrams, the name reader's pointer rules, malformed
// input in tables, and hostile input that must fail fast with bounded memory.
#include <gtest/gtest.h>

#include "DNSTestSupport.hpp"
#include "dnscodec/DNSHeaderEncoder.hpp"
#include "dnscodec/DNSLabelDecoder.hpp"
#include "dnscodec/DNSMessageDecoder.hpp"
#include "dnscodec/DNSOPTResourceRecord.hpp"
#include "dnscodec/DNSQuestionDecoder.hpp"
#include "dnscodec/DNSResourceRecordDecoder.hpp"

namespace dnscodec {
namespace {

using test::decode;
using test::decodeName;
using test::join;
using test::label;

// clang-format off
Bytes header(uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar) {
    return Bytes{
        0xAB, 0xCD,                       // id
        0x01, 0x00,                       // query, RD
        uint8_t(qd >> 8), uint8_t(qd),    // QDCOUNT
        uint8_t(an >> 8), uint8_t(an),    // ANCOUNT
        uint8_t(ns >> 8), uint8_t(ns),    // NSCOUNT
        uint8_t(ar >> 8), uint8_t(ar),    // ARCOUNT
    };
}
// clang-format on

TEST(DNSDecoder, HeaderOnlyMessageHasFourAbsentSections) {
    auto m = decode(header(0, 0, 0, 0));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->header.id, 0xABCD);
    EXPECT_TRUE(m->header.isQuery);
    EXPECT_TRUE(m->header.recursionDesired);
    EXPECT_FALSE(m->questions || m->answers || m->authorityRecords || m->additionalRecords);
}

TEST(DNSDecoder, ElevenBytesHaveNoHeader) {
    Bytes wire = header(0, 0, 0, 0);
    wire.pop_back();
    EXPECT_FALSE(decode(wire));
}

TEST(DNSDecoder, FourthByte0x20IsAuthenticatedDataAndSurvivesReencoding) {
    Bytes wire = header(0, 0, 0, 0);
    wire[3] = 0x20;  // RA 0, Z 0, AD 1, CD 0, rcode 0
    auto m = decode(wire);
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->header.authenticatedData);
    EXPECT_FALSE(m->header.checkingDisabled);
    EXPECT_EQ(m->header.responseCode, 0);
    EXPECT_EQ(DNSHeaderEncoder::encode(m->header)[3], 0x20);
}

TEST(DNSDecoder, EveryHeaderBit) {
    // clang-format off
    const Bytes wire = {
        0x00, 0x01,  // id 1
        0xFF,        // QR=1 (response), opcode 15, AA, TC, RD
        0xFF,        // RA, Z (ignored), AD, CD, rcode 15
        0, 0, 0, 0, 0, 0, 0, 0,  // no entries
    };
    // clang-format on
    auto m = decode(wire);
    ASSERT_TRUE(m);
    const DNSHeader& h = m->header;
    EXPECT_FALSE(h.isQuery);
    EXPECT_EQ(h.opCode, 15);
    EXPECT_TRUE(h.authoritativeAnswer && h.truncated && h.recursionDesired && h.recursionAvailable &&
                h.authenticatedData && h.checkingDisabled);
    EXPECT_EQ(h.responseCode, 15);
}

TEST(DNSDecoder, QueryWithOptRecordAndTrailingBytes) {
    // clang-format off
    const Bytes wire = join({
        header(1, 0, 0, 1),
        label("www"), label("example"), label("com"), {0x00},  // QNAME
        {0x00, 0x01},                                          // QTYPE A
        {0x00, 0x01},                                          // QCLASS IN
        {0x00},                                                // OPT owner: root
        {0x00, 0x29},                                          // type 41
        {0x10, 0x00},                                          // class: payload 4096
        {0x00, 0x00, 0x80, 0x00},                              // ttl: DO set
        {0x00, 0x04},                                          // rdlength 4
        {0x00, 0x0A, 0x00, 0x00},                              // option 10 (cookie), empty
        {0xDE, 0xAD},                                          // trailing bytes: ignored
    });
    // clang-format on
    auto m = decode(wire);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->questions->size(), 1u);
    EXPECT_EQ(m->questions->at(0)->name, "www.example.com");
    EXPECT_EQ(m->questions->at(0)->type, 1);
    EXPECT_EQ(m->questions->at(0)->questionClass, 1);
    EXPECT_FALSE(m->answers);
    EXPECT_FALSE(m->authorityRecords);
    ASSERT_EQ(m->additionalRecords->size(), 1u);
    const auto& record = m->additionalRecords->at(0);
    EXPECT_EQ(typeid(*record), typeid(DNSResourceRecord));  // always the plain class
    EXPECT_EQ(record->name, ".");
    EXPECT_EQ(record->data, (Bytes{0x00, 0x0A, 0x00, 0x00}));

    auto opt = DNSOPTResourceRecord::fromResource(*record);
    EXPECT_EQ(opt->udpPayloadSize, 4096);
    EXPECT_EQ(opt->extendedRCode, 0);
    EXPECT_EQ(opt->version, 0);
    EXPECT_TRUE(opt->dnssecOK);
}

TEST(DNSDecoder, RecordWithZeroLengthDataHasEmptyNotAbsentData) {
    // clang-format off
    const Bytes wire = join({
        header(0, 1, 0, 0),
        {0x00},                    // root owner
        {0x00, 0x10, 0x00, 0x01},  // TXT IN
        {0x00, 0x00, 0x0E, 0x10},  // ttl 3600
        {0x00, 0x00},              // rdlength 0
    });
    // clang-format on
    auto m = decode(wire);
    ASSERT_TRUE(m);
    const auto& r = m->answers->at(0);
    EXPECT_EQ(r->ttl, 3600u);
    ASSERT_TRUE(r->data.has_value());
    EXPECT_TRUE(r->data->empty());
}

TEST(DNSDecoder, CountsStayAsReadAndRecordsAreNotRepeatedToFillACount) {
    // clang-format off
    const Bytes oneRecord = join({
        {0x00},                          // root owner
        {0x00, 0x01, 0x00, 0x01},        // A IN
        {0x00, 0x00, 0x00, 0x3C},        // ttl 60
        {0x00, 0x04}, {127, 0, 0, 1},    // rdata
    });
    // clang-format on
    EXPECT_FALSE(decode(join({header(0, 0, 0, 2), oneRecord})));
    auto m = decode(join({header(0, 0, 0, 1), oneRecord}));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->header.additionalRecordCount, 1);
}

// --- names -----------------------------------------------------------------------

struct NameCase {
    const char* title;
    Bytes wire;
    uint32_t start;
    std::optional<std::string> name;  // absent: the name fails
    uint32_t end;                     // offset after the name (when it decodes)
};

class NameDecoding : public testing::TestWithParam<NameCase> {};

TEST_P(NameDecoding, Decodes) {
    const auto& c = GetParam();
    uint32_t end = 0;
    EXPECT_EQ(decodeName(c.wire, c.start, &end), c.name);
    if (c.name) {
        EXPECT_EQ(end, c.end);
    }
}

Bytes padTo(size_t size, Bytes wire) {
    wire.resize(size, 0xEE);
    return wire;
}

Bytes at(size_t offset, Bytes wire, const Bytes& piece) {
    if (wire.size() < offset + piece.size()) wire.resize(offset + piece.size(), 0xEE);
    std::copy(piece.begin(), piece.end(), wire.begin() + offset);
    return wire;
}

// A chain of `hops` pointers, each to the one before, ending at a name "end".
Bytes pointerChain(size_t hops) {
    Bytes wire = join({label("end"), {0x00}});  // offset 0
    size_t previous = 0;
    for (size_t i = 0; i < hops; ++i) {
        const size_t here = wire.size();
        wire.push_back(uint8_t(0xC0 | (previous >> 8)));
        wire.push_back(uint8_t(previous));
        previous = here;
    }
    return wire;
}

const std::string k63(63, 'x');
const Bytes k63Label = label(k63);

INSTANTIATE_TEST_SUITE_P(
    Names, NameDecoding,
    testing::Values(
        NameCase{"ThreeLabels", join({label("a"), label("bc"), label("def"), {0x00}}), 0, "a.bc.def", 10},
        NameCase{"Root", {0x00}, 0, ".", 1},
        NameCase{"PointerC0_0C", at(12, {0xC0, 0x0C}, join({label("x"), {0x00}})), 0, "x", 2},
        NameCase{"PointerC1_05", at(261, {0xC1, 0x05}, join({label("far"), {0x00}})), 0, "far", 2},
        NameCase{"LabelThenPointer",
                 at(12, join({label("a"), {0xC0, 0x0C}}), join({label("bc"), label("def"), {0x00}})), 0,
                 "a.bc.def", 4},
        NameCase{"PointerPastEndKeepsLabelsBefore", padTo(100, join({label("a"), {0xC0, 0xFF}})), 0, "a", 4},
        NameCase{"PointerPastEndAloneIsRoot", {0xC0, 0x10}, 0, ".", 2},
        NameCase{"TargetCutOffKeepsLabelsBefore", join({label("a"), {0xC0, 0x04}, {0x05, 'x'}}), 0, "a", 4},
        NameCase{"ChainFallsBackToLabelsBeforeLastPointer",
                 join({label("a"), {0xC0, 0x04}, label("b"), {0xC0, 0xFF}}), 0, "a.b", 4},
        // A pointer to the root or to nothing adds no label: never "a..".
        NameCase{"PointerToRootAddsNoLabel", join({{0x00}, label("a"), {0xC0, 0x00}}), 1, "a", 5},
        NameCase{"PointerToPointerToRoot", join({{0x00}, {0xC0, 0x00}, label("a"), {0xC0, 0x01}}), 3, "a", 7},
        NameCase{
            "NonAsciiAndZeroBytesKept", {0x03, 0xFF, 0x00, 0x7F, 0x00}, 0, std::string("\xFF\x00\x7F", 3), 5},
        NameCase{"Label64Accepted", join({label(std::string(64, 'q')), {0x00}}), 0, std::string(64, 'q'), 66},
        NameCase{"Label191Accepted", join({label(std::string(191, 'q')), {0x00}}), 0, std::string(191, 'q'),
                 193},
        NameCase{"Name255Accepted", join({k63Label, k63Label, k63Label, label(std::string(61, 'w')), {0x00}}),
                 0, k63 + "." + k63 + "." + k63 + "." + std::string(61, 'w'), 255},
        NameCase{"Name256Fails", join({k63Label, k63Label, k63Label, label(std::string(62, 'w')), {0x00}}), 0,
                 std::nullopt, 0},
        NameCase{"Name256ThroughPointerFails",
                 join({k63Label, k63Label, k63Label, {0xC0, 0xC2}, label(std::string(62, 'w')), {0x00}}), 0,
                 std::nullopt, 0},
        NameCase{"DotInLabelFails", join({label("a.b"), {0x00}}), 0, std::nullopt, 0},
        NameCase{"DotInPointedLabelFails", join({label("a"), {0xC0, 0x04}, label("."), {0x00}}), 0,
                 std::nullopt, 0},
        NameCase{"SelfPointerFails", {0xC0, 0x00}, 0, std::nullopt, 0},
        NameCase{"TwoPointerLoopFails", {0xC0, 0x02, 0xC0, 0x00}, 0, std::nullopt, 0},
        NameCase{"LoopThroughLabelFails", join({label("a"), {0xC0, 0x00}}), 0, std::nullopt, 0},
        NameCase{"Chain127Hops", pointerChain(127), 5 + 126 * 2, "end", 5 + 127 * 2},
        NameCase{"Chain128HopsFails", pointerChain(128), 5 + 127 * 2, std::nullopt, 0},
        NameCase{"EmptyBuffer", {}, 0, std::nullopt, 0}, NameCase{"StartPastEnd", {0x00}, 5, std::nullopt, 0},
        NameCase{"LabelCutOff", {0x03, 'a', 'b'}, 0, std::nullopt, 0},
        NameCase{"MissingEndByte", join({label("a")}), 0, std::nullopt, 0},
        NameCase{"PointerCutOff", join({label("a"), {0xC0}}), 0, std::nullopt, 0}),
    [](const auto& info) { return info.param.title; });

TEST(DNSDecoder, LabelDecoderIsReusable) {
    const Bytes wire = join({label("a"), {0x00}, {0xC0}});
    DNSLabelDecoder decoder;
    uint32_t offset = 3;  // the cut-off pointer
    EXPECT_FALSE(decoder.decodeLabelInBuffer(wire.data(), offset, uint32_t(wire.size())));
    offset = 0;
    EXPECT_TRUE(decoder.decodeLabelInBuffer(wire.data(), offset, uint32_t(wire.size())));
    EXPECT_EQ(decoder.name, "a");
    offset = 3;
    EXPECT_FALSE(decoder.decodeLabelInBuffer(wire.data(), offset, uint32_t(wire.size())));
    EXPECT_FALSE(decoder.name);
}

// --- malformed messages -----------------------------------------------------------

struct MalformedCase {
    const char* title;
    Bytes wire;
};

class MalformedMessages : public testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedMessages, YieldNoMessage) { EXPECT_FALSE(decode(GetParam().wire)); }

const Bytes kQuestion = join({label("ex"), {0x00}, {0x00, 0x01, 0x00, 0x01}});
const Bytes kRecord =
    join({{0xC0, 0x0C}, {0x00, 0x01, 0x00, 0x01}, {0, 0, 0, 60}, {0x00, 0x04}, {10, 0, 0, 1}});

Bytes cut(Bytes wire, size_t drop) {
    wire.resize(wire.size() - drop);
    return wire;
}

INSTANTIATE_TEST_SUITE_P(
    Decoder, MalformedMessages,
    testing::Values(
        MalformedCase{"Empty", {}}, MalformedCase{"TruncatedHeader", {0x00, 0x01, 0x01}},
        MalformedCase{"QuestionMissing", header(1, 0, 0, 0)},
        MalformedCase{"QuestionNameCutOff", join({header(1, 0, 0, 0), {0x02, 'e'}})},
        MalformedCase{"QuestionClassCutOff", cut(join({header(1, 0, 0, 0), kQuestion}), 1)},
        MalformedCase{"QuestionTypeMissing", cut(join({header(1, 0, 0, 0), kQuestion}), 4)},
        MalformedCase{"RecordFixedFieldsCutOff", cut(join({header(1, 1, 0, 0), kQuestion, kRecord}), 7)},
        MalformedCase{"RecordDataCutOff", cut(join({header(1, 1, 0, 0), kQuestion, kRecord}), 1)},
        MalformedCase{"RecordLengthBeyondEnd",
                      join({header(0, 1, 0, 0), {0x00, 0, 1, 0, 1, 0, 0, 0, 0, 0xFF, 0xFF, 1, 2}})},
        MalformedCase{"QuestionPointerLoop", join({header(1, 0, 0, 0), {0xC0, 0x0C, 0, 1, 0, 1}})},
        MalformedCase{"QuestionDotInLabel", join({header(1, 0, 0, 0), label("a.b"), {0x00, 0, 1, 0, 1}})},
        // The only question is a bare pointer past the end of the message. Its
        // name is the root, but then type and class are missing.
        MalformedCase{"PointerPastEndWithoutFields", join({header(1, 0, 0, 0), {0xC3, 0xFF}})},
        MalformedCase{"QuestionCountTooHigh", join({header(2, 0, 0, 0), kQuestion})},
        MalformedCase{"AnswerCountTooHigh", join({header(1, 2, 0, 0), kQuestion, kRecord})},
        MalformedCase{"AuthorityCountTooHigh", join({header(1, 0, 1, 0), kQuestion})},
        MalformedCase{"AdditionalCountMax", join({header(1, 0, 0, 0xFFFF), kQuestion, kRecord})},
        MalformedCase{"AllCountsMax", header(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF)}),
    [](const auto& info) { return info.param.title; });

TEST(DNSDecoder, ResourceDecoderRefusesOffsetAtEnd) {
    const Bytes wire = {0x00};
    DNSResourceRecordDecoder decoder;
    uint32_t offset = 1;
    EXPECT_FALSE(decoder.decodeResourceInBuffer(wire.data(), offset, 1));
    EXPECT_FALSE(decoder.resource);
    DNSQuestionDecoder questions;
    offset = 7;
    EXPECT_FALSE(questions.decodeQuestionInBuffer(wire.data(), offset, 1));
}

// --- hostile input ----------------------------------------------------------------
// No timing assertions: these would hang or exhaust memory if pointers were followed
// recursively or names grew without bound.

// A chain of `hops` pointers placed at offset `base` of a message, each pointing to
// the one before, the first pointing to the name "end" at `base`; `last` receives
// the offset of the last pointer.
Bytes chainAt(size_t base, size_t hops, size_t& last) {
    Bytes body = join({label("end"), {0x00}});
    last = base;
    for (size_t i = 0; i < hops; ++i) {
        const size_t here = base + body.size();
        body.push_back(uint8_t(0xC0 | (last >> 8)));
        body.push_back(uint8_t(last));
        last = here;
    }
    return body;
}

Bytes pointerQuestion(size_t target) { return {uint8_t(0xC0 | (target >> 8)), uint8_t(target), 0, 1, 0, 1}; }

// A message whose `count` questions are each a pointer to `target` (a 14-bit offset, so
// hostile names live in the first 16 KiB), followed by one answer whose data is `data`.
// The data starts at 12 + 6 * count + 11.
Bytes questionsIntoAnswerData(size_t count, size_t target, const Bytes& data) {
    Bytes wire = header(uint16_t(count), 1, 0, 0);
    for (size_t i = 0; i < count; ++i) wire = join({wire, pointerQuestion(target)});
    // clang-format off
    return join({wire,
                 {0x00},                                            // answer owner: root
                 {0x00, 0x10, 0x00, 0x01, 0, 0, 0, 0},              // TXT IN ttl 0
                 {uint8_t(data.size() >> 8), uint8_t(data.size())},  // rdlength
                 data});
    // clang-format on
}

TEST(DNSDecoderHostile, SevenThousandPointerChainFails) {
    constexpr size_t kQuestions = 300;
    const size_t dataAt = 12 + kQuestions * 6 + 11;
    size_t last = 0;
    const Bytes chain = chainAt(dataAt, 7000, last);
    ASSERT_LT(last, 0x4000u);
    const Bytes wire = questionsIntoAnswerData(kQuestions, last, chain);
    EXPECT_FALSE(decode(wire));
    for (size_t i = 0; i < kQuestions; ++i) EXPECT_FALSE(decodeName(wire, uint32_t(12 + i * 6)));

    // The same layout is a valid name when the question's pointer and the chain make
    // 127 hops together.
    const size_t shortAt = 12 + 6 + 11;
    const Bytes shortChain = chainAt(shortAt, 126, last);
    auto ok = decode(questionsIntoAnswerData(1, last, shortChain));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->questions->at(0)->name, "end");
}

TEST(DNSDecoderHostile, SixteenKilobyteNameReferencedByThousandsOfQuestionsFails) {
    constexpr size_t kQuestions = 2000;
    Bytes name;
    while (name.size() < 16 * 1024) name = join({name, label("abcdefghijklmno")});
    name.push_back(0x00);
    const size_t dataAt = 12 + kQuestions * 6 + 11;
    const Bytes wire = questionsIntoAnswerData(kQuestions, dataAt, name);
    EXPECT_FALSE(decode(wire));
    for (size_t i = 0; i < kQuestions; ++i) EXPECT_FALSE(decodeName(wire, uint32_t(12 + i * 6)));
}

TEST(DNSDecoderHostile, ThousandsOfReferencesToTheLongestNameStayBounded) {
    // A name expands to at most 255 octets whatever the input: 10,000 references to a
    // 255-octet name decode to 10,000 names of 253 characters.
    constexpr size_t kQuestions = 10000;
    const std::string k63(63, 'x');
    const Bytes first =
        join({label(k63), label(k63), label(k63), label(std::string(61, 'w')), {0x00}, {0, 1, 0, 1}});
    Bytes wire = join({header(kQuestions, 0, 0, 0), first});
    for (size_t i = 1; i < kQuestions; ++i) {
        const Bytes q = pointerQuestion(12);
        wire.insert(wire.end(), q.begin(), q.end());
    }
    auto m = decode(wire);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->questions->size(), kQuestions);
    for (const auto& q : *m->questions) ASSERT_EQ(q->name->size(), 253u);
}

TEST(DNSDecoderHostile, LoopsInEverySectionFail) {
    const Bytes loop = {0xC0, 0x0C};  // points at itself (offset 12)
    EXPECT_FALSE(decode(join({header(1, 0, 0, 0), loop, {0, 1, 0, 1}})));
    EXPECT_FALSE(decode(join({header(0, 1, 0, 0), loop, {0, 1, 0, 1, 0, 0, 0, 0, 0, 0}})));
    EXPECT_FALSE(decode(join({header(0, 0, 1, 0), loop, {0, 1, 0, 1, 0, 0, 0, 0, 0, 0}})));
    EXPECT_FALSE(decode(join({header(0, 0, 0, 1), loop, {0, 1, 0, 1, 0, 0, 0, 0, 0, 0}})));
}

}  // namespace
}  // namespace dnscodec
