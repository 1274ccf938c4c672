#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "fakes/ne/IoRunner.hpp"
#include "fakes/ne/LoopbackSocket.hpp"
#include "platform/BlockPool.hpp"
#include "platform/ne/NWUDPConnection.hpp"
#include "platform/ne/OwnEndpoints.hpp"
#include "platform/ne/UpstreamSockets.hpp"
#include "platform/ne/UringLoop.hpp"

namespace {

using platform::ne::ContentContext;
using platform::ne::Datagram;
using platform::ne::NWConnectionState;
using platform::ne::NWError;
using platform::ne::NWUDPConnection;
using platform::ne::UpstreamSockets;
using Kind = NWConnectionState::Kind;

struct Received {
    std::optional<Datagram> content;
    std::optional<NWError> error;
};

class NWUDPConnectionTest : public ::testing::Test {
protected:
    // On the ring unless KIV_NE_IO_URING=0 (the program runs both ways) or the
    // kernel refuses it.
    NWUDPConnectionTest() { platform::ne::UringLoop::enable(io); }

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

// Each association gets a port of its own from the kernel although the socket is
// the last association's.
TEST_F(NWUDPConnectionTest, AReusedSocketTakesAFreshPortForEachAssociation) {
    fakes::LoopbackSocket server;
    auto& pool = UpstreamSockets::of(platform::ne::makeQueue(io));
    std::set<std::uint16_t> ports;
    constexpr int kAssociations = 8;
    for (int i = 0; i < kAssociations; ++i) {
        states.clear();
        auto connection = connect("127.0.0.1", server.port());
        ASSERT_TRUE(reached(Kind::ready));
        EXPECT_EQ(pool.idle(), 0u);
        connection->send(Datagram{1}, ContentContext::finalMessage, true, [](std::optional<NWError>) {});
        fakes::drain(io);  // the turn's end, where a ring submits
        const auto query = server.receive();
        ASSERT_TRUE(query);
        ports.insert(query->fromPort);
        connection->cancel();
        EXPECT_EQ(pool.idle(), 1u);
    }
    // Random ports: two in a row may meet by chance, hardly more.
    EXPECT_GE(ports.size(), static_cast<std::size_t>(kAssociations - 1));
}

// What one association left on its socket never reaches the next one there: a
// reply queued after the last receive, a reply sent to the old port, the
// refusal of a closed port.
struct Leftover {
    const char* name;
    bool samePeer;    // the next association has the last one's peer
    bool closedPeer;  // the last peer's port is closed: its refusal is pending
    friend void PrintTo(const Leftover& c, std::ostream* os) { *os << c.name; }
};

class NWUDPConnectionLeftovers : public NWUDPConnectionTest,
                                 public ::testing::WithParamInterface<Leftover> {};

TEST_P(NWUDPConnectionLeftovers, NeverReachTheNextAssociation) {
    const auto& c = GetParam();
    fakes::LoopbackSocket first;
    fakes::LoopbackSocket second;
    std::uint16_t firstPort = first.port();
    if (c.closedPeer) first.close();
    auto& pool = UpstreamSockets::of(platform::ne::makeQueue(io));

    auto last = connect("127.0.0.1", firstPort);
    ASSERT_TRUE(reached(Kind::ready));
    bool sent = false;
    last->send(Datagram{1}, ContentContext::finalMessage, true, [&](std::optional<NWError>) { sent = true; });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return sent; }));
    std::uint16_t oldPort = 0;
    if (!c.closedPeer) {
        const auto query = first.receive();
        ASSERT_TRUE(query);
        oldPort = query->fromPort;
        first.sendTo("127.0.0.1", oldPort, Datagram{0xEE, 1});  // never read: queued at the cancel
    }
    last->cancel();
    ASSERT_EQ(pool.idle(), 1u);
    if (oldPort != 0) first.sendTo("127.0.0.1", oldPort, Datagram{0xEE, 2});  // to a port now gone

    fakes::LoopbackSocket& peer = c.samePeer && !c.closedPeer ? first : second;
    states.clear();
    auto next = connect("127.0.0.1", peer.port());
    ASSERT_TRUE(reached(Kind::ready));
    EXPECT_EQ(pool.idle(), 0u);  // the same socket
    std::vector<std::optional<NWError>> sends;
    std::vector<Received> receives;
    next->send(Datagram{2}, ContentContext::finalMessage, true,
               [&](std::optional<NWError> e) { sends.push_back(e); });
    next->receiveMessage(
        [&](std::optional<Datagram> d, std::optional<ContentContext>, bool, std::optional<NWError> e) {
            receives.push_back({d, e});
        });
    fakes::drain(io);  // the turn's end, where a ring submits
    const auto query = peer.receive();
    ASSERT_TRUE(query);
    if (oldPort != 0) {
        first.sendTo("127.0.0.1", oldPort, Datagram{0xEE, 3});
    }
    peer.sendTo("127.0.0.1", query->fromPort, Datagram{0xA2});
    ASSERT_TRUE(fakes::runUntil(io, [&] { return !receives.empty(); }));
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_FALSE(sends[0]);
    EXPECT_FALSE(receives[0].error);
    EXPECT_EQ(receives[0].content, Datagram{0xA2});
    next->cancel();
}

