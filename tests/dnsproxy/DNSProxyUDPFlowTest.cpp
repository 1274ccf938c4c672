#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "ProxyFixture.hpp"
#include "QueryFixtures.hpp"
#include "dnscodec/DNSMessageDecoder.hpp"
#include "dnsproxy/ClientIdentificationOption.hpp"
#include "dnsproxy/DNSProxyUDPFlow.hpp"
#include "dnsproxy/ProxyLog.hpp"
#include "fakes/ne/FakeNWConnection.hpp"
#include "fakes/ne/FakeUDPFlow.hpp"
#include "fakes/ne/IoRunner.hpp"

namespace {

using dnsproxy::DNSProxyUDPFlow;
using fakes::FakeUDPFlow;
using nlohmann::json;
using platform::ne::FlowError;
using platform::ne::NWConnectionState;
using platform::ne::NWEndpoint;
using platform::ne::NWError;
using testing_dnsproxy::Bytes;
using testing_dnsproxy::query;
using testing_dnsproxy::reply;
using Kind = NWConnectionState::Kind;

const std::string kUUID = "00112233-4455-6677-8899-AABBCCDDEEFF";

json vendorData(json filters = json::array(), json localDNS = json::array()) {
    return json{{"uuid", kUUID},
                {"locationTag", "abc"},
                {"resolvers", {"127.0.0.9", "127.0.0.10"}},
                {"internalIp", "10.1.2.3"},
                {"externalIp", "198.51.100.7"},
                {"localDNS", localDNS},
                {"filters", filters}};
}

json filter(std::optional<std::string> domain, std::vector<std::string> resolvers) {
    json items = json::array();
    if (domain) items.push_back({{"domain", *domain}});
    if (!resolvers.empty()) items.push_back({{"resolvers", resolvers}});
    return json{{"filter", items}};
}

class DNSProxyUDPFlowTest : public testing_dnsproxy::ProxyFixture {
public:
    // Opens a flow whose one read gives `datagrams` from the client endpoint.
    std::shared_ptr<DNSProxyUDPFlow> run(const json& config, std::vector<Bytes> datagrams,
                                         std::vector<NWEndpoint> endpoints = {}) {
        if (endpoints.empty()) endpoints.assign(datagrams.size(), client);
        clientFlow = std::make_shared<FakeUDPFlow>(queue);
        clientFlow->readDatagramsResult = std::move(datagrams);
        clientFlow->readEndpointsResult = std::move(endpoints);
        return start(config);
    }
    std::shared_ptr<DNSProxyUDPFlow> start(const json& config) {
        auto flowConfig = config.is_null() ? nullptr
                                           : dnsproxy::makeFlowConfiguration(
                                                 dnsproxy::makeDefaultConfiguration(config), settings);
        auto flow =
            std::make_shared<DNSProxyUDPFlow>(clientFlow, dnsproxy::providerLog(), flowConfig, settings);
        flow->flowCompletion = [this](DNSProxyUDPFlow&, std::optional<FlowError>) { ++completions; };
        flow->open();
        fakes::drain(io);
        return flow;
    }
    std::shared_ptr<fakes::FakeNWConnection> upstream() { return factory.last(); }
    void ready() {
        upstream()->deliver({Kind::ready, std::nullopt});
        fakes::drain(io);
    }
    void answerAll() {
        auto connection = upstream();
        for (const auto& sent : std::vector(connection->sent)) connection->reply(reply(sent.content));
        fakes::drain(io);
    }
    bool closed() const { return clientFlow->closeReadCalls > 0 && clientFlow->closeWriteCalls > 0; }
    // Every datagram written to the client, over all writes, checking that each
    // went to the client's endpoint.
    std::vector<Bytes> allWritten() const {
        std::vector<Bytes> result;
        for (const auto& write : clientFlow->written) {
            EXPECT_EQ(write.endpoints, std::vector<NWEndpoint>(write.datagrams.size(), client));
            result.insert(result.end(), write.datagrams.begin(), write.datagrams.end());
        }
        return result;
    }

