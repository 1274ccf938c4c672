// kivdnsproxy's life as a service manager sees it: one daemon per port, signals,
// what a stop leaves behind, a fresh install without preferences, running out of
// descriptors with many queries stuck on a resolver that never answers, and the
// watchdog, which hears from the daemon only while its io loops turn.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "Process.hpp"
#include "QueryFixtures.hpp"
#include "fakes/ne/LoopbackSocket.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"

namespace {

using nlohmann::json;
using testing_dnsproxy::Process;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class DaemonLifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kiv-life-XXXXXX").string();
        folder = ::mkdtemp(pattern.data());
        fs::create_directory(folder / "run");
    }
    void TearDown() override {
        processes.clear();
        if (!HasFailure()) fs::remove_all(folder);
    }

    // The daemon, started through `prefix` (a launcher such as prlimit) when given.
    Process& startDaemon(std::vector<std::string> args, std::vector<std::string> prefix = {},
                         std::vector<std::string> environment = {}) {
        args.insert(args.begin(), {KIV_BINARY_DIR "/dnsproxy/kivdnsproxy", "--no-intercept"});
        args.insert(args.begin(), prefix.begin(), prefix.end());
        environment.insert(environment.end(),
                           {"KIV_RUN_DIR=" + (folder / "run").string(), "KIV_LOG_LEVEL=default"});
        return *processes.emplace_back(
            std::make_unique<Process>(args, environment, (folder / "daemon.err").string()));
    }
    std::uint16_t startResolver(std::vector<std::string> extra) {
        std::vector<std::string> args = {
            "/usr/bin/python3", KIV_SOURCE_DIR "/tools/kiv-test-resolver", "--port", "0",
            "--record",         (folder / "seen.jsonl").string(),          "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto& process = *processes.emplace_back(
            std::make_unique<Process>(args, std::vector<std::string>{}, (folder / "resolver.err").string()));
        const auto line = process.waitForLine("listening on");
        return line ? static_cast<std::uint16_t>(std::stoi(line->substr(line->rfind(' ') + 1))) : 0;
    }
    static std::uint16_t listeningPort(Process& daemon) {
        const auto line = daemon.waitForLine("listening on 127.0.0.1 port");
        return line ? static_cast<std::uint16_t>(std::stoi(line->substr(line->rfind(' ') + 1))) : 0;
    }
    std::string vendorData() {
        const auto path = (folder / "vendor.json").string();
        std::ofstream(path) << json{
            {"uuid", "00112233-4455-6677-8899-AABBCCDDEEFF"},
            {"locationTag", "abc"},
            {"resolvers", {"127.0.0.1"}},
            {"internalIp", "10.1.2.3"},
            {"externalIp", "198.51.100.7"},
            {"localDNS", json::array()},
            {"filters",
             json::array()}}.dump();
        return path;
    }
    std::string errors() const {
        std::ifstream in(folder / "daemon.err");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // How often `text` is in the daemon's standard error, once it is there at least once.
    std::size_t waitForError(const std::string& text, std::chrono::milliseconds timeout = 5s) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto all = errors();
            std::size_t count = 0;
            for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
            if (count > 0 || std::chrono::steady_clock::now() >= deadline) return count;
            std::this_thread::yield();
        }
    }
    // Waits until `done` holds, or `timeout` passed; whether it holds.
    template <typename Done>
    static bool waitUntil(Done done, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }
    std::size_t recorded() const {
        std::ifstream in(folder / "seen.jsonl");
        return static_cast<std::size_t>(
            std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
    }
    static std::size_t openDescriptors(pid_t pid) {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry :
             fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
            ++count;
        }
        return count;
    }
    std::vector<fs::path> sockets() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(folder / "run")) {
            if (entry.path().extension() == ".sock") found.push_back(entry.path());
        }
        return found;
    }
    static void stopCleanly(Process& daemon) {
        daemon.signal(SIGTERM);
        const auto status = daemon.wait(20s);
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    }

    fs::path folder;
    std::vector<std::unique_ptr<Process>> processes;
};

// With one thread the sockets share nothing; with several they share the port
// among themselves, which must not let a second daemon in either.
class SecondDaemon : public DaemonLifecycle, public ::testing::WithParamInterface<const char*> {};

