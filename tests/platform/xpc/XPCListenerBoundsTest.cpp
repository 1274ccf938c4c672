// What one local user can hold of a listener: connections (per user and in total, with
// room kept for root), frames (size, and time to arrive whole), calls in flight, and who
// may connect at all. Other users are played by threads that connect with credentials
// of their own (thread-local setresuid), so the kernel records them as the peers.
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/Clock.hpp"
#include "platform/SystemLog.hpp"
#include "platform/xpc/XPCListener.hpp"
#include "platform/xpc/XPCServiceAddress.hpp"
#include "platform/xpc/XPCTestServer.hpp"

namespace platform::listenerbounds {
namespace {

using namespace std::chrono_literals;

constexpr const char* kBoundsService = "com.test.bounds";
constexpr uid_t kNobody = 65534;

using xpctest::frame;

std::string callBody(const char* selector, std::uint64_t id, const std::string& text) {
    return std::string(R"({"kind":"call","selector":")") + selector + R"(","id":)" + std::to_string(id) +
           R"(,"args":[{"t":"text","v":")" + text + R"("}]})";
}

struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// A socket connected to the service by a thread that holds `who`'s credentials; the
// thread ends right after, so no other thread ever runs with them. -errno on failure.
int connectAs(const Identity& who) {
    const XPCServiceAddress address = xpcServiceAddress(kBoundsService);
    int result = -EINVAL;
    std::thread([&] {
        // Raw system calls change only this thread's credentials (glibc's wrappers would
        // change the whole process's).
        if (::syscall(SYS_setgroups, who.groups.size(), who.groups.data()) != 0 ||
            ::syscall(SYS_setresgid, -1, who.gid, -1) != 0 ||
            ::syscall(SYS_setresuid, -1, who.uid, -1) != 0) {
            result = -errno;
            return;
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.address), sizeof address.address) != 0) {
            result = -errno;
            ::close(fd);
            return;
        }
        result = fd;
    }).join();
    return result;
}

bool waitReadable(int fd, std::chrono::milliseconds timeout = 10s) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

// Reads one whole frame; empty when the server closed the connection first.
std::string readFrame(int fd) {
    std::string bytes;
    for (;;) {
        if (bytes.size() >= 4) {
            const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
            const std::size_t length = (std::size_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
            if (bytes.size() >= 4 + length) return bytes.substr(4, length);
        }
        if (!waitReadable(fd)) return {};
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return {};
        bytes.append(chunk, std::size_t(n));
    }
}

// "answered" when an echo call on `fd` comes back, "closed" when the server hung up.
std::string roundTrip(int fd) {
    const std::string call = frame(callBody("echoText:withReply:", 1, "hello"));
    ::send(fd, call.data(), call.size(), MSG_NOSIGNAL);
    const std::string reply = readFrame(fd);
    return reply.find("hello") != std::string::npos ? "answered" : "closed";
}

// Whether the server closed its end within the deadline (end-of-file or reset).
bool closedByServer(int fd) {
    if (!waitReadable(fd)) return false;
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// Bytes sent on `fd` that the server has not read yet.
int unreadByServer(int fd) {
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

class ListenerBounds : public ::testing::Test {
protected:
    void start(XPCListenerLimits limits) {
        // Other users must be able to reach the socket.
        ::chmod(runDir.path().c_str(), 0755);
        listener = XPCListener::makeWithMachServiceName(kBoundsService);
        listener->setDelegate(server);
        listener->setLimits(std::move(limits));
        ASSERT_TRUE(listener->resume()) << listener->lastError();
        socketPath = xpcServiceAddress(kBoundsService).path;
    }
    int open(const Identity& who) {
        const int fd = connectAs(who);
        if (fd >= 0) fds.push_back(fd);
        return fd;
    }
    void TearDown() override {
        for (int fd : fds) ::close(fd);
        if (listener) listener->invalidate();
        server->invalidateAll();
        xpctest::drainReactor();
    }

    xpctest::TempRunDir runDir;
    std::shared_ptr<xpctest::TestServer> server = std::make_shared<xpctest::TestServer>();
    std::shared_ptr<XPCListener> listener;
    std::string socketPath;
    std::vector<int> fds;
};

// ---- connection caps ----

struct CapCase {
    const char* name;
    std::vector<uid_t> connectInOrder;
    std::vector<std::string> outcomes;
    friend void PrintTo(const CapCase& c, std::ostream* os) { *os << c.name; }
};

class ConnectionCaps : public ListenerBounds, public ::testing::WithParamInterface<CapCase> {};

// Total 6, 2 per user, the last 2 for root.
TEST_P(ConnectionCaps, AreCountedPerUserWithRoomKeptForRoot) {
    XPCListenerLimits limits;
    limits.maxConnections = 6;
    limits.maxConnectionsPerUser = 2;
    limits.rootOnlyConnections = 2;
    start(limits);
    std::vector<std::string> outcomes;
    std::size_t served = 0;
    for (uid_t uid : GetParam().connectInOrder) {
        const int fd = open({uid, uid, {}});
        ASSERT_GE(fd, 0) << std::strerror(-fd);
        outcomes.push_back(roundTrip(fd));
        served += outcomes.back() == "answered";
    }
    EXPECT_EQ(outcomes, GetParam().outcomes);
    EXPECT_EQ(listener->connectionCount(), served);
}

const std::string A = "answered";
const std::string C = "closed";

INSTANTIATE_TEST_SUITE_P(Table, ConnectionCaps,
                         ::testing::Values(
                             // The third connection of one user is closed; another user is not affected.
                             CapCase{"per_user", {kNobody, kNobody, kNobody, kNobody - 1}, {A, A, C, A}},
                             // Users take 4 of 6; the fifth user's first is refused, root still gets two.
                             CapCase{"room_for_root",
                                     {kNobody, kNobody, kNobody - 1, kNobody - 1, kNobody - 2, 0, 0},
                                     {A, A, A, A, C, A, A}},
                             // Root has no per-user cap, only the total.
                             CapCase{"root_only_total", {0, 0, 0, 0, 0, 0, 0}, {A, A, A, A, A, A, C}},
                             // Root's connections use up the users' room as well.
                             CapCase{"root_first", {0, 0, 0, 0, 0, kNobody}, {A, A, A, A, A, C}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ListenerBounds, AClosedConnectionGivesItsSlotBack) {
    XPCListenerLimits limits;
    limits.maxConnectionsPerUser = 1;
    start(limits);
    const int first = open({kNobody, kNobody, {}});
    ASSERT_EQ(roundTrip(first), "answered");
    ASSERT_EQ(roundTrip(open({kNobody, kNobody, {}})), "closed");
    ::shutdown(first, SHUT_RDWR);
    ASSERT_TRUE(server->events->waitFor("server-invalidated"));
    EXPECT_EQ(roundTrip(open({kNobody, kNobody, {}})), "answered");
}

// ---- who may connect ----

struct AccessCase {
    const char* name;
    std::string group;  // the access group; "@" stands for an existing group with members' gid
    Identity peer;
    std::string outcome;
    friend void PrintTo(const AccessCase& c, std::ostream* os) { *os << c.name; }
};

// A group every system has, whose id the cases use.
gid_t usersGroup() {
    const group* g = ::getgrnam("users");
    return g != nullptr ? g->gr_gid : 100;
}

class AccessGroup : public ListenerBounds, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(AccessGroup, ServesRootAndMembersOnly) {
    if (::getgrnam("users") == nullptr) GTEST_SKIP() << "no group \"users\" here";
    XPCListenerLimits limits;
    limits.accessGroup = GetParam().group;
    start(limits);
    struct stat st {};
    ASSERT_EQ(::stat(socketPath.c_str(), &st), 0);
    const bool groupExists = GetParam().group == "users";
    EXPECT_EQ(st.st_mode & 0777, groupExists ? 0660u : 0600u);
    if (groupExists) {
        EXPECT_EQ(st.st_gid, usersGroup());
    }
    // The file's mode is the first gate; the peer's credentials are checked even when a
    // wider mode lets anybody reach the socket (as a service manager's socket may).
    if (GetParam().peer.uid != 0) {
        const int refusedByMode = connectAs({kNobody, kNobody, {}});
        EXPECT_EQ(refusedByMode, -EACCES);
        if (refusedByMode >= 0) ::close(refusedByMode);
    }
    ASSERT_EQ(::chmod(socketPath.c_str(), 0666), 0);
    const int fd = open(GetParam().peer);
    ASSERT_GE(fd, 0) << std::strerror(-fd);
    EXPECT_EQ(roundTrip(fd), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AccessGroup,
    ::testing::Values(
        AccessCase{"root", "users", {0, 0, {}}, A},
        AccessCase{"stranger", "users", {kNobody, kNobody, {}}, C},
        AccessCase{"member_by_supplementary_group", "users", {kNobody, kNobody, {usersGroup()}}, A},
        AccessCase{"member_by_primary_group", "users", {kNobody, usersGroup(), {}}, A},
        AccessCase{"missing_group_root", "kiv-no-such-group", {0, 0, {}}, A},
        AccessCase{
            "missing_group_anyone_else", "kiv-no-such-group", {kNobody, usersGroup(), {usersGroup()}}, C}),
    [](const auto& info) { return std::string(info.param.name); });

class ManualClockBounds : public ListenerBounds {
protected:
    void SetUp() override { setProcessClock(clock); }
    void TearDown() override {
        ListenerBounds::TearDown();
        setProcessClock(nullptr);
    }
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
};

// Lines about peers, in order, while it lives.
class PeerLines {
public:
    PeerLines()
        : capture_([lines = lines_](const LogRecord& r) {
              if (r.message.find("com.test.bounds") != std::string::npos) lines->add(r.message);
          }) {}
    std::vector<std::string> all() { return lines_->events(); }

private:
    std::shared_ptr<xpctest::Recorder> lines_ = std::make_shared<xpctest::Recorder>();
    LogCapture capture_;
};

TEST_F(ManualClockBounds, RefusalsTakeFiveLogLinesAMinuteAndTheRestAreCounted) {
    PeerLines lines;
    XPCListenerLimits limits;
    limits.maxConnectionsPerUser = 0;  // nobody but root
    start(limits);
    auto refuseOne = [&] { ASSERT_TRUE(closedByServer(open({kNobody, kNobody, {}}))); };
    for (int i = 0; i < 50; ++i) refuseOne();
    xpctest::drainReactor();
    const std::string refused = "Refused a connection to service com.test.bounds from uid 65534 pid " +
                                std::to_string(::getpid()) + ": the user holds 0 connections already";
    EXPECT_EQ(lines.all(), std::vector<std::string>(5, refused));

    clock->advance(std::chrono::minutes(1));
    refuseOne();
    xpctest::drainReactor();
    auto all = lines.all();
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(all[5], "45 more refused connections to service com.test.bounds were not logged");
    EXPECT_EQ(all[6], refused);
}

TEST_F(ManualClockBounds, BrokenFramesOfManyConnectionsTakeFiveLogLinesAMinute) {
    PeerLines lines;
    start({});
    for (int i = 0; i < 30; ++i) {
        const int fd = open({kNobody, kNobody, {}});
        ASSERT_GE(fd, 0);
        ::send(fd, "\xFF\xFF\xFF\xFF", 4, MSG_NOSIGNAL);
        ASSERT_TRUE(closedByServer(fd));
        ::close(fd);
        fds.pop_back();
    }
    ASSERT_TRUE(server->events->waitFor("server-invalidated", 30));
    EXPECT_EQ(lines.all().size(), 5u);
}

// A listener that cannot give its socket to the group (not privileged, not a member)
// serves root only, rather than nobody or everybody.
TEST_F(ListenerBounds, AListenerThatCannotGiveTheSocketToTheGroupServesRootOnly) {
    if (::getgrnam("users") == nullptr) GTEST_SKIP() << "no group \"users\" here";
    ::chmod(runDir.path().c_str(), 0777);
    XPCListenerLimits limits;
    limits.accessGroup = "users";
    listener = XPCListener::makeWithMachServiceName(kBoundsService);
    listener->setDelegate(server);
    listener->setLimits(limits);
    bool resumed = false;
    std::thread([&] {
        if (::syscall(SYS_setgroups, 0, nullptr) == 0 && ::syscall(SYS_setresgid, -1, kNobody, -1) == 0 &&
            ::syscall(SYS_setresuid, -1, kNobody, -1) == 0) {
            resumed = listener->resume();
        }
    }).join();
    ASSERT_TRUE(resumed) << listener->lastError();
    socketPath = xpcServiceAddress(kBoundsService).path;
    struct stat st {};
    ASSERT_EQ(::stat(socketPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::chmod(socketPath.c_str(), 0666), 0);
    EXPECT_EQ(roundTrip(open({kNobody - 1, usersGroup(), {usersGroup()}})), "closed");
    EXPECT_EQ(roundTrip(open({})), "answered");
}

// ---- frames ----

struct FrameCase {
    const char* name;
    std::string bytes;
    std::string outcome;  // "answered", or "closed" with nothing more sent
    friend void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }
};

// An echo call whose body is exactly `size` bytes.
std::string echoOfSize(std::size_t size) {
    const std::string empty = callBody("echoText:withReply:", 1, "");
    return frame(callBody("echoText:withReply:", 1, std::string(size - empty.size(), 'x')));
}

class FrameLimit : public ListenerBounds, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(FrameLimit, IsTheListenersAndAnOversizedHeaderClosesAtOnce) {
    XPCListenerLimits limits;
    limits.perConnection.maxFrameSize = 1024;
    start(limits);
    const int fd = open({});
    ASSERT_GE(fd, 0);
    const std::string& bytes = GetParam().bytes;
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    if (GetParam().outcome == "answered") {
        EXPECT_NE(readFrame(fd), "");
    } else {
        EXPECT_TRUE(closedByServer(fd));
        EXPECT_TRUE(server->events->waitFor("server-invalidated"));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FrameLimit,
                         ::testing::Values(FrameCase{"at_the_limit", echoOfSize(1024), A},
                                           // Only the header: the body is never waited for.
                                           FrameCase{"one_byte_over", std::string("\0\0\x04\x01", 4), C},
                                           FrameCase{"protocol_maximum", std::string("\0\x40\0\0", 4), C},
                                           FrameCase{"four_gib", std::string("\xFF\xFF\xFF\xFF", 4), C}),
                         [](const auto& info) { return std::string(info.param.name); });

struct PartialCase {
    const char* name;
    // Alternately: bytes of the frames to send, then seconds of the process clock to pass.
    std::vector<std::pair<std::size_t, int>> steps;
    std::string outcome;     // "answered" when the rest of the frames is then sent in time
    bool twoFrames = false;  // a second frame follows the first in the same bytes
    friend void PrintTo(const PartialCase& c, std::ostream* os) { *os << c.name; }
};

// The frames the partial-frame cases send: an echo of "late", then one of "later".
const std::string kLateCall = frame(callBody("echoText:withReply:", 2, "late"));
const std::string kLaterCall = frame(callBody("echoText:withReply:", 3, "later"));

class PartialFrame : public ManualClockBounds, public ::testing::WithParamInterface<PartialCase> {};

TEST_P(PartialFrame, ClosesAConnectionWhoseFrameIsNotWholeTenSecondsAfterItsFirstByte) {
    start({});
    const int fd = open({});
    ASSERT_GE(fd, 0);
    ASSERT_EQ(roundTrip(fd), "answered");  // served, and no frame under way
    const std::string call = GetParam().twoFrames ? kLateCall + kLaterCall : kLateCall;
    std::size_t sent = 0;
    for (const auto& [bytes, seconds] : GetParam().steps) {
        ASSERT_EQ(::send(fd, call.data() + sent, bytes, MSG_NOSIGNAL), ssize_t(bytes));
        sent += bytes;
        // The server has read them before the clock moves.
        for (auto deadline = std::chrono::steady_clock::now() + 10s; unreadByServer(fd) != 0;) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            std::this_thread::yield();
        }
        xpctest::drainReactor();
        clock->advance(std::chrono::seconds(seconds));
    }
    // A first frame sent whole was answered, whatever happens to the next.
    if (GetParam().twoFrames) {
        EXPECT_NE(readFrame(fd).find("\"late\""), std::string::npos);
    }
    if (GetParam().outcome == "closed") {
        EXPECT_TRUE(closedByServer(fd));
        return;
    }
    ::send(fd, call.data() + sent, call.size() - sent, MSG_NOSIGNAL);
    EXPECT_NE(readFrame(fd).find(GetParam().twoFrames ? "\"later\"" : "\"late\""), std::string::npos);
    // An idle connection, with no frame under way, is never closed for it.
    clock->advance(1h);
    EXPECT_EQ(roundTrip(fd), "answered");
}

INSTANTIATE_TEST_SUITE_P(
    Table, PartialFrame,
    ::testing::Values(
        PartialCase{"header_then_nothing", {{2, 10}}, C},
        PartialCase{"half_then_nothing", {{20, 9}, {0, 1}}, C},
        PartialCase{"more_bytes_do_not_restart_the_time", {{20, 6}, {10, 4}}, C},
        PartialCase{"rest_sent_in_time", {{20, 9}}, A}, PartialCase{"idle_between_frames", {{0, 60}}, A},
        // The rest of a frame and half of the next at 6 s: the
        // next frame's time runs from then, and it runs out.
        PartialCase{"the_next_frame_times_out_in_its_turn",
                    {{kLateCall.size() / 2, 6}, {kLateCall.size() - kLateCall.size() / 2 + 10, 4}, {0, 6}},
                    C,
                    true},
        PartialCase{"the_next_frame_has_ten_seconds_of_its_own",
                    {{kLateCall.size() / 2, 6}, {kLateCall.size() - kLateCall.size() / 2 + 10, 4}, {0, 5}},
                    A,
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- calls in flight ----

TEST_F(ListenerBounds, HeldCallsStopTheReadingAndAHangUpDropsTheCallsNotStarted) {
    start({});  // 8 calls in flight
    const int fd = open({});
    ASSERT_GE(fd, 0);
    // Calls whose replies the service holds, until the socket takes no more.
    std::string batch;
    for (int i = 0; i < 64; ++i) batch += frame(callBody("hold:withReply:", 100 + i, "x"));
    std::size_t sent = 0;
    for (;;) {
        const ssize_t n = ::send(fd, batch.data(), batch.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            ASSERT_EQ(errno, EAGAIN);
            break;
        }
        sent += std::size_t(n);
        ASSERT_LT(sent, std::size_t(64) << 20) << "the server kept reading";
    }
    auto service = server->service(0);
    ASSERT_TRUE(service->waitForHandled(8));
    xpctest::drainReactor();
    EXPECT_EQ(service->selectors().size(), 8u);
    EXPECT_EQ(server->connection(0)->isInvalidated(), false);

    // Each reply sent lets one more call in.
    auto held = service->takeHeld();
    ASSERT_EQ(held.size(), 8u);
    for (auto& reply : held) reply({XPCValue{"done"}});
    held.clear();
    ASSERT_TRUE(service->waitForHandled(16));

    // The peer goes away: the calls it sent and we did not start are never run.
    ::shutdown(fd, SHUT_RDWR);
    ASSERT_TRUE(server->events->waitFor("server-invalidated"));
    for (auto& reply : service->takeHeld()) reply({XPCValue{"late"}});
    xpctest::drainReactor();
    EXPECT_EQ(service->selectors().size(), 16u);
}

TEST_F(ListenerBounds, APeerThatCallsWithoutReadingIsHeldBackWhileOthersAreAnswered) {
    start({});
    const int flooder = open({kNobody, kNobody, {}});
    ASSERT_GE(flooder, 0);
    std::string batch;
    for (int i = 0; i < 256; ++i)
        batch += frame(callBody("echoText:withReply:", 1 + i, std::string(200, 'f')));
    std::size_t sent = 0;
    for (;;) {
        // Whole frames only: a send cut short goes on where it stopped.
        const std::size_t at = sent % batch.size();
        const ssize_t n = ::send(flooder, batch.data() + at, batch.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            ASSERT_EQ(errno, EAGAIN);
            // A full socket only means the server is behind; it has stopped reading when the
            // room stays gone. Without this a loaded server read everything sent so far.
            pollfd room{flooder, POLLOUT, 0};
            if (::poll(&room, 1, 1000) == 0) break;
            continue;
        }
        sent += std::size_t(n);
        // Without the bound the replies would pile up to the stuck-peer limit (16 MiB).
        ASSERT_LT(sent, std::size_t(64) << 20) << "the server kept reading";
    }
    const int other = open({kNobody - 1, kNobody - 1, {}});
    EXPECT_EQ(roundTrip(other), "answered");
    EXPECT_FALSE(server->connection(0)->isInvalidated()) << "held back, not thrown out";
    EXPECT_GT(unreadByServer(flooder), 0);
}

}  // namespace
}  // namespace platform::listenerbounds