    std::shared_ptr<FakeUDPFlow> clientFlow;
    int completions = 0;
};

TEST_F(DNSProxyUDPFlowTest, TagsAQueryAndWritesTheReplyBack) {
    const auto sentQuery = query(0x1234, "example.com", /*ownOPT=*/true);
    auto flow = run(vendorData(), {sentQuery});
    EXPECT_TRUE(logs.contains("open called with local endpoint"));
    ASSERT_TRUE(upstream());
    EXPECT_EQ(upstream()->host, "127.0.0.9");
    EXPECT_TRUE(upstream()->started);
    ASSERT_EQ(flow->dnsServerConnections.size(), 1u);
    EXPECT_STREQ(flow->dnsServerConnections[0]->state, "started");
    ready();
    ASSERT_EQ(upstream()->sent.size(), 1u);

    dnscodec::DNSMessageDecoder decoder;
    const auto& sent = upstream()->sent[0].content;
    ASSERT_TRUE(decoder.decodeMessageInBuffer(sent.data(), static_cast<std::uint32_t>(sent.size())));
    const auto& message = *decoder.message;
    EXPECT_EQ(message.header.id, 0x1234);
    EXPECT_EQ((*message.questions)[0]->name, "example.com");
    ASSERT_TRUE(message.additionalRecords);
    ASSERT_EQ(message.additionalRecords->size(), 1u);  // the client's own OPT is gone
    const auto& opt = *message.additionalRecords->front();
    EXPECT_EQ(opt.type, 41);
    EXPECT_EQ(opt.resourceClass, 4096);
    EXPECT_EQ(opt.ttl, 0u);
    const auto expected = dnsproxy::buildClientIdentification(kUUID, "10.1.2.3", "abc");
    EXPECT_EQ(opt.data, Bytes(expected.bytes.begin(), expected.bytes.end()));

    answerAll();
    ASSERT_EQ(clientFlow->written.size(), 1u);
    EXPECT_EQ(clientFlow->written[0].datagrams, std::vector<Bytes>{reply(sent)});
    EXPECT_EQ(clientFlow->written[0].endpoints, std::vector<NWEndpoint>{client});
    fakes::drain(io);
    EXPECT_TRUE(closed());
    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(flow->dnsServerConnections.empty());
    EXPECT_TRUE(upstream()->cancelled);
    EXPECT_FALSE(upstream()->hasStateUpdateHandler());
    EXPECT_EQ(flow->upstreamReceiveTime(), dnsproxy::kNoUpstream);
}

TEST_F(DNSProxyUDPFlowTest, UpstreamChoicePerDatagram) {
    // A file of this run's own: test processes run side by side.
    std::string resolvConf = (std::filesystem::temp_directory_path() / "kiv-resolv-flow-XXXXXX").string();
    const int fd = ::mkstemp(resolvConf.data());
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(resolvConf)
        << "# comment\nnameserver 127.0.0.53\nnameserver not-an-address\nsearch example\n";
    struct Case {
        const char* what;
        json config;
        std::vector<std::string> names;
        bool useResolvConf;
        std::set<std::string> hosts;  // the batch's upstream is one of these
        std::vector<bool> unchanged;  // per datagram: sent byte for byte
    };
    const json rules = {filter(std::nullopt, {"127.0.0.20"}),
                        filter("ruled.example", {"127.0.0.21", "127.0.0.22"}), filter("local.example", {})};
    const Case cases[] = {
        {"no rules: first resolver, tagged", vendorData(), {"a.test"}, false, {"127.0.0.9"}, {false}},
        {"rule with resolvers: unchanged",
         vendorData(rules),
         {"www.ruled.example"},
         false,
         {"127.0.0.21", "127.0.0.22"},
         {true}},
        {"default decision: its resolver", vendorData(rules), {"other.test"}, false, {"127.0.0.20"}, {false}},
        {"rule without resolvers: localDNS",
         vendorData(rules, {"127.0.0.31", "127.0.0.32"}),
         {"x.local.example"},
         false,
         {"127.0.0.31", "127.0.0.32"},
         {true}},
        {"rule without resolvers: the computer's DNS",
         vendorData(rules),
         {"x.local.example"},
         true,
         {"127.0.0.53"},
         {true}},
        {"rule without resolvers: last resort",
         vendorData(rules),
         {"x.local.example"},
         false,
         {"8.8.8.8"},
         {true}},
    };
    for (const auto& c : cases) {
        settings.resolvConfPath = c.useResolvConf ? resolvConf : "/nonexistent/resolv.conf";
        std::vector<Bytes> datagrams;
        for (std::size_t i = 0; i < c.names.size(); ++i)
            datagrams.push_back(query(static_cast<std::uint16_t>(i), c.names[i]));
        auto flow = run(c.config, datagrams);
        ASSERT_TRUE(upstream()) << c.what;
        EXPECT_TRUE(c.hosts.count(upstream()->host)) << c.what << ": " << upstream()->host;
        ready();
        ASSERT_EQ(upstream()->sent.size(), datagrams.size()) << c.what;
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            EXPECT_EQ(upstream()->sent[i].content == datagrams[i], c.unchanged[i]) << c.what << " #" << i;
        }
        answerAll();
        EXPECT_EQ(allWritten().size(), datagrams.size()) << c.what;
    }
    std::filesystem::remove(resolvConf);
}

