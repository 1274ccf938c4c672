#include <gtest/gtest.h>

#include "LogLines.hpp"
#include "QueryFixtures.hpp"
#include "dnsproxy/DNSServerConnection.hpp"
#include "dnsproxy/ProxyLog.hpp"
#include "fakes/ne/FakeNWConnection.hpp"
#include "fakes/ne/IoRunner.hpp"

namespace {

using dnsproxy::DNSServerConnection;
using fakes::FakeNWConnection;
using platform::ne::ContentContext;
using platform::ne::Datagram;
using platform::ne::NWConnectionState;
using platform::ne::NWError;
using Kind = NWConnectionState::Kind;
using testing_dnsproxy::query;
using testing_dnsproxy::reply;

struct Completion {
    std::optional<DNSServerConnection::Replies> replies;
    std::optional<NWError> error;
};

class DNSServerConnectionTest : public ::testing::Test {
protected:
    DNSServerConnectionTest() {
        settings.connectionFactory = factory.factory();
        settings.clock = clock;
        settings.upstreamPort = 5300;
    }

    std::shared_ptr<DNSServerConnection> make(std::vector<Datagram> datagrams) {
        auto connection = std::make_shared<DNSServerConnection>(
            std::move(datagrams), "127.0.0.1", dnsproxy::providerLog(),
            std::vector<platform::ne::NWEndpoint>{},
            [this](DNSServerConnection&, std::optional<DNSServerConnection::Replies> r,
                   std::optional<NWError> e) {
                completions.push_back({std::move(r), e});
            },
            DNSServerConnection::Context{&settings, queue, nullptr});
        connection->endedCompletion = [this](DNSServerConnection&) { ++ended; };
        std::weak_ptr<DNSServerConnection> weak = connection;
        connection->connection->setStateUpdateHandler([weak](const NWConnectionState& s) {
            if (auto c = weak.lock()) c->stateDidChange(s);
        });
        connection->connection->start(queue);
        fake = factory.last();
        return connection;
    }
    void deliver(Kind kind, std::optional<NWError> error = std::nullopt) {
        fake->deliver({kind, error});
        fakes::drain(io);
    }

    asio::io_context io;
    platform::ne::Queue queue = platform::ne::makeQueue(io);
    std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
    fakes::FakeConnectionFactory factory;
    dnsproxy::ProxySettings settings;
    std::shared_ptr<FakeNWConnection> fake;
    std::vector<Completion> completions;
    int ended = 0;
    testing_dnsproxy::LogLines logs;
};

TEST_F(DNSServerConnectionTest, MadeToTheSettingsPortAndNotStartedByItself) {
    auto connection = std::make_shared<DNSServerConnection>(
        std::vector<Datagram>{{1}}, "192.0.2.53", dnsproxy::providerLog(),
        std::vector<platform::ne::NWEndpoint>{}, nullptr,
        DNSServerConnection::Context{&settings, queue, nullptr});
    EXPECT_EQ(factory.last()->host, "192.0.2.53");
    EXPECT_EQ(factory.last()->port, 5300);
    EXPECT_FALSE(factory.last()->started);
    EXPECT_STREQ(connection->state, "created");
    EXPECT_EQ(connection->uuid().size(), 36u);
    EXPECT_FALSE(*connection == *make({{2}}));
}

TEST_F(DNSServerConnectionTest, MarksOnlyDatagramsEqualToTheLastAsFinal) {
    auto different = make({{1}, {2}});
    deliver(Kind::ready);
    ASSERT_EQ(fake->sent.size(), 2u);
    EXPECT_EQ(fake->sent[0].context, ContentContext::defaultMessage);
    EXPECT_FALSE(fake->sent[0].isComplete);
    EXPECT_EQ(fake->sent[1].context, ContentContext::finalMessage);
    EXPECT_TRUE(fake->sent[1].isComplete);
    EXPECT_TRUE(fake->sent[0].inBatch && fake->sent[1].inBatch);

    auto equal = make({{7}, {7}});
    deliver(Kind::ready);
    ASSERT_EQ(fake->sent.size(), 2u);
    EXPECT_TRUE(fake->sent[0].isComplete && fake->sent[1].isComplete);
}

TEST_F(DNSServerConnectionTest, OneReceivePerSendAndOneCompletionWithAllReplies) {
    const Datagram a = query(0xA, "a.test"), b = query(0xB, "b.test"), c = query(0xC, "c.test");
    auto connection = make({a, b, c});
    deliver(Kind::ready);
    EXPECT_EQ(fake->receiveCalls, 3);
    fake->reply(reply(b));
    fake->reply(reply(a));
    fakes::drain(io);
    EXPECT_TRUE(completions.empty());
    EXPECT_STREQ(connection->state, "awaiting more data");
    EXPECT_TRUE(logs.contains("Waiting for more data to receive, pending datagrams:(1)"));
    fake->reply(reply(c));
    fakes::drain(io);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].replies, (DNSServerConnection::Replies{reply(b), reply(a), reply(c)}));
    EXPECT_EQ(connection->answered, (std::vector<std::uint32_t>{1, 0, 2}));
    EXPECT_FALSE(completions[0].error);
    EXPECT_STREQ(connection->state, "all data received");
}

