// Records, typed views and message copies: what is copied, what is shared.
#include <gtest/gtest.h>

#include "DNSTestSupport.hpp"
#include "dnscodec/DNSCNAMEResourceRecord.hpp"
#include "dnscodec/DNSMessage.hpp"
#include "dnscodec/DNSOPTResourceRecord.hpp"

namespace dnscodec {
namespace {

using test::join;
using test::label;

TEST(DNSMessageModel, OptFromPlainType41RecordHasZeroEdnsFieldsAndNoData) {
    DNSResourceRecord plain;
    plain.type = 41;
    auto opt = DNSOPTResourceRecord::fromResource(plain);
    static_assert(std::is_same_v<decltype(opt), std::shared_ptr<DNSOPTResourceRecord>>);
    EXPECT_EQ(opt->udpPayloadSize, 0);
    EXPECT_EQ(opt->extendedRCode, 0);
    EXPECT_EQ(opt->version, 0);
    EXPECT_FALSE(opt->dnssecOK);
    EXPECT_FALSE(opt->data.has_value());
    EXPECT_FALSE(opt->name.has_value());
    EXPECT_EQ(opt->type, 41);
}

TEST(DNSMessageModel, FromResourceCopiesFieldsButNotData) {
    DNSResourceRecord source;
    source.name = "example.com";
    source.type = 41;
    source.resourceClass = 4096;
    source.ttl = 0x02018000;  // extended rcode 2, version 1, DO
    source.data = Bytes{1, 2, 3};
    auto opt = DNSOPTResourceRecord::fromResource(source);
    EXPECT_EQ(opt->name, "example.com");
    EXPECT_EQ(opt->resourceClass, 4096);
    EXPECT_EQ(opt->ttl, 0x02018000u);
    EXPECT_FALSE(opt->data.has_value());
    EXPECT_EQ(opt->udpPayloadSize, 4096);
    EXPECT_EQ(opt->extendedRCode, 2);
    EXPECT_EQ(opt->version, 1);
    EXPECT_TRUE(opt->dnssecOK);

    auto plain = DNSResourceRecord::fromResource<DNSResourceRecord>(source);
    EXPECT_EQ(typeid(*plain), typeid(DNSResourceRecord));
    EXPECT_FALSE(plain->data.has_value());
}

// A typed view made through the generic factory, as a subclass in another library
// would be: the view is decoded on the finished object.
class CountingRecord : public DNSResourceRecord {
public:
    int decodes = 0;
    uint16_t seenType = 0;
    void decodeFromResource(const DNSResourceRecord& source) override {
        ++decodes;
        seenType = type;  // already copied when the view decodes
        (void)source;
    }
    DNSResourceRecordPtr copy() const override { return std::make_shared<CountingRecord>(*this); }
};

TEST(DNSMessageModel, GenericFactoryDecodesTheViewOnceOnTheFinishedObject) {
    DNSResourceRecord source;
    source.type = 1;
    auto record = DNSResourceRecord::fromResource<CountingRecord>(source);
    EXPECT_EQ(record->decodes, 1);
    EXPECT_EQ(record->seenType, 1);
    DNSResourceRecordPtr copy = record->copy();
    EXPECT_EQ(typeid(*copy), typeid(CountingRecord));
}

TEST(DNSMessageModel, CnameViewDecodesItsDataWithPointersIntoTheData) {
    DNSResourceRecord source;
    source.type = 5;
    // clang-format off
    source.data = join({
        label("www"),  // offset 0
        {0xC0, 0x06},  // pointer to offset 6
        label("ex"),   // offset 6
        {0x00},        // root
    });
    // clang-format on
    auto cname = DNSCNAMEResourceRecord::fromResource(source);
    EXPECT_EQ(cname->canonicalName, "www.ex");
    EXPECT_EQ(cname->encodeData(), join({label("www"), label("ex"), {0x00}}));

    DNSResourceRecord empty;
    empty.data = Bytes{};
    EXPECT_FALSE(DNSCNAMEResourceRecord::fromResource(empty)->canonicalName.has_value());

    DNSResourceRecord broken;
    broken.data = Bytes{0x05, 'a', 'b'};  // label cut off by the end of the data
    EXPECT_FALSE(DNSCNAMEResourceRecord::fromResource(broken)->canonicalName.has_value());
}

TEST(DNSMessageModel, CopiesKeepTheirTypeAndOwnTheirValues) {
    DNSCNAMEResourceRecord cname;
    cname.name = "a";
    cname.data = Bytes{9};
    cname.canonicalName = "b";
    auto copy = cname.copy();
    ASSERT_EQ(typeid(*copy), typeid(DNSCNAMEResourceRecord));
    auto& typed = static_cast<DNSCNAMEResourceRecord&>(*copy);
    typed.canonicalName = "c";
    typed.data->push_back(1);
    EXPECT_EQ(cname.canonicalName, "b");
    EXPECT_EQ(cname.data, Bytes{9});

    DNSOPTResourceRecord opt;
    opt.udpPayloadSize = 1232;
    opt.dnssecOK = true;
    auto optCopy = std::dynamic_pointer_cast<DNSOPTResourceRecord>(opt.copy());
    ASSERT_TRUE(optCopy);
    EXPECT_EQ(optCopy->udpPayloadSize, 1232);
    EXPECT_TRUE(optCopy->dnssecOK);

    DNSResourceRecord plain;
    plain.ttl = 7;
    EXPECT_EQ(plain.copy()->ttl, 7u);
}

TEST(DNSMessageModel, MessageCopyOwnsHeaderAndArraysAndSharesEntries) {
    DNSMessage first;
    first.header.questionCount = 1;
    auto question = std::make_shared<DNSQuestion>();
    question->name = "example.com";
    first.questions = std::vector<DNSQuestionPtr>{question};
    first.additionalRecords = std::vector<DNSResourceRecordPtr>{std::make_shared<DNSResourceRecord>()};

    DNSMessage second = first;
    second.header.questionCount = 7;
    EXPECT_EQ(first.header.questionCount, 1);
    EXPECT_EQ(second.questions->at(0).get(), question.get());
    EXPECT_EQ(second.additionalRecords->at(0).get(), first.additionalRecords->at(0).get());

    second.additionalRecords = std::vector<DNSResourceRecordPtr>{};
    second.questions->clear();
    EXPECT_EQ(first.additionalRecords->size(), 1u);
    EXPECT_EQ(first.questions->size(), 1u);
}

TEST(DNSMessageModel, NewObjectsAreEmpty) {
    DNSHeader header;
    EXPECT_FALSE(header.isQuery);
    DNSMessage message;
    EXPECT_FALSE(message.questions || message.answers || message.authorityRecords ||
                 message.additionalRecords);
    DNSResourceRecord record;
    EXPECT_FALSE(record.name || record.data);
    DNSQuestion question;
    EXPECT_FALSE(question.name);
}

}  // namespace
}  // namespace dnscodec
