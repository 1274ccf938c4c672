#include <gtest/gtest.h>

#include <typeinfo>

#include "dnscodec/address/DNSAResourceRecord.hpp"

namespace dnscodec {
namespace {

std::shared_ptr<DNSResourceRecord> plainRecord(std::optional<Bytes> data) {
    auto record = std::make_shared<DNSResourceRecord>();
    record->name = "example.com";
    record->type = 1;
    record->resourceClass = 1;
    record->ttl = 300;
    record->data = std::move(data);
    return record;
}

Bytes v6Bytes() {
    Bytes bytes{0x20, 0x01, 0x0D, 0xB8};
    bytes.resize(15, 0);
    bytes.push_back(0x01);
    return bytes;
}

TEST(DNSAResourceRecordTest, TypedViewOfFourBytes) {
    const auto record = DNSAResourceRecord::fromResource(*plainRecord(Bytes{0xC0, 0xA8, 0x01, 0x02}));
    ASSERT_TRUE(record->ip.has_value());
    EXPECT_EQ(record->ip->address(), "192.168.1.2");
    EXPECT_EQ(record->encodeData(), (Bytes{0xC0, 0xA8, 0x01, 0x02}));
    EXPECT_FALSE(record->data.has_value());
    EXPECT_EQ(record->name, "example.com");
    EXPECT_EQ(record->ttl, 300u);
}

TEST(DNSAResourceRecordTest, TypedViewOfSixteenBytes) {
    const auto record = DNSAResourceRecord::fromResource(*plainRecord(v6Bytes()));
    ASSERT_TRUE(record->ip.has_value());
    EXPECT_EQ(record->ip->correctForm(), "2001:db8::1");
    EXPECT_EQ(record->encodeData(), v6Bytes());
}

TEST(DNSAResourceRecordTest, OtherLengthsLeaveNoAddress) {
    for (std::size_t length : {0u, 1u, 5u, 15u, 17u, 300u}) {
        SCOPED_TRACE(length);
        auto record = DNSAResourceRecord::fromResource(*plainRecord(Bytes(length, 0xAB)));
        EXPECT_FALSE(record->ip.has_value());
        // Without an address the data goes out as it came.
        record->data = Bytes(length, 0xAB);
        EXPECT_EQ(record->encodeData(), Bytes(length, 0xAB));
        const auto copy = record->copy();
        EXPECT_FALSE(std::static_pointer_cast<DNSAResourceRecord>(copy)->ip.has_value());
    }
    const auto record = DNSAResourceRecord::fromResource(*plainRecord(std::nullopt));
    EXPECT_FALSE(record->ip.has_value());
    EXPECT_EQ(record->encodeData(), Bytes{});
}

TEST(DNSAResourceRecordTest, CopyRebuildsTheAddress) {
    auto record = DNSAResourceRecord::fromResource(*plainRecord(v6Bytes()));
    record->data = v6Bytes();
    const DNSResourceRecordPtr copy = record->copy();
    ASSERT_EQ(typeid(*copy), typeid(DNSAResourceRecord));
    const auto& typed = static_cast<const DNSAResourceRecord&>(*copy);
    ASSERT_TRUE(typed.ip.has_value());
    EXPECT_EQ(typed.ip->correctForm(), "2001:db8::1");
    // Made from the bytes, so the copy's address text is the canonical one.
    EXPECT_EQ(typed.ip->address(), "2001:0db8:0000:0000:0000:0000:0000:0001");
    EXPECT_EQ(typed.data, v6Bytes());
    EXPECT_EQ(typed.name, "example.com");

    // An address set by hand keeps its bytes through a copy, its prefix does not.
    record->ip = IPAddress("10.0.0.1/8");
    const auto second = std::static_pointer_cast<DNSAResourceRecord>(record->copy());
    EXPECT_EQ(second->ip->address(), "10.0.0.1");
}

TEST(DNSAResourceRecordTest, EncodesOnTheWire) {
    auto record = DNSAResourceRecord::fromResource(*plainRecord(Bytes{10, 0, 0, 1}));
    const auto wire = record->encode();
    ASSERT_TRUE(wire.has_value());
    const Bytes expected{
        7,  'e', 'x', 'a',  'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0,  // owner name
        0,  1,                                                        // type A
        0,  1,                                                        // class IN
        0,  0,   1,   0x2C,                                           // ttl 300
        0,  4,                                                        // data length
        10, 0,   0,   1,                                              // the address
    };
    EXPECT_EQ(*wire, expected);
}

}  // namespace
}  // namespace dnscodec
