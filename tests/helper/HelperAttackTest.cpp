// The real helper, as root in a temporary root, attacked from another user (nobody): a flood of
// flush requests, a flood of requests refused after a log line, connections holding half a frame
// and idle connections, alone and all at once. Throughout, root's own calls are answered within a
// second and the helper's memory, descriptors and log folder stay bounded; afterwards everything
// is answered as before. tools/helper-attack runs the same attack and prints the figures.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tests/helper/HelperServiceFixture.hpp"

namespace kiv::testing {
namespace {

using platform::Bytes;
using platform::XPCArguments;
using Clock = std::chrono::steady_clock;
namespace sel = helper::selector;

constexpr uid_t kAttackerUid = 65534;
constexpr std::int64_t kAttackParamErr = -50;
// The service unit's descriptor limit, which the helper runs under here too.
constexpr int kHelperFileLimit = 1024;
#if defined(KIV_SANITIZE) || defined(KIV_TSAN)
// Instrumented, the helper is several times slower and its shadow memory is most of its RSS.
constexpr double kRootAnswerLimitMs = 5000.0;
constexpr bool kCheckRSS = false;
#else
constexpr double kRootAnswerLimitMs = 1000.0;
constexpr bool kCheckRSS = true;
#endif

struct AttackCase {
    const char* name;
    int flooders;  // connections sending flush requests without pause
    int loggers;   // connections sending a refused, logged request without pause
    int half;      // connections holding part of a frame
    int idle;      // connections sending nothing
};

void PrintTo(const AttackCase& c, std::ostream* out) { *out << c.name; }

// The worst seen while the attack lasted.
struct Figures {
    double worstRootMilliseconds = 0;
    int rootCalls = 0;
    int rootCallsUnanswered = 0;
    long maxRSSKilobytes = 0;
    int maxDescriptors = 0;
    std::uintmax_t maxLogFolderBytes = 0;
};

std::string hex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += kDigits[c >> 4];
        text += kDigits[c & 0xF];
    }
    return text;
}

std::string frame(const std::string& selector, XPCArguments arguments) {
    return *platform::encodeXPCFrame(
        platform::XPCCallMessage{selector, std::move(arguments), std::uint64_t{7}});
}

long rssKilobytes(pid_t pid) {
    std::istringstream status(readText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// The process's open descriptors; with `socketsOnly`, those that are sockets (a file the
// helper opens for a moment, its log or a lock, does not move that count).
int descriptorCount(pid_t pid, bool socketsOnly = false) {
    std::error_code ec;
    int count = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (!socketsOnly || fs::read_symlink(it->path(), ec).string().starts_with("socket:")) ++count;
    }
    return count;
}

std::uintmax_t folderBytes(const fs::path& folder) {
    std::uintmax_t total = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (entry.is_regular_file(ec)) total += entry.file_size(ec);
    }
    return total;
}

