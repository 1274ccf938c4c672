#include <gtest/gtest.h>

#include "fakes/ne/IoRunner.hpp"
#include "fakes/ne/LoopbackSocket.hpp"
#include "platform/ne/NWUDPConnection.hpp"
#include "platform/ne/OwnEndpoints.hpp"

namespace {

using platform::ne::ContentContext;
using platform::ne::Datagram;
using platform::ne::NWConnectionState;
using platform::ne::NWError;
using platform::ne::NWUDPConnection;
using Kind = NWConnectionState::Kind;

struct Received {
    std::optional<Datagram> content;
    std::optional<NWError> error;
};

class NWUDPConnectionTest : public ::testing::Test {
protected:
    std::shared_ptr<NWUDPConnection> connect(const std::string& host, std::uint16_t port) {
        auto connection = NWUDPConnection::make(host, port);
        connection->setStateUpdateHandler([this](const NWConnectionState& s) { states.push_back(s); });
        connection->start(platform::ne::makeQueue(io));
        return connection;
    }
    bool reached(Kind kind) {
        return fakes::runUntil(io, [&] { return !states.empty() && states.back().kind == kind; });
    }

    asio::io_context io;
    std::vector<NWConnectionState> states;
};

TEST_F(NWUDPConnectionTest, SendsAndReceivesOverLoopback) {
    fakes::LoopbackSocket server;
    auto connection = connect("127.0.0.1", server.port());
    ASSERT_TRUE(reached(Kind::ready));
    EXPECT_EQ(states.front().kind, Kind::preparing);

    std::vector<std::optional<NWError>> sends;
    std::vector<Received> receives;
    connection->batch([&] {
        for (std::uint8_t i = 1; i <= 3; ++i) {
            connection->send(Datagram{i, i},
                             i == 3 ? ContentContext::finalMessage : ContentContext::defaultMessage, i == 3,
                             [&](std::optional<NWError> e) { sends.push_back(e); });
        }
    });
    for (int i = 0; i < 2; ++i) {
        connection->receiveMessage(
            [&](std::optional<Datagram> c, std::optional<ContentContext>, bool, std::optional<NWError> e) {
                receives.push_back({c, e});
            });
    }
    ASSERT_TRUE(fakes::runUntil(io, [&] { return sends.size() == 3; }));
    for (const auto& e : sends) EXPECT_FALSE(e);
    for (std::uint8_t i = 1; i <= 3; ++i) {
        const auto query = server.receive();
        ASSERT_TRUE(query);
        EXPECT_EQ(query->bytes, (Datagram{i, i}));
        if (i < 3) server.sendTo("127.0.0.1", query->fromPort, Datagram{0xA0, i});
    }
    ASSERT_TRUE(fakes::runUntil(io, [&] { return receives.size() == 2; }));
    EXPECT_EQ(receives[0].content, (Datagram{0xA0, 1}));
    EXPECT_EQ(receives[1].content, (Datagram{0xA0, 2}));
    connection->cancel();
    ASSERT_TRUE(reached(Kind::cancelled));
}

TEST_F(NWUDPConnectionTest, HostNamesFailWithoutLookup) {
    auto connection = connect("localhost", 53);
    ASSERT_TRUE(reached(Kind::failed));
    EXPECT_EQ(states.back().error, NWError::posix(EINVAL));
}

TEST_F(NWUDPConnectionTest, AClosedPortReportsTheRefusalToTheReceive) {
    std::uint16_t port;
    {
        fakes::LoopbackSocket gone;
        port = gone.port();
    }
    auto connection = connect("127.0.0.1", port);
    ASSERT_TRUE(reached(Kind::ready));
    std::vector<Received> receives;
    connection->send(Datagram{1}, ContentContext::finalMessage, true, [](std::optional<NWError>) {});
    connection->receiveMessage(
        [&](std::optional<Datagram> c, std::optional<ContentContext>, bool, std::optional<NWError> e) {
            receives.push_back({c, e});
        });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return !receives.empty(); }));
    EXPECT_EQ(receives[0].error, NWError::posix(ECONNREFUSED));
    connection->cancel();
}

