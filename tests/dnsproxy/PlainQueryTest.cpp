// A plain query is tagged from its own bytes, without the message decoder and
// encoder. These cases hold that shortcut to what decoding, replacing the
// additional section and encoding again gives, byte for byte, for plain queries,
// for the shapes next to them that the shortcut must leave to the codec, and for
// many queries cut and flipped at random.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "ProxyFixture.hpp"
#include "QueryFixtures.hpp"
#include "dnscodec/DNSMessageDecoder.hpp"
#include "dnscodec/DNSMessageEncoder.hpp"
#include "dnsproxy/DNSProxyUDPFlow.hpp"
#include "dnsproxy/DefaultConfiguration.hpp"
#include "dnsproxy/ProxyLog.hpp"

namespace {

using dnsproxy::DNSProxyUDPFlow;
using testing_dnsproxy::Bytes;
using testing_dnsproxy::query;

// What tagging made of a query before the shortcut: decode, the additional section
// replaced by the configuration's OPT record, encode. Untouched when either fails.
DNSProxyUDPFlow::Modified byTheCodec(const Bytes& datagram, const dnsproxy::FlowConfiguration& config,
                                     const DNSProxyUDPFlow& flow) {
    dnscodec::DNSMessageDecoder decoder;
    if (!decoder.decodeMessageInBuffer(datagram.data(), static_cast<std::uint32_t>(datagram.size()))) {
        return {false, datagram, std::nullopt};
    }
    auto& message = *decoder.message;
    dnsproxy::ReplyLimit limit;
    if (message.additionalRecords) {
        for (const auto& record : *message.additionalRecords) {
            if (record && record->type == 41) {
                limit = {std::max(limit.bytes, record->resourceClass), true};
                break;
            }
        }
    }
    auto decision = flow.filterRule(&config, config.providerConfig.externalIPAddress, message);
    if (decision && !decision->isDefault) return {false, datagram, decision, limit};
    message.additionalRecords = std::vector<dnscodec::DNSResourceRecordPtr>{};
    Bytes encoded;
    if (!dnscodec::DNSMessageEncoder::append(message, encoded)) return {false, datagram, decision, limit};
    encoded.insert(encoded.end(), config.optRecord.begin(), config.optRecord.end());
    encoded[10] = 0;
    encoded[11] = 1;
    return {true, encoded, decision, limit};
}

Bytes withCounts(Bytes bytes, std::uint16_t qd, std::uint16_t an, std::uint16_t ns, std::uint16_t ar) {
    const std::uint16_t counts[] = {qd, an, ns, ar};
    for (int i = 0; i < 4; ++i) {
        bytes[4 + 2 * i] = static_cast<std::uint8_t>(counts[i] >> 8);
        bytes[5 + 2 * i] = static_cast<std::uint8_t>(counts[i]);
    }
    return bytes;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class PlainQueryTest : public testing_dnsproxy::ProxyFixture {
public:
    void SetUp() override {
        // Two rules, so that every query is matched against the name and the address.
        const nlohmann::json vendor{
            {"uuid", "00112233-4455-6677-8899-AABBCCDDEEFF"},
            {"locationTag", "abc"},
            {"resolvers", {"127.0.0.9"}},
            {"internalIp", "10.1.2.3"},
            {"externalIp", "198.51.100.7"},
            {"filters",
             {{{"filter", {{{"domain", "corp.example"}}, {{"resolvers", {"127.0.0.11"}}}}}},
              {{"filter", {{{"rule", "203.0.113.0/24"}}, {{"resolvers", {"127.0.0.12"}}}}}}}}};
        config = dnsproxy::makeFlowConfiguration(dnsproxy::makeDefaultConfiguration(vendor), settings);
        flow = std::make_shared<DNSProxyUDPFlow>(std::make_shared<fakes::FakeUDPFlow>(queue),
                                                 dnsproxy::providerLog(), config, settings);
    }
    void expectSame(const Bytes& datagram, const std::string& what) {
        const auto expected = byTheCodec(datagram, *config, *flow);
        const auto made = flow->modifyDNS(datagram, config.get());
        EXPECT_EQ(made.rewritten, expected.rewritten) << what;
        EXPECT_EQ(made.datagram, expected.datagram) << what;
        EXPECT_EQ(made.decision, expected.decision) << what;
        EXPECT_EQ(made.replyLimit, expected.replyLimit) << what;
    }

    dnsproxy::FlowConfigurationPtr config;
    std::shared_ptr<DNSProxyUDPFlow> flow;
};

TEST_F(PlainQueryTest, TagsAsTheCodecWouldForEveryShape) {
    const Bytes plain = query(0x1234, "www.example.com");
    const Bytes withOPT = query(0x1234, "www.example.com", true);
    const Bytes rootOPT{0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, 0};  // 4096, no data
    const Bytes otherRoot{0, 0, 16, 0, 1, 0, 0, 0, 0, 0, 2, 'h', 'i'};
    Bytes zBit = plain;
    zBit[3] |= 0x40;
    Bytes allFlags = plain;
    allFlags[2] = 0xFF;
    allFlags[3] = 0xFF;
    Bytes dotInLabel = query(7, "a.b");
    dotInLabel[13] = '.';  // "a.b" as one label of three bytes
    Bytes longLabel = withCounts(Bytes(12, 0), 1, 0, 0, 0);
    longLabel.push_back(64);
    longLabel.insert(longLabel.end(), 64, 'x');
    longLabel.insert(longLabel.end(), {0, 0, 1, 0, 1});
    Bytes longName = withCounts(Bytes(12, 0), 1, 0, 0, 0);
    for (int i = 0; i < 4; ++i) {
        longName.push_back(63);
        longName.insert(longName.end(), 63, 'n');
    }
    longName.insert(longName.end(), {0, 0, 1, 0, 1});  // 257 bytes of name: too long
    Bytes compressed = withCounts(Bytes(12, 0), 1, 0, 0, 0);
    compressed.insert(compressed.end(), {0xC0, 12, 0, 1, 0, 1});
    const struct {
        const char* what;
        Bytes datagram;
    } cases[] = {
        {"plain", plain},
        {"own OPT record", withOPT},
        {"root name", withCounts(Bytes{0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1}, 1, 0, 0, 0)},
        {"Z bit set", zBit},
        {"every flag set", allFlags},
        {"name claimed by a rule", query(9, "host.CORP.example")},
        {"trailing bytes", concat(plain, {1, 2, 3})},
        {"two root records, OPT second", concat(withCounts(plain, 1, 0, 0, 2), concat(otherRoot, rootOPT))},
        {"OPT cut short", withCounts(concat(plain, Bytes(rootOPT.begin(), rootOPT.end() - 1)), 1, 0, 0, 1)},
        {"record with a name",
         concat(withCounts(plain, 1, 0, 0, 1), {1, 'a', 0, 0, 41, 2, 0, 0, 0, 0, 0, 0, 0})},
        {"answer record", concat(withCounts(plain, 1, 1, 0, 0), otherRoot)},
        {"two questions", concat(withCounts(plain, 2, 0, 0, 0), Bytes(plain.begin() + 12, plain.end()))},
        {"no question", withCounts(Bytes(12, 0), 0, 0, 0, 0)},
        {"dot inside a label", dotInLabel},
        {"label of 64", longLabel},
        {"name of 257", longName},
        {"compressed name", compressed},
        {"header only", Bytes(plain.begin(), plain.begin() + 12)},
        {"short header", Bytes(plain.begin(), plain.begin() + 11)},
        {"type cut short", Bytes(plain.begin(), plain.end() - 1)},
    };
    for (const auto& c : cases) expectSame(c.datagram, c.what);
}

TEST_F(PlainQueryTest, TagsAsTheCodecWouldForDamagedQueries) {
    const Bytes seeds[] = {
        query(1, "a.example.com", true), query(2, "corp.example"),
        concat(withCounts(query(3, "x.y"), 1, 0, 0, 1), Bytes{0, 0, 41, 0x02, 0, 0, 0, 0, 0, 4, 0, 8, 0, 0})};
    std::mt19937 random(20240611);
    for (int round = 0; round < 20000; ++round) {
        Bytes datagram = seeds[round % 3];
        const int edits = 1 + static_cast<int>(random() % 3);
        for (int e = 0; e < edits && !datagram.empty(); ++e) {
            const std::size_t at = random() % datagram.size();
            switch (random() % 3) {
                case 0:
                    datagram[at] = static_cast<std::uint8_t>(random());
                    break;
                case 1:
                    datagram.resize(at);
                    break;
                default:
                    datagram[at] = static_cast<std::uint8_t>(datagram[at] ^ (1u << (random() % 8)));
            }
        }
        expectSame(datagram, "round " + std::to_string(round));
        if (HasFailure()) return;
    }
}

}  // namespace