TEST_F(DNSProxyUDPFlowTest, UndecodableDatagramsGoOutUnchanged) {
    const Bytes garbage = {0xDE, 0xAD, 0xBE, 0xEF};
    auto flow = run(vendorData(), {garbage});
    EXPECT_EQ(upstream()->host, "127.0.0.9");
    ready();
    EXPECT_EQ(upstream()->sent.at(0).content, garbage);
    EXPECT_TRUE(logs.contains("Failed to decode sent message"));
}

TEST_F(DNSProxyUDPFlowTest, EveryEarlyEndClosesTheFlowOnce) {
    struct Case {
        const char* what;
        std::function<void(FakeUDPFlow&)> script;
        json config;
        const char* message;
    };
    const Case cases[] = {
        {"empty batch", [](FakeUDPFlow&) {}, vendorData(),
         "Received EOF of the UDP flow, closing the flow with no error"},
        {"no lists", [](FakeUDPFlow& f) { f.readEndpointsResult.reset(); }, vendorData(),
         "No datagrams to read"},
        {"read error", [](FakeUDPFlow& f) { f.readError = FlowError{FlowError::Code::aborted}; },
         vendorData(), "UDP Error when reading flow  : (The flow was aborted)"},
        {"open error", [](FakeUDPFlow& f) { f.openError = FlowError{FlowError::Code::refused}; },
         vendorData(), "UDP Error when opening message : (\"The flow was refused\")"},
        {"no resolvers", [](FakeUDPFlow&) {}, json{{"uuid", "u"}, {"locationTag", "t"}},
         "Missing default host resolver"},
        {"no configuration", [](FakeUDPFlow&) {}, json(), "Missing default host resolver"},
        {"fewer endpoints than datagrams",
         [](FakeUDPFlow& f) {
             f.readDatagramsResult = std::vector<Bytes>{query(1, "a"), query(2, "b")};
             f.readEndpointsResult = std::vector<NWEndpoint>{fakes::hostEndpoint("127.0.0.1", "1")};
         },
         vendorData(), "Datagrams without endpoints, closing the flow with no error"},
        {"no local endpoint", [](FakeUDPFlow& f) { f.local.reset(); }, vendorData(), nullptr},
        {"non-host local endpoint",
         [](FakeUDPFlow& f) {
             f.local = NWEndpoint(platform::ne::NWBonjourServiceEndpoint{"n", "_dns._udp", "local"});
         },
         vendorData(), nullptr},
    };
    for (const auto& c : cases) {
        completions = 0;
        factory.made->clear();
        clientFlow = std::make_shared<FakeUDPFlow>(queue);
        c.script(*clientFlow);
        auto flow = start(c.config);
        fakes::drain(io);
        EXPECT_EQ(completions, 1) << c.what;
        EXPECT_TRUE(closed()) << c.what;
        EXPECT_FALSE(upstream()) << c.what;
        if (c.message) {
            EXPECT_TRUE(logs.contains(c.message)) << c.what;
        }
    }
}

