// The listener in a second process (the peer program), as the extension and the
// helper tool are to the application.
#include <gtest/gtest.h>

#include "fakes/ChildProcess.hpp"
#include "platform/xpc/XPCListener.hpp"
#include "platform/xpc/XPCTestServer.hpp"

namespace platform {
namespace {

constexpr const char* kTwoProcessService = "com.test.twoprocess";

// A running xpc_test_peer with its standard input and output on pipes.
class Peer : public kiv::fakes::ChildProcess {
public:
    explicit Peer(const std::vector<std::string>& args) : ChildProcess(XPC_TEST_PEER, args) {}
};

class XPCTwoProcessTest : public ::testing::Test {
protected:
    xpctest::TempRunDir runDir;
    std::shared_ptr<xpctest::Recorder> events = std::make_shared<xpctest::Recorder>();
};

TEST_F(XPCTwoProcessTest, ListenerThatDiesMidCallInterruptsThenReconnectsToItsSuccessor) {
    auto server = std::make_unique<Peer>(std::vector<std::string>{"serve", kTwoProcessService});
    ASSERT_EQ(server->readLine(), "ready");
    auto c = xpctest::makeClient(kTwoProcessService, events);

    auto hello = xpctest::callAsync(*c, "echoText:withReply:", {XPCValue{"hello"}});
    ASSERT_TRUE(hello->wait());
    ASSERT_TRUE(hello->reply.has_value());
    EXPECT_EQ(*hello->reply->at(0).text(), "hello");

    auto dying = xpctest::callAsync(*c, "die:withReply:", {XPCValue{"now"}});
    ASSERT_TRUE(dying->wait());
    ASSERT_TRUE(dying->error.has_value());
    EXPECT_EQ(dying->error->code, NSXPCConnectionInterrupted);
    ASSERT_TRUE(events->waitFor("interrupted"));
    EXPECT_EQ(server->finish() >> 8, 3);

    // A successor replaces the dead listener's socket; the same connection reaches it.
    server = std::make_unique<Peer>(std::vector<std::string>{"serve", kTwoProcessService});
    ASSERT_EQ(server->readLine(), "ready");
    auto again = xpctest::callAsync(*c, "add:to:withReply:", {XPCValue{2}, XPCValue{3}});
    ASSERT_TRUE(again->wait());
    ASSERT_TRUE(again->reply.has_value()) << again->error.value_or(ErrorObject{}).description;
    EXPECT_EQ(*again->reply->at(0).integer(), 5);
    EXPECT_EQ(events->events(), std::vector<std::string>{"interrupted"});
    c->invalidate();
    EXPECT_EQ(server->finish(), 0);
}

TEST_F(XPCTwoProcessTest, DeadListenerWithoutSuccessorInvalidates) {
    Peer server({"serve", kTwoProcessService});
    ASSERT_EQ(server.readLine(), "ready");
    auto c = xpctest::makeClient(kTwoProcessService, events);
    auto dying = xpctest::callAsync(*c, "die:withReply:", {XPCValue{"now"}});
    ASSERT_TRUE(dying->wait());
    EXPECT_EQ(dying->error->code, NSXPCConnectionInterrupted);
    server.finish();
    auto next = xpctest::callAsync(*c, "echoText:withReply:", {XPCValue{"anyone?"}});
    ASSERT_TRUE(next->wait());
    EXPECT_EQ(next->error->code, NSXPCConnectionInvalid);
    ASSERT_TRUE(events->waitFor("invalidated"));
    EXPECT_EQ(events->events(), (std::vector<std::string>{"interrupted", "invalidated"}));
}

TEST_F(XPCTwoProcessTest, ClientInAnotherProcessReachesOurListener) {
    auto server = std::make_shared<xpctest::TestServer>();
    auto listener = XPCListener::makeWithMachServiceName(kTwoProcessService);
    listener->setDelegate(server);
    ASSERT_TRUE(listener->resume());
    Peer client({"call", kTwoProcessService, "across processes"});
    EXPECT_EQ(client.readLine(), "across processes");
    EXPECT_EQ(client.finish(), 0);
    // The client process has gone: its accepted connection is invalidated.
    ASSERT_TRUE(server->events->waitFor("server-invalidated"));
    listener->invalidate();
    xpctest::drainReactor();
}

TEST_F(XPCTwoProcessTest, PeerReportsAMissingListener) {
    Peer client({"call", kTwoProcessService, "x"});
    EXPECT_EQ(client.readLine(), "error 4099");
    EXPECT_EQ(client.finish(), 0);
}

}  // namespace
}  // namespace platform
