// The listener in a second process (the peer program), as the extension and the
// helper tool are to the application.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/xpc/XPCListener.hpp"
#include "platform/xpc/XPCTestServer.hpp"

extern char** environ;

namespace platform {
namespace {

constexpr const char* kService = "com.test.twoprocess";

// A running xpc_test_peer with its standard input and output on pipes.
class Peer {
public:
    explicit Peer(std::vector<std::string> args) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> all{XPC_TEST_PEER};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, XPC_TEST_PEER, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        if (rc != 0) throw std::runtime_error("posix_spawn failed");
    }
    ~Peer() {
        if (stdin_ >= 0) ::close(stdin_);
        ::close(stdout_);
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    // One line of output; "" after 10 s or at end of output.
    std::string readLine() {
        std::string line;
        char c;
        for (;;) {
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1 || ::read(stdout_, &c, 1) != 1 || c == '\n') return line;
            line += c;
        }
    }
    // Closes its input (it exits) and returns its exit status.
    int finish() {
        ::close(stdin_);
        stdin_ = -1;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
};

class XPCTwoProcessTest : public ::testing::Test {
protected:
    xpctest::TempRunDir runDir;
    std::shared_ptr<xpctest::Recorder> events = std::make_shared<xpctest::Recorder>();
};

TEST_F(XPCTwoProcessTest, ListenerThatDiesMidCallInterruptsThenReconnectsToItsSuccessor) {
    auto server = std::make_unique<Peer>(std::vector<std::string>{"serve", kService});
    ASSERT_EQ(server->readLine(), "ready");
    auto c = xpctest::makeClient(kService, events);

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
    server = std::make_unique<Peer>(std::vector<std::string>{"serve", kService});
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
    Peer server({"serve", kService});
    ASSERT_EQ(server.readLine(), "ready");
    auto c = xpctest::makeClient(kService, events);
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
    auto listener = XPCListener::makeWithMachServiceName(kService);
    listener->setDelegate(server);
    ASSERT_TRUE(listener->resume());
    Peer client({"call", kService, "across processes"});
    EXPECT_EQ(client.readLine(), "across processes");
    EXPECT_EQ(client.finish(), 0);
    // The client process has gone: its accepted connection is invalidated.
    ASSERT_TRUE(server->events->waitFor("server-invalidated"));
    listener->invalidate();
    xpctest::drainReactor();
}

TEST_F(XPCTwoProcessTest, PeerReportsAMissingListener) {
    Peer client({"call", kService, "x"});
    EXPECT_EQ(client.readLine(), "error 4099");
    EXPECT_EQ(client.finish(), 0);
}

}  // namespace
}  // namespace platform