TEST_F(DNSProxyUDPFlowTest, NonHostEndpointsCloseAtOnceAndTheRestIsSent) {
    const NWEndpoint bonjour = platform::ne::NWBonjourServiceEndpoint{"n", "_dns._udp", "local"};
    auto flow = run(vendorData(), {query(1, "a.test"), query(2, "b.test")}, {bonjour, client});
    EXPECT_TRUE(logs.contains("DNSProxyProvider no endpoint"));
    EXPECT_EQ(completions, 1);
    ready();
    ASSERT_EQ(upstream()->sent.size(), 1u);
    answerAll();
    fakes::drain(io);
    EXPECT_EQ(completions, 1);  // the second close finds the completion gone
    EXPECT_TRUE(flow->dnsServerConnections.empty());

    // A batch with nothing left to send opens no upstream connection.
    factory.made->clear();
    completions = 0;
    run(vendorData(), {query(1, "a.test")}, {bonjour});
    EXPECT_FALSE(upstream());
    EXPECT_EQ(completions, 1);
}

TEST_F(DNSProxyUDPFlowTest, UpstreamFailuresEndTheFlowWithoutWriting) {
    struct Case {
        const char* what;
        std::function<void(DNSProxyUDPFlowTest&)> script;
        const char* message;
    };
    const Case cases[] = {
        {"failed",
         [](DNSProxyUDPFlowTest& t) {
             t.upstream()->deliver({Kind::failed, NWError::posix(ELOOP)});
         },
         nullptr},
        {"cancelled by someone else", [](DNSProxyUDPFlowTest& t) { t.upstream()->cancel(); }, nullptr},
        {"waiting on a POSIX error",
         [](DNSProxyUDPFlowTest& t) {
             t.upstream()->deliver({Kind::waiting, NWError::posix(ENETUNREACH)});
         },
         nullptr},
        {"receive error",
         [](DNSProxyUDPFlowTest& t) {
             t.ready();
             t.upstream()->reply(std::nullopt, NWError::posix(ECONNREFUSED));
         },
         "Error receiving data Connection refused"},
        {"send error",
         [](DNSProxyUDPFlowTest& t) {
             t.upstream()->sendError = NWError::posix(EMSGSIZE);
             t.ready();
         },
         "Error receiving data Message too long"},
    };
    for (const auto& c : cases) {
        completions = 0;
        auto flow = run(vendorData(), {query(1, "a.test"), query(2, "b.test")});
        c.script(*this);
        fakes::drain(io);
        EXPECT_EQ(completions, 1) << c.what;
        EXPECT_TRUE(closed()) << c.what;
        EXPECT_TRUE(clientFlow->written.empty()) << c.what;
        EXPECT_TRUE(flow->dnsServerConnections.empty()) << c.what;
        if (c.message) {
            EXPECT_TRUE(logs.contains(c.message)) << c.what;
        }
    }
}

TEST_F(DNSProxyUDPFlowTest, AFailedWriteStillEndsTheUpstream) {
    auto flow = run(vendorData(), {query(1, "a.test")});
    clientFlow->writeError = FlowError{FlowError::Code::notConnected};
    ready();
    answerAll();
    fakes::drain(io);
    EXPECT_TRUE(logs.contains("Error writing data The flow is not connected"));
    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(upstream()->cancelled);
}