TEST_P(SecondDaemon, OnAServedPortIsAnErrorAndTheFirstKeepsIt) {
    auto& first = startDaemon(
        {"--vendor-data", vendorData(), "--listen", "127.0.0.1", "--port", "0", "--threads", GetParam()});
    const auto port = listeningPort(first);
    ASSERT_NE(port, 0);
    auto& second = startDaemon({"--vendor-data", vendorData(), "--listen", "127.0.0.1", "--port",
                                std::to_string(port), "--threads", GetParam()});
    const auto status = second.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
    EXPECT_EQ(waitForError("port " + std::to_string(port) + ": another process already serves it"), 1u);
    EXPECT_TRUE(first.running());
    stopCleanly(first);
}

INSTANTIATE_TEST_SUITE_P(Threads, SecondDaemon, ::testing::Values("1", "3"));

TEST_F(DaemonLifecycle, HangUpIsIgnoredAndSaidOnceAndAStopRemovesTheLinkSocket) {
    auto& daemon = startDaemon({"--vendor-data", vendorData(), "--listen", "127.0.0.1", "--port", "0"});
    ASSERT_NE(listeningPort(daemon), 0);
    ASSERT_TRUE(daemon.waitForLine("proxy started"));
    EXPECT_EQ(sockets().size(), 1u);

    const std::string said = "SIGHUP ignored";
    daemon.signal(SIGHUP);
    ASSERT_EQ(waitForError(said), 1u);
    daemon.signal(SIGHUP);
    daemon.signal(SIGHUP);
    EXPECT_TRUE(daemon.running());
    stopCleanly(daemon);
    EXPECT_EQ(waitForError(said), 1u);
    EXPECT_TRUE(sockets().empty());
}

// Where io_uring is refused (here by the setting that forces the epoll path), the
// daemon says so once, whatever its thread count, and serves on epoll.
TEST_F(DaemonLifecycle, WithoutIoUringItSaysSoOnceAndServes) {
    const auto resolverPort = startResolver({});
    ASSERT_NE(resolverPort, 0);
    auto& daemon = startDaemon({"--vendor-data", vendorData(), "--listen", "127.0.0.1", "--port", "0",
                                "--upstream-port", std::to_string(resolverPort), "--threads", "3"},
                               {"/usr/bin/env", "KIV_NE_IO_URING=0"});
    const auto port = listeningPort(daemon);
    ASSERT_NE(port, 0);
    ASSERT_TRUE(daemon.waitForLine("proxy started"));
    EXPECT_EQ(waitForError("runs on epoll, not io_uring"), 1u);
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", port, testing_dnsproxy::query(0x4242, "epoll.example"));
    const auto reply = client.receive(5000);
    ASSERT_TRUE(reply);
    ASSERT_GE(reply->bytes.size(), 2u);
    EXPECT_EQ(reply->bytes[0], 0x42);
    stopCleanly(daemon);
    EXPECT_EQ(waitForError("runs on epoll, not io_uring"), 1u);
}

TEST_F(DaemonLifecycle, AMissingPreferencesFolderIsWaitedFor) {
    const auto preferences = folder / "config" / "kiv" / "preferences.json";
    auto& daemon =
        startDaemon({"--preferences", preferences.string(), "--listen", "127.0.0.1", "--port", "0"});
    ASSERT_TRUE(daemon.waitForLine("following"));
    EXPECT_EQ(waitForError("waiting for the folder of"), 1u);

    // Made one level at a time, as an installer would.
    fs::create_directory(folder / "config");
    fs::create_directory(folder / "config" / "kiv");
    platform::ne::DNSProxyPreferences saved;
    saved.enabled = true;
    saved.providerConfiguration = json::parse(std::ifstream(vendorData()));
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(preferences.string(), saved), "");
    ASSERT_TRUE(daemon.waitForLine("proxy started"));
    stopCleanly(daemon);
}