TEST_F(NWUDPConnectionTest, CancelCallsNoPendingCompletion) {
    fakes::LoopbackSocket server;
    auto connection = connect("127.0.0.1", server.port());
    ASSERT_TRUE(reached(Kind::ready));
    int calls = 0;
    connection->receiveMessage([&](std::optional<Datagram>, std::optional<ContentContext>, bool,
                                   std::optional<NWError>) { ++calls; });
    connection->cancel();
    ASSERT_TRUE(reached(Kind::cancelled));
    connection->send(Datagram{1}, ContentContext::finalMessage, true,
                     [&](std::optional<NWError>) { ++calls; });
    connection->restart();  // nothing once cancelled
    fakes::drain(io);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(connection->state().kind, Kind::cancelled);
    EXPECT_FALSE(connection->localEndpoint());
}

TEST_F(NWUDPConnectionTest, NeverSendsIntoThisProcessesListeningSockets) {
    struct Case {
        const char* listen;
        const char* target;  // each spelling reaches the listening socket
    };
    const Case cases[] = {
        {"127.0.0.1", "127.0.0.1"},         // the listening address itself
        {"127.0.0.1", "::ffff:127.0.0.1"},  // IPv4-mapped: sent as IPv4
        {"127.0.0.1", "0.0.0.0"},           // unspecified: this host's loopback
        {"127.0.0.1", "::ffff:0.0.0.0"},    // both at once
        {"::1", "::"},                      // the IPv6 unspecified address
    };
    for (const auto& c : cases) {
        fakes::LoopbackSocket listening(c.listen);  // stands for the host's socket
        const asio::ip::udp::endpoint own(asio::ip::make_address(c.listen), listening.port());
        platform::ne::OwnEndpoints::shared().add(own);
        states.clear();
        auto connection = connect(c.target, listening.port());
        const bool failed = reached(Kind::failed);
        platform::ne::OwnEndpoints::shared().remove(own);
        EXPECT_TRUE(failed) << c.target;
        if (failed) {
            EXPECT_EQ(states.back().error, NWError::posix(ELOOP)) << c.target;
        }
        connection->send(Datagram{1}, ContentContext::finalMessage, true, [](std::optional<NWError>) {});
        fakes::drain(io);
        EXPECT_FALSE(listening.receive(0)) << c.target << ": the query reached this process";
        connection->cancel();
        fakes::drain(io);
    }
}

// Restarts may come back to back (the error handling restarts the target and then
// the connection); the association that results must still serve its receives.
TEST_F(NWUDPConnectionTest, BackToBackRestartsKeepServingReceives) {
    fakes::LoopbackSocket server;
    auto connection = connect("127.0.0.1", server.port());
    ASSERT_TRUE(reached(Kind::ready));
    std::vector<Received> receives;
    connection->receiveMessage(
        [&](std::optional<Datagram> c, std::optional<ContentContext>, bool, std::optional<NWError> e) {
            receives.push_back({c, e});
        });
    fakes::drain(io);
    states.clear();
    connection->restart();
    connection->restart();
    ASSERT_TRUE(fakes::runUntil(io, [&] {
        return std::count_if(states.begin(), states.end(),
                             [](const NWConnectionState& s) { return s.kind == Kind::ready; }) == 2;
    }));
    bool sent = false;
    connection->send(Datagram{3}, ContentContext::finalMessage, true,
                     [&](std::optional<NWError> e) { sent = !e; });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return sent; }));
    const auto query = server.receive();
    ASSERT_TRUE(query);
    server.sendTo("127.0.0.1", query->fromPort, Datagram{0xA3});
    ASSERT_TRUE(fakes::runUntil(
        io, [&] { return !receives.empty(); }, std::chrono::milliseconds(2000)));
    EXPECT_EQ(receives[0].content, Datagram{0xA3});
    connection->cancel();
}

TEST_F(NWUDPConnectionTest, SendsWaitForReady) {
    fakes::LoopbackSocket server;
    auto connection = NWUDPConnection::make("127.0.0.1", server.port());
    bool sent = false;
    connection->send(Datagram{7}, ContentContext::finalMessage, true,
                     [&](std::optional<NWError> e) { sent = !e; });
    connection->start(platform::ne::makeQueue(io));
    ASSERT_TRUE(fakes::runUntil(io, [&] { return sent; }));
    const auto query = server.receive();
    ASSERT_TRUE(query);
    EXPECT_EQ(query->bytes, Datagram{7});
    connection->cancel();
}

}  // namespace