TEST_F(DNSProxyUDPFlowTest, LostRepliesEndAtTheDeadline) {
    settings.replyDeadline = std::chrono::milliseconds(20);
    auto flow = run(vendorData(), {query(1, "a.test")});
    ready();
    ASSERT_TRUE(fakes::runUntil(io, [&] { return completions == 1; }));
    EXPECT_TRUE(closed());
    EXPECT_TRUE(clientFlow->written.empty());
    EXPECT_TRUE(upstream()->cancelled);
    EXPECT_TRUE(flow->dnsServerConnections.empty());
}

// A batch's replies reach the client as they arrive: one the upstream loses must
// not hold back, or take with it at the deadline, those that did arrive.
TEST_F(DNSProxyUDPFlowTest, BatchRepliesAreWrittenAsTheyArriveAndNoneIsLostWithAnother) {
    struct Case {
        const char* what;
        std::vector<std::size_t> answered;  // which sent queries the upstream answers, in order
    };
    const Case cases[] = {
        {"all, in order", {0, 1, 2}},   {"all, out of order", {2, 0, 1}}, {"the middle one lost", {0, 2}},
        {"the first one lost", {1, 2}}, {"only one answered", {1}},       {"none answered", {}},
    };
    for (const auto& c : cases) {
        completions = 0;
        auto flow = run(vendorData(), {query(1, "a.test"), query(2, "b.test"), query(3, "c.test")});
        ready();
        auto connection = upstream();
        ASSERT_EQ(connection->sent.size(), 3u) << c.what;
        std::vector<Bytes> expected;
        for (std::size_t i = 0; i < c.answered.size(); ++i) {
            ASSERT_GT(connection->pendingReceives(), 0u) << c.what;
            expected.push_back(reply(connection->sent[c.answered[i]].content));
            connection->reply(expected.back());
            fakes::drain(io);
            // Each answer is on its way before the next one comes.
            EXPECT_EQ(allWritten().size(), i + 1) << c.what;
        }
        if (c.answered.size() < 3) {
            // The rest never come: the flow ends without them (here by the idle
            // sweep, on the test's clock; the reply deadline ends it the same way).
            EXPECT_EQ(completions, 0) << c.what;
            flow->cancelIdleUpstream(std::chrono::nanoseconds(std::chrono::hours(1)).count(), 0);
        }
        ASSERT_TRUE(fakes::runUntil(io, [&] { return completions == 1; })) << c.what;
        fakes::drain(io);
        EXPECT_EQ(allWritten(), expected) << c.what;
        EXPECT_TRUE(closed()) << c.what;
        EXPECT_TRUE(connection->cancelled) << c.what;
        EXPECT_TRUE(flow->dnsServerConnections.empty()) << c.what;
    }
}

TEST_F(DNSProxyUDPFlowTest, IdleCancellationComparesStrictly) {
    auto flow = run(vendorData(), {query(1, "a.test")});
    ready();  // the receive is issued at time 0
    const std::int64_t limit = std::chrono::nanoseconds(std::chrono::seconds(30)).count();
    flow->cancelIdleUpstream(limit, limit);  // exactly 30.0 s: kept
    fakes::drain(io);
    EXPECT_FALSE(upstream()->cancelled);
    flow->cancelIdleUpstream(limit + 1'000'000'000, limit);  // 31 s
    fakes::drain(io);
    EXPECT_TRUE(upstream()->cancelled);
    EXPECT_EQ(completions, 1);  // the cancelled flow is closed too
    EXPECT_TRUE(closed());
}

TEST_F(DNSProxyUDPFlowTest, QuotesDescriptionsLikeTheDebugForm) {
    EXPECT_EQ(dnsproxy::quotedDescription("a \"b\"\\\n"), "\"a \\\"b\\\"\\\\\\n\"");
    EXPECT_EQ(dnsproxy::quotedDescription(std::string("\x01", 1)), "\"\\u{1}\"");
}

}  // namespace
