// Raw bytes sent to a listener by a peer that does not play by the rules: the serving
// connection is invalidated, the process lives on and the listener keeps serving.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/xpc/XPCListener.hpp"
#include "platform/xpc/XPCServiceAddress.hpp"
#include "platform/xpc/XPCTestServer.hpp"

namespace platform {
namespace {

constexpr const char* kHostileFrameService = "com.test.hostile";

using xpctest::frame;

struct Hostile {
    const char* name;
    std::string bytes;
    bool hangUp;  // close right after writing instead of waiting for the server to close
    friend void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }
};

class XPCHostileFrame : public ::testing::TestWithParam<Hostile> {};

TEST_P(XPCHostileFrame, InvalidatesOnlyThatConnection) {
    xpctest::TempRunDir runDir;
    auto server = std::make_shared<xpctest::TestServer>();
    auto listener = XPCListener::makeWithMachServiceName(kHostileFrameService);
    listener->setDelegate(server);
    ASSERT_TRUE(listener->resume());

    const XPCServiceAddress address = xpcServiceAddress(kHostileFrameService);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address.address), sizeof address.address), 0);
    const std::string& bytes = GetParam().bytes;
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    if (GetParam().hangUp) {
        ::close(fd);
    } else {
        // The server closes its end: we read end-of-file, never a reply.
        pollfd p{fd, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1);
        char c;
        EXPECT_EQ(::read(fd, &c, 1), 0);
        ::close(fd);
    }
    ASSERT_TRUE(server->events->waitFor("server-invalidated"));
    EXPECT_TRUE(server->service(0)->selectors().empty());

    auto events = std::make_shared<xpctest::Recorder>();
    auto good = xpctest::makeClient(kHostileFrameService, events);
    auto outcome = xpctest::callAsync(*good, "echoText:withReply:", {XPCValue{"fine"}});
    ASSERT_TRUE(outcome->wait());
    ASSERT_TRUE(outcome->reply.has_value());
    EXPECT_EQ(*outcome->reply->at(0).text(), "fine");
    good->invalidate();
    listener->invalidate();
    server->invalidateAll();
    xpctest::drainReactor();
}

const std::string kEcho =
    R"({"kind":"call","selector":"echoText:withReply:","id":1,"args":[{"t":"text","v":"x"}]})";

INSTANTIATE_TEST_SUITE_P(
    Table, XPCHostileFrame,
    ::testing::Values(
        // Length header announcing 4 GiB: refused before any body is read.
        Hostile{"huge_length", std::string("\xFF\xFF\xFF\xFF", 4) + "{}", false},
        // Length 0.
        Hostile{"empty_frame", std::string("\0\0\0\0", 4), false},
        // A complete frame whose JSON stops half-way.
        Hostile{"truncated_json", frame(kEcho.substr(0, kEcho.size() / 2)), false},
        // Not JSON at all.
        Hostile{"garbage", frame("\x01\x02\x03 not json"), false},
        // Right selector, wrong argument type (integer for text).
        Hostile{
            "wrong_argument_type",
            frame(R"({"kind":"call","selector":"echoText:withReply:","id":1,"args":[{"t":"int","v":5}]})"),
            false},
        // Right selector, one argument too many.
        Hostile{"extra_argument",
                frame(R"({"kind":"call","selector":"note:","args":[{"t":"int","v":5},{"t":"int","v":6}]})"),
                false},
        // A selector the interface does not have.
        Hostile{"unknown_selector", frame(R"({"kind":"call","selector":"rm:","args":[]})"), false},
        // A method with a reply block called without one, and the other way round.
        Hostile{"missing_reply_id",
                frame(R"({"kind":"call","selector":"echoText:withReply:","args":[{"t":"text","v":"x"}]})"),
                false},
        Hostile{"unexpected_reply_id",
                frame(R"({"kind":"call","selector":"note:","id":3,"args":[{"t":"int","v":1}]})"), false},
        // Replies and abandon notices for messages never sent.
        Hostile{"reply_for_unknown_id", frame(R"({"kind":"reply","id":99,"args":[]})"), false},
        Hostile{"abandon_for_unknown_id", frame(R"({"kind":"abandon","id":99})"), false},
        // Half a frame, then the peer hangs up.
        Hostile{"partial_frame_then_hang_up", frame(kEcho).substr(0, 10), true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace platform