std::chrono::seconds attackDuration() {
    const char* text = std::getenv("KIV_ATTACK_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : 6);
}

class HelperAttackTest : public HelperServiceFixture, public ::testing::WithParamInterface<AttackCase> {
protected:
    HelperAttackTest() {
        launcher_ = {"/usr/bin/prlimit", "--nofile=" + std::to_string(kHelperFileLimit), "--"};
    }

    // Root's call, timed: a DNS change for a service that does not exist (it walks under the
    // DNS lock and changes nothing) and a flush.
    void probeRoot(Figures& figures) {
        for (int i = 0; i < 2; ++i) {
            const auto start = Clock::now();
            const Outcome outcome =
                i == 0 ? call(sel::modifyDNSForServices,
                              {std::vector<std::string>{"127.0.0.53"},
                               std::vector<std::string>{"kiv-no-such-link"}, Bytes(externalForm())})
                       : call(sel::flushDNS, {Bytes(externalForm())});
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            ++figures.rootCalls;
            if (!outcome.replied || outcome.code) ++figures.rootCallsUnanswered;
            figures.worstRootMilliseconds = std::max(figures.worstRootMilliseconds, ms);
        }
    }

    void sample(Figures& figures) {
        const pid_t pid = helper_->pid();
        figures.maxRSSKilobytes = std::max(figures.maxRSSKilobytes, rssKilobytes(pid));
        figures.maxDescriptors = std::max(figures.maxDescriptors, descriptorCount(pid));
        figures.maxLogFolderBytes = std::max(figures.maxLogFolderBytes, folderBytes(product()));
    }
};

TEST_P(HelperAttackTest, RootIsAnsweredAndTheHelperStaysBounded) {
    if (::geteuid() != 0) GTEST_SKIP() << "attacking from another user needs root";
    if (!fs::exists("/usr/bin/prlimit")) GTEST_SKIP() << "prlimit is missing";
    const auto& c = GetParam();
    Figures before;
    sample(before);
    probeRoot(before);
    ASSERT_EQ(before.rootCallsUnanswered, 0);

    const std::string flush = frame(sel::flushDNS, {Bytes(externalForm())});
    const std::string refused = frame(sel::setTrayType, {-1, Bytes(externalForm())});
    // Standard input is a pipe the attacker watches: closing it ends the attack.
    int control[2];
    ASSERT_EQ(::pipe2(control, O_CLOEXEC), 0);
    const std::string script = "exec 0<&" + std::to_string(control[0]) +
                               "; exec /usr/bin/python3 " KIV_SOURCE_DIR
                               "/tests/helper/attack_client.py \"$@\"";
    std::vector<std::string> arguments{"/bin/sh",
                                       "-c",
                                       script,
                                       "attack",
                                       socketPath().string(),
                                       hex(flush),
                                       hex(refused),
                                       std::to_string(c.flooders),
                                       std::to_string(c.loggers),
                                       std::to_string(c.half),
                                       std::to_string(c.idle)};
    // The descriptor is handed on by its number: it must survive the exec.
    ::fcntl(control[0], F_SETFD, 0);
    fakes::Process attacker(arguments, {}, (folder_.path() / "attack.err").string(), {true, kAttackerUid});
    ::close(control[0]);
    ASSERT_TRUE(attacker.waitForLine("ready", std::chrono::seconds(60)))
        << readText(folder_.path() / "attack.err");

    Figures during;
    const auto end = Clock::now() + attackDuration();
    while (Clock::now() < end) {
        probeRoot(during);
        sample(during);
    }
    ::close(control[1]);
    const auto counts = attacker.readLine(std::chrono::seconds(30));
    attacker.wait(std::chrono::seconds(10));

    std::printf(
        "helper-attack %s: worst_root_ms=%.1f root_calls=%d unanswered=%d max_rss_kb=%ld "
        "max_fds=%d fd_limit=%d max_log_folder_bytes=%ju attacker=%s\n",
        c.name, during.worstRootMilliseconds, during.rootCalls, during.rootCallsUnanswered,
        during.maxRSSKilobytes, during.maxDescriptors, kHelperFileLimit, during.maxLogFolderBytes,
        counts.value_or("(no counts)").c_str());
    std::fflush(stdout);
    EXPECT_GT(during.rootCalls, 0);
    EXPECT_EQ(during.rootCallsUnanswered, 0);
    EXPECT_LT(during.maxLogFolderBytes, 3u << 20);
    if (kCheckRSS) {
        EXPECT_LT(during.maxRSSKilobytes, 64 * 1024);
    }
    EXPECT_LT(during.maxDescriptors, kHelperFileLimit);
    EXPECT_LT(during.worstRootMilliseconds, kRootAnswerLimitMs);

    // Afterwards: everyone is answered as before, and the attackers' connections are gone.
    Figures after;
    probeRoot(after);
    EXPECT_EQ(after.rootCallsUnanswered, 0);
    EXPECT_LT(after.worstRootMilliseconds, kRootAnswerLimitMs);
    EXPECT_EQ(call(sel::flushDNS, {Bytes(externalForm())}, kAttackerUid).code, std::nullopt);
    EXPECT_EQ(call(sel::setTrayType, {-1, Bytes(externalForm())}, kAttackerUid).code, kAttackParamErr);
    const auto settled = Clock::now() + std::chrono::seconds(20);
    while (descriptorCount(helper_->pid()) > before.maxDescriptors + 2 && Clock::now() < settled) {
        ::poll(nullptr, 0, 20);
    }
    EXPECT_LE(descriptorCount(helper_->pid()), before.maxDescriptors + 2);
    EXPECT_TRUE(helper_->running());
}

INSTANTIATE_TEST_SUITE_P(Attacks, HelperAttackTest,
                         ::testing::Values(AttackCase{"FlushFlood", 16, 0, 0, 0},
                                           AttackCase{"RefusedCallLogFlood", 0, 16, 0, 0},
                                           AttackCase{"FloodsTogether", 16, 16, 0, 0},
                                           AttackCase{"HalfSentFrames", 0, 0, 100, 0},
                                           AttackCase{"IdleConnections", 0, 0, 0, 1100},
                                           AttackCase{"AllAtOnce", 16, 16, 100, 1100}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kiv::testing

namespace kiv::testing {
namespace {

int connectTo(const fs::path& socket) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket.c_str(), socket.string().size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class HelperGoneCallerTest : public HelperServiceFixture {};

// A DNS change queued behind a running walk, whose caller hangs up before its turn, is dropped:
// nothing a departed caller asked for runs later.
TEST_F(HelperGoneCallerTest, DNSWorkOfAConnectionThatWentAwayDoesNotRun) {
    if (::geteuid() != 0) GTEST_SKIP() << "the DNS commands are open to root and the administrators only";
    writeText(root_ / "etc/resolv.conf", "nameserver 10.0.0.1\n");
    // Hold the walks' lock, so that the first walk waits for it and the next call waits in line.
    fs::create_directories(root_ / "run");
    const int lock = ::open((root_ / "run/KIVDNSModifier.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    auto waitForModifyLines = [&](std::size_t count) {
        for (;;) {
            const std::string text = logText();
            std::size_t seen = 0;
            for (auto at = text.find("Modify DNS"); at != std::string::npos;
                 at = text.find("Modify DNS", at + 1))
                ++seen;
            if (seen >= count || Clock::now() >= deadline) return seen >= count;
            ::poll(nullptr, 0, 10);
        }
    };

    const int first = connectTo(socketPath());
    ASSERT_GE(first, 0);
    const std::string nothing = frame(sel::modifyDNSForServices,
                                      {std::vector<std::string>{"127.0.0.53"},
                                       std::vector<std::string>{"kiv-no-such-link"}, Bytes(externalForm())});
    ASSERT_EQ(::send(first, nothing.data(), nothing.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(nothing.size()));
    ASSERT_TRUE(waitForModifyLines(1));

    const int gone = connectTo(socketPath());
    ASSERT_GE(gone, 0);
    const std::string change =
        frame(sel::modifyDNS, {std::vector<std::string>{"127.0.0.77"}, Bytes(externalForm())});
    ASSERT_EQ(::send(gone, change.data(), change.size(), MSG_NOSIGNAL), static_cast<ssize_t>(change.size()));
    ASSERT_TRUE(waitForModifyLines(2));
    // The helper has taken the second call in; its caller hangs up while it waits in line.
    const int socketsBefore = descriptorCount(helper_->pid(), true);
    ::close(gone);
    const auto hungUp = Clock::now() + std::chrono::seconds(20);
    while (descriptorCount(helper_->pid(), true) >= socketsBefore && Clock::now() < hungUp)
        ::poll(nullptr, 0, 10);
    ASSERT_LT(descriptorCount(helper_->pid(), true), socketsBefore);

    ::close(lock);
    pollfd answered{first, POLLIN, 0};
    EXPECT_EQ(::poll(&answered, 1, 20000), 1);
    ::close(first);
    // A later call on the same queue is answered only after the dropped one's turn has passed.
    EXPECT_EQ(
        call(sel::modifyDNSForServices, {std::vector<std::string>{"127.0.0.53"},
                                         std::vector<std::string>{"kiv-no-such-link"}, Bytes(externalForm())})
            .code,
        std::nullopt);
    EXPECT_EQ(readText(root_ / "etc/resolv.conf"), "nameserver 10.0.0.1\n");
}

}  // namespace
}  // namespace kiv::testing