TEST_F(DNSServerConnectionTest, ErrorsWhileWaiting) {
    struct Case {
        NWError error;
        int cancels;
        const char* message;
    };
    const Case cases[] = {
        {NWError::dns(-65537), 0, "Restarting connection : (-65537)"},
        {NWError::dns(0), 1, "Cancelling connection on error type : (0)"},
        {NWError::dns(1), 1, "Cancelling connection on error type : (1)"},
        {NWError::posix(ENETUNREACH), 1, "Posix error : (Network is unreachable)"},
        {NWError::tls(-9800), 1, "Network error : (TLS error -9800)"},
    };
    for (const auto& c : cases) {
        auto connection = make({{1}});
        deliver(Kind::waiting, c.error);
        EXPECT_EQ(fake->cancelCalls, c.cancels) << c.message;
        // The restart after the handled error always comes (also after a cancel).
        EXPECT_EQ(fake->restartCalls, c.cancels ? 1 : 2) << c.message;
        EXPECT_STREQ(connection->state, c.cancels ? "cancelled" : "waiting") << c.message;
        EXPECT_EQ(connection->errorsOnWaiting, 0) << c.message;
        EXPECT_TRUE(logs.contains(c.message)) << c.message;
        EXPECT_TRUE(completions.empty()) << c.message;
        // A cancel that its flow did not ask for ends the connection.
        EXPECT_EQ(ended, c.cancels ? 1 : 0) << c.message;
        ended = 0;
    }
}

TEST_F(DNSServerConnectionTest, FailedCancelsAndNeverCompletes) {
    auto connection = make({{1}});
    deliver(Kind::failed, NWError::posix(EINVAL));
    EXPECT_TRUE(logs.contains("Connection state error opening connection: (Invalid argument)"));
    EXPECT_TRUE(fake->cancelled);
    EXPECT_TRUE(completions.empty());
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(fake->cancelCurrentEndpointCalls, 1);
}

TEST_F(DNSServerConnectionTest, AReadyAfterRestartSendsAgainAndKeepsReplies) {
    const Datagram a = query(0xA, "a.test"), b = query(0xB, "b.test");
    auto connection = make({a, b});
    deliver(Kind::ready);
    fake->reply(reply(a));
    fakes::drain(io);
    deliver(Kind::ready);
    EXPECT_EQ(fake->sent.size(), 4u);
    EXPECT_EQ(connection->receivedData.size(), 1u);
    fake->reply(reply(b));
    fakes::drain(io);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].replies->size(), 2u);
}

TEST_F(DNSServerConnectionTest, SendAndReceiveErrorsReachTheCompletion) {
    auto connection = make({{1}, {2}});
    fake->sendError = NWError::posix(EMSGSIZE);
    deliver(Kind::ready);
    ASSERT_EQ(completions.size(), 2u);  // once per failed datagram
    EXPECT_EQ(completions[0].error, NWError::posix(EMSGSIZE));
    EXPECT_EQ(fake->receiveCalls, 0);
    EXPECT_STREQ(connection->state, "data sent but error");

    completions.clear();
    auto second = make({{1}});
    deliver(Kind::ready);
    fake->reply(std::nullopt);
    fakes::drain(io);
    EXPECT_TRUE(logs.contains("Received data is nil"));
    EXPECT_TRUE(completions.empty());
    second->receive();
    fake->reply(std::nullopt, NWError::posix(ECONNREFUSED));
    fakes::drain(io);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_FALSE(completions[0].replies);
    EXPECT_EQ(completions[0].error, NWError::posix(ECONNREFUSED));
    EXPECT_STREQ(second->state, "received failed with error");
}