INSTANTIATE_TEST_SUITE_P(Cases, NWUDPConnectionLeftovers,
                         ::testing::Values(Leftover{"QueuedReplySamePeer", true, false},
                                           Leftover{"QueuedReplyOtherPeer", false, false},
                                           Leftover{"PendingRefusal", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NWUDPConnectionTest, IdleSocketsCloseAfterAWholeTrimPeriod) {
    fakes::LoopbackSocket server;
    auto& pool = UpstreamSockets::of(platform::ne::makeQueue(io));
    auto connection = connect("127.0.0.1", server.port());
    ASSERT_TRUE(reached(Kind::ready));
    connection->cancel();
    ASSERT_EQ(pool.idle(), 1u);
    const auto bursts = pool.burstsEnded();
    platform::BlockPool::deallocate(platform::BlockPool::allocate(100), 100);
    pool.trim();  // it came back in this period
    EXPECT_EQ(pool.idle(), 1u);
    EXPECT_EQ(pool.burstsEnded(), bursts);
    pool.trim();
    EXPECT_EQ(pool.idle(), 0u);
    // The burst is over: its free blocks went back with the heap.
    EXPECT_EQ(pool.burstsEnded(), bursts + 1);
    EXPECT_EQ(platform::BlockPool::freeBlocks(100), 0u);
    pool.trim();  // nothing more to end
    EXPECT_EQ(pool.burstsEnded(), bursts + 1);
    // The next association makes a socket again.
    states.clear();
    auto next = connect("127.0.0.1", server.port());
    ASSERT_TRUE(reached(Kind::ready));
    next->cancel();
    EXPECT_EQ(pool.idle(), 1u);
}

TEST_F(NWUDPConnectionTest, IdleSocketsCloseWithTheirIoContext) {
    const auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    fakes::LoopbackSocket server;
    const auto before = openDescriptors();
    {
        asio::io_context own;
        auto connection = NWUDPConnection::make("127.0.0.1", server.port());
        bool ready = false;
        connection->setStateUpdateHandler([&](const NWConnectionState& s) { ready = s.kind == Kind::ready; });
        connection->start(platform::ne::makeQueue(own));
        ASSERT_TRUE(fakes::runUntil(own, [&] { return ready; }));
        connection->cancel();
        ASSERT_EQ(UpstreamSockets::of(platform::ne::makeQueue(own)).idle(), 1u);
        EXPECT_GT(openDescriptors(), before);
    }
    EXPECT_EQ(openDescriptors(), before);
}

// Sends made by the ready state's handler complete after that handler returns, in
// order, and not at all once the handler has cancelled.
class NWUDPConnectionSendsFromReady : public NWUDPConnectionTest,
                                      public ::testing::WithParamInterface<bool> {};

TEST_P(NWUDPConnectionSendsFromReady, CompleteAfterTheHandler) {
    const bool cancelInHandler = GetParam();
    fakes::LoopbackSocket server;
    auto connection = NWUDPConnection::make("127.0.0.1", server.port());
    std::vector<int> order;
    bool inHandler = false;
    bool completedInHandler = false;
    bool handled = false;
    connection->setStateUpdateHandler([&](const NWConnectionState& s) {
        if (s.kind != Kind::ready) return;
        inHandler = true;
        connection->batch([&] {
            for (int i = 0; i < 2; ++i) {
                connection->send(Datagram{static_cast<std::uint8_t>(i)}, ContentContext::defaultMessage,
                                 false, [&, i](std::optional<NWError> e) {
                                     completedInHandler = completedInHandler || inHandler;
                                     if (!e) order.push_back(i);
                                 });
            }
        });
        if (cancelInHandler) connection->cancel();
        inHandler = false;
        handled = true;
    });
    connection->start(platform::ne::makeQueue(io));
    ASSERT_TRUE(fakes::runUntil(io, [&] { return handled; }));
    ASSERT_TRUE(server.receive());  // the sends went out in either case
    fakes::drain(io);
    EXPECT_FALSE(completedInHandler);
    EXPECT_EQ(order, cancelInHandler ? std::vector<int>{} : (std::vector<int>{0, 1}));
    connection->cancel();
}

INSTANTIATE_TEST_SUITE_P(Cases, NWUDPConnectionSendsFromReady, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "CancelledInHandler" : "Kept"; });

}  // namespace