// More queries stuck on a silent resolver than the daemon has descriptors: the
// upstream sockets run out, and every flow must still end cleanly (the sanitizer
// build checks its memory on the way, which needs a descriptor of its own: the
// upstream sockets must leave the process a few).
TEST_F(DaemonLifecycle, ManyStuckFlowsUnderALowDescriptorLimitEndCleanly) {
    const auto resolverPort = startResolver({"--silent"});
    ASSERT_NE(resolverPort, 0);
    auto& daemon =
        startDaemon({"--vendor-data", vendorData(), "--listen", "127.0.0.1", "--port", "0", "--upstream-port",
                     std::to_string(resolverPort), "--reply-timeout", "1", "--threads", "2"},
                    {"/usr/bin/prlimit", "--nofile=256:256", "--"});
    const auto port = listeningPort(daemon);
    ASSERT_NE(port, 0);
    ASSERT_TRUE(daemon.waitForLine("proxy started"));
    const auto baseline = openDescriptors(daemon.pid());

    constexpr int kQueries = 600;
    std::vector<std::unique_ptr<fakes::LoopbackSocket>> clients;
    for (int i = 0; i < kQueries; ++i) {
        clients.push_back(std::make_unique<fakes::LoopbackSocket>());
        clients.back()->sendTo("127.0.0.1", port,
                               testing_dnsproxy::query(static_cast<std::uint16_t>(i), "stuck.test"));
    }
    // Flows hold every descriptor left (the rest fail to connect); the deadline then
    // ends them all and frees their sockets.
    EXPECT_TRUE(waitUntil([&] { return recorded() >= 100; }));
    EXPECT_TRUE(waitUntil([&] { return openDescriptors(daemon.pid()) <= baseline; }));
    // Said when the first connect fails, and not again for every other one.
    EXPECT_EQ(waitForError("Out of file descriptors (Too many open files)"), 1u);
    stopCleanly(daemon);
    const auto text = errors();
    EXPECT_EQ(text.find("runtime error"), std::string::npos) << text;
    EXPECT_EQ(text.find("AddressSanitizer"), std::string::npos) << text;
}

// The service manager's end of NOTIFY_SOCKET: a datagram socket of the test's own.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot bind " + path.string());
        }
    }
    ~NotifySocket() { ::close(fd_); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;
    const fs::path& path() const { return path_; }
    // The next datagram, or nothing when none came within `timeout`.
    std::optional<std::string> receive(std::chrono::milliseconds timeout) const {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
        char buffer[512];
        const auto length = ::recv(fd_, buffer, sizeof buffer, 0);
        if (length < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(length));
    }

private:
    fs::path path_;
    int fd_ = -1;
};

struct WatchdogRow {
    const char* name;
    const char* threads;
    const char* loop;  // the loop --stall-loop names
    bool stall;        // whether SIGUSR1 stalls it
};

class DaemonWatchdog : public DaemonLifecycle, public ::testing::WithParamInterface<WatchdogRow> {};

// Told every 100 ms (half of WATCHDOG_USEC) while its loops turn, idle as they are; a
// loop that stops turning stops it within two readings, though the process still runs,
// and its control plane (here the signals) still answers: it runs on no io loop.
TEST_P(DaemonWatchdog, IsToldOnlyWhileEveryIoLoopTurns) {
    const auto& row = GetParam();
    const NotifySocket notify(folder / "notify");
    auto& daemon = startDaemon({"--vendor-data", vendorData(), "--listen", "127.0.0.1", "--port", "0",
                                "--threads", row.threads, "--stall-loop", row.loop},
                               {}, {"NOTIFY_SOCKET=" + notify.path().string(), "WATCHDOG_USEC=200000"});
    ASSERT_NE(listeningPort(daemon), 0) << errors();
    for (int beat = 0; beat < 5; ++beat) ASSERT_EQ(notify.receive(2s), "WATCHDOG=1") << beat << errors();
    if (!row.stall) {
        stopCleanly(daemon);
        return;
    }
    daemon.signal(SIGUSR1);
    int late = 0;
    while (notify.receive(1s)) ASSERT_LE(++late, 2) << "told after its loop stopped";
    EXPECT_TRUE(daemon.running());
    EXPECT_EQ(waitForError(std::string("io loop ") + row.loop + " stopped turning"), 1u) << errors();
    daemon.signal(SIGHUP);
    EXPECT_EQ(waitForError("SIGHUP ignored"), 1u) << errors();
    daemon.signal(SIGKILL);
    EXPECT_TRUE(daemon.wait(10s));
}

INSTANTIATE_TEST_SUITE_P(Loops, DaemonWatchdog,
                         ::testing::Values(WatchdogRow{"AllTurning", "2", "1", false},
                                           WatchdogRow{"TheOnlyLoopStalled", "1", "0", true},
                                           WatchdogRow{"SecondOfTwoStalled", "2", "1", true},
                                           WatchdogRow{"FirstOfThreeStalled", "3", "0", true}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