TEST_F(DNSServerConnectionTest, ReceiveTimeFollowsTheLastReceive) {
    clock->advance(std::chrono::seconds(5));
    auto connection = make({{1}});
    EXPECT_EQ(connection->receiveTime(), std::chrono::nanoseconds(std::chrono::seconds(5)).count());
    clock->advance(std::chrono::seconds(7));
    deliver(Kind::ready);
    EXPECT_EQ(connection->receiveTime(), std::chrono::nanoseconds(std::chrono::seconds(12)).count());
}

TEST_F(DNSServerConnectionTest, TheReplyDeadlineEndsTheConnection) {
    settings.replyDeadline = std::chrono::milliseconds(20);
    auto connection = make({{1}});
    connection->armDeadline();
    deliver(Kind::ready);
    ASSERT_TRUE(fakes::runUntil(io, [&] { return ended == 1; }));
    EXPECT_TRUE(fake->cancelled);
    EXPECT_TRUE(completions.empty());

    // Once invalidated by its flow, the deadline does nothing.
    auto quiet = make({{1}});
    quiet->armDeadline();
    quiet->invalidate();
    fakes::runUntil(
        io, [] { return false; }, std::chrono::milliseconds(60));
    EXPECT_FALSE(fake->cancelled);
}

// Every rcode of a header-only reply to a query with a question: an error answers
// it, NOERROR and NXDOMAIN (which speak of a name) do not.
class ErrorWithoutQuestion : public ::testing::TestWithParam<int> {};

TEST_P(ErrorWithoutQuestion, AnswersTheQueryOfItsIdWhenItIsAnError) {
    const int rcode = GetParam();
    const auto sent = query(0x4711, "www.example.test");
    Datagram header(sent.begin(), sent.begin() + 12);
    header[2] |= 0x80;
    header[3] = static_cast<std::uint8_t>(rcode);
    std::fill(header.begin() + 4, header.end(), 0);
    EXPECT_EQ(dnsproxy::answersQuery(sent, header), rcode != 0 && rcode != 3);
    auto otherId = header;
    otherId[0] ^= 1;
    EXPECT_FALSE(dnsproxy::answersQuery(sent, otherId));
    auto notAResponse = header;
    notAResponse[2] &= 0x7F;
    EXPECT_FALSE(dnsproxy::answersQuery(sent, notAResponse));
    // A query without a question takes any such reply of its id, as before.
    auto bare = sent;
    bare.resize(12);
    bare[5] = 0;
    EXPECT_TRUE(dnsproxy::answersQuery(bare, header));
}

INSTANTIATE_TEST_SUITE_P(Rcodes, ErrorWithoutQuestion, ::testing::Range(0, 16));

TEST(AnswersQuery, AQueryThatDoesNotParseIsAnsweredByItsIdAlone) {
    const Datagram response = {0x12, 0x34, 0x81, 0x80, 0,   1, 0, 0, 0, 0, 0,
                               0,    3,    'a',  'b',  'c', 0, 0, 1, 0, 1};
    struct Case {
        const char* what;
        Datagram query;
        bool answered;
    };
    const Case cases[] = {
        {"a short header", {0x12, 0x34, 0x01}, true},
        {"a name that points", {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 12, 0, 1, 0, 1}, true},
        {"a question cut short", {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'a'}, true},
        {"another id", {0x12, 0x35, 0x01}, false},
        {"no id at all", {0x12}, false},
        {"a question of its own", query(0x1234, "xyz"), false},
    };
    for (const auto& c : cases) EXPECT_EQ(dnsproxy::answersQuery(c.query, response), c.answered) << c.what;
    auto notAResponse = response;
    notAResponse[2] = 0x01;
    EXPECT_FALSE(dnsproxy::answersQuery(cases[0].query, notAResponse));
    EXPECT_FALSE(dnsproxy::answersQuery(cases[0].query, Datagram(response.begin(), response.begin() + 11)));
}

}  // namespace
