// The extension's daemon run for real by the supervising host: the application activates it,
// enables and disables the proxy through the preferences file, hears its stop reports, still
// hears them after the daemon was restarted, and deactivates it; a later run of the
// application finds the daemon that an earlier one started; a daemon that hangs is killed,
// its interception table removed, and started again.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "ManagerTestSupport.hpp"
#include "fakes/TestFolders.hpp"
#include "platform/ne/InNamespace.hpp"
#include "platform/sysext/ExtensionLocator.hpp"
#include "platform/sysext/SupervisedExtensionHost.hpp"

namespace kiv {
namespace {

using namespace netexttest;
using platform::SupervisedExtensionHost;
using Status = ExtensionStatus;

const std::string kIdentifier = "com.kiv.veltrax.KIVDNSProxy";

// A UDP port on 127.0.0.1 that nobody used a moment ago.
int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

using kiv::fakes::readText;

class SupervisedExtensionTest : public ManagerEnvironment {
protected:
    void TearDown() override {
        // Whatever the test left running goes.
        for (auto& host : hosts_) {
            if (auto pid = host->runningPid(kIdentifier)) ::kill(*pid, SIGKILL);
        }
        drainMainQueue();
        ManagerEnvironment::TearDown();
    }

    // `arguments` after the listening address; the cleanup after an exit runs only in a network
    // namespace of the test's own, where the nftables it changes are the test's.
    std::shared_ptr<SupervisedExtensionHost> makeHost(
        std::vector<std::string> arguments = {"--threads", "1", "--no-intercept"},
        std::chrono::nanoseconds watchdogInterval = std::chrono::seconds(30)) {
        SupervisedExtensionHost::Options o;
        o.registryFolder = folder_.path() / "registry";
        o.arguments = {"--listen", "127.0.0.1", "--port", std::to_string(port_)};
        o.arguments.insert(o.arguments.end(), arguments.begin(), arguments.end());
        o.outputFile = daemonOutput();
        o.watchdogInterval = watchdogInterval;
        if (!kiv_test_namespace::inside()) o.cleanupArguments.clear();
        auto host = SupervisedExtensionHost::make(std::move(o));
        host->setObserver([events = events_](SupervisedExtensionHost::Event event, pid_t pid) {
            const char* name = event == SupervisedExtensionHost::Event::started  ? "started "
                               : event == SupervisedExtensionHost::Event::exited ? "exited "
                                                                                 : "beat ";
            events->add(name + std::to_string(pid));
        });
        hosts_.push_back(host);
        return host;
    }
    std::shared_ptr<RecordingManager> makeManagerOn(std::shared_ptr<SupervisedExtensionHost> host) {
        auto o = options(std::move(host));
        o.locateExtension = nullptr;  // found through KIV_EXTENSION_PATH, as a build tree is
        return std::make_shared<RecordingManager>(std::move(o));
    }
    std::filesystem::path daemonOutput() const { return folder_.path() / "daemon.log"; }
    std::filesystem::path socketPath() const { return runFolder() / (kIdentifier + ".sock"); }
    std::size_t registrations() {
        return logLines().count("KIVNetExtMgr: Register worked Registered extension KIVDNSProxy");
    }

    int port_ = freeLoopbackPort();
    fakes::ScopedEnvironment extensionPath_{"KIV_EXTENSION_PATH", std::string(KIV_BINARY_DIR) + "/dnsproxy"};
    fakes::ScopedEnvironment preferences_{"KIV_DNSPROXY_PREFERENCES",
                                          (folder_.path() / "dnsproxy" / "preferences.json").string()};
    std::shared_ptr<Lines> events_ = std::make_shared<Lines>();
    std::vector<std::shared_ptr<SupervisedExtensionHost>> hosts_;
};

TEST_F(SupervisedExtensionTest, BuildTreeExtensionIsFoundThroughTheVariable) {
    const auto found = platform::findSystemExtension(kIdentifier);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->executable, std::filesystem::path(KIV_BINARY_DIR) / "dnsproxy" / "kivdnsproxy");
    EXPECT_FALSE(found->bundleVersion.empty());
    EXPECT_FALSE(platform::findSystemExtension("com.example.other"));
}

// The folders searched end with the program's own, whose bundle is the application's: a valid
// bundle, but not the extension's. Only the extension's identifier is taken, wherever it comes.
TEST_F(SupervisedExtensionTest, OnlyTheExtensionsOwnBundleIsTaken) {
    const auto application = folder_.path() / "bin";
    std::filesystem::create_directories(application);
    std::ofstream(application / "Info.plist")
        << R"({"CFBundleIdentifier": "com.kiv.veltrix", "CFBundleExecutable": "brannockcloud"})";
    std::ofstream(application / "brannockcloud") << "";
    const auto extension = std::filesystem::path(KIV_BINARY_DIR) / "dnsproxy";

    const auto found = platform::systemExtensionBundle(kIdentifier, {application, extension});
    ASSERT_TRUE(found);
    EXPECT_EQ(found->bundlePath(), extension);
    EXPECT_NE(found->objectForInfoDictionaryKey("NetworkExtension"), nullptr);
    EXPECT_FALSE(platform::systemExtensionBundle(kIdentifier, {application}));
    EXPECT_FALSE(platform::systemExtensionBundle(kIdentifier, {}));
    // Through the variable, as a build tree finds it.
    const auto located = platform::systemExtensionBundle(kIdentifier);
    ASSERT_TRUE(located);
    EXPECT_EQ(located->bundlePath(), extension);
}

TEST_F(SupervisedExtensionTest, DaemonRunsWhileActiveAndTheAppHearsItsStopsAcrossARestart) {
    auto host = makeHost();
    auto manager = makeManagerOn(host);
    manager->activate();
    ASSERT_TRUE(
        turnUntil([&] { return manager->extensionState() == ExtensionStatusSet{Status::userAccepted}; }));
    ASSERT_TRUE(turnUntil([&] { return !posts().empty(); }));
    EXPECT_EQ(posts(), std::vector<std::string>{"deviceConfigRefreshed@0"});
    const auto firstPid = host->runningPid(kIdentifier);
    ASSERT_TRUE(firstPid);
    ASSERT_TRUE(turnUntil([&] { return std::filesystem::exists(socketPath()); }));

    // Enabled: the daemon starts its proxy; the application registers with it.
    ASSERT_EQ(configure(*manager, sampleRecord(), true), std::nullopt);
    ASSERT_TRUE(turnUntil([&] { return registrations() == 1; }));
    ASSERT_TRUE(
        turnUntil([&] { return readText(daemonOutput()).find("proxy started") != std::string::npos; }));

    // The daemon goes away on its own; the supervisor starts it again a second later.
    ASSERT_EQ(::kill(*firstPid, SIGTERM), 0);
    ASSERT_TRUE(turnUntil([&] { return events_->contains("exited " + std::to_string(*firstPid)); }));
    ASSERT_TRUE(turnUntil([&] { return ipc_->currentConnection() == nullptr; }))
        << "the link must forget a connection whose extension went away";
    advance(std::chrono::seconds(1));
    ASSERT_TRUE(turnUntil([&] {
        auto pid = host->runningPid(kIdentifier);
        return pid && *pid != *firstPid;
    }));
    ASSERT_TRUE(turnUntil([&] { return std::filesystem::exists(socketPath()); }));

    // The next save registers anew, so the restarted daemon's stop report reaches the application.
    manager->reports.clear();
    ASSERT_EQ(configure(*manager, sampleRecord(), true), std::nullopt);
    ASSERT_TRUE(turnUntil([&] { return registrations() == 2; }));
    // Only a running proxy reports its stop: wait until the restarted daemon has started its own.
    ASSERT_TRUE(turnUntil([&] {
        const std::string output = readText(daemonOutput());
        const auto first = output.find("proxy started");
        return first != std::string::npos && output.find("proxy started", first + 1) != std::string::npos;
    }));
    ASSERT_EQ(configure(*manager, sampleRecord(), false), std::nullopt);
    ASSERT_TRUE(turnUntil([&] { return manager->reports.contains("stopped 9"); }))
        << "configurationDisabled from the restarted daemon";

    // Deactivated: the daemon stops and is forgotten.
    const auto secondPid = *host->runningPid(kIdentifier);
    std::optional<std::optional<std::string>> outcome;
    manager->deactivate([&](const std::optional<std::string>& error) { outcome = error; });
    ASSERT_TRUE(turnUntil([&] { return outcome.has_value(); }));
    EXPECT_EQ(*outcome, std::nullopt);
    EXPECT_TRUE(events_->contains("exited " + std::to_string(secondPid)));
    EXPECT_FALSE(host->runningPid(kIdentifier));
    EXPECT_FALSE(std::filesystem::exists(folder_.path() / "registry" / (kIdentifier + ".json")));
    EXPECT_NE(::kill(secondPid, 0), 0);
}

TEST_F(SupervisedExtensionTest, LaterRunFindsTheRunningDaemonAndCanStopIt) {
    auto first = makeHost();
    auto manager = makeManagerOn(first);
    manager->activate();
    ASSERT_TRUE(
        turnUntil([&] { return manager->extensionState() == ExtensionStatusSet{Status::userAccepted}; }));
    const auto pid = first->runningPid(kIdentifier);
    ASSERT_TRUE(pid);

    // The next run of the application: a host of its own on the same registry.
    auto second = makeHost();
    auto later = makeManagerOn(second);
    events_->clear();
    later->activate();
    ASSERT_TRUE(
        turnUntil([&] { return later->extensionState() == ExtensionStatusSet{Status::userAccepted}; }));
    EXPECT_EQ(second->runningPid(kIdentifier), pid);
    EXPECT_TRUE(events_->all().empty()) << "nothing new started";

    std::optional<std::optional<std::string>> outcome;
    later->deactivate([&](const std::optional<std::string>& error) { outcome = error; });
    ASSERT_TRUE(turnUntil([&] { return outcome.has_value(); }));
    EXPECT_EQ(*outcome, std::nullopt);
    ASSERT_TRUE(turnUntil([&] { return !first->runningPid(kIdentifier); }));
    EXPECT_NE(::kill(*pid, 0), 0);

    // Nothing is registered any more.
    outcome.reset();
    later->deactivate([&](const std::optional<std::string>& error) { outcome = error; });
    ASSERT_TRUE(turnUntil([&] { return outcome.has_value(); }));
    ASSERT_TRUE(outcome->has_value());
}

TEST_F(SupervisedExtensionTest, OtherVersionRegisteredIsReplacedWithTheDelegatesConsent) {
    std::filesystem::create_directories(folder_.path() / "registry");
    std::ofstream(folder_.path() / "registry" / (kIdentifier + ".json")) << nlohmann::json{
        {"identifier", kIdentifier},
        {"version", "0"},
        {"shortVersion", "1.9"},
        {"url", "/nowhere"},
        {"executable", "/nowhere/kivdnsproxy"},
        {"pid", 0},
        {"startTime", 0}}.dump();
    auto host = makeHost();
    auto manager = makeManagerOn(host);
    manager->activate();
    ASSERT_TRUE(
        turnUntil([&] { return manager->extensionState() == ExtensionStatusSet{Status::userAccepted}; }));
    EXPECT_TRUE(logLines().contains("KIVNetExtMgr: Allowing replacement of 0 with "));
    EXPECT_TRUE(host->runningPid(kIdentifier));
    std::optional<std::optional<std::string>> outcome;
    manager->deactivate([&](const std::optional<std::string>& error) { outcome = error; });
    ASSERT_TRUE(turnUntil([&] { return outcome.has_value(); }));
}

TEST_F(SupervisedExtensionTest, MissingExtensionFailsTheActivation) {
    fakes::ScopedEnvironment nowhere{"KIV_EXTENSION_PATH", (folder_.path() / "empty").string()};
    auto host = makeHost();
    auto manager = makeManagerOn(host);
    manager->activate();
    ASSERT_TRUE(
        turnUntil([&] { return manager->extensionState() == ExtensionStatusSet{Status::failedToInstall}; }));
    EXPECT_TRUE(events_->all().empty());
}

// Sends to a daemon's NOTIFY_SOCKET from this process, as any local process may: none of it
// may count as the daemon's beat.
class ForgedBeats {
public:
    explicit ForgedBeats(pid_t daemon) {
        const std::string environment = readText("/proc/" + std::to_string(daemon) + "/environ");
        const auto at = environment.find("NOTIFY_SOCKET=@");
        if (at == std::string::npos) return;
        const auto name = environment.substr(at + 15, environment.find('\0', at) - at - 15);
        address_.sun_family = AF_UNIX;
        std::memcpy(address_.sun_path + 1, name.data(), std::min(name.size(), sizeof address_.sun_path - 1));
        length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    ~ForgedBeats() {
        if (fd_ >= 0) ::close(fd_);
    }
    explicit operator bool() const { return fd_ >= 0; }
    // WATCHDOG=1 plain, oversized, and with a descriptor passed along.
    void send(int passed) const {
        ::sendto(fd_, "WATCHDOG=1", 10, 0, reinterpret_cast<const sockaddr*>(&address_), length_);
        const std::string big = "WATCHDOG=1\n" + std::string(8000, 'x');
        ::sendto(fd_, big.data(), big.size(), 0, reinterpret_cast<const sockaddr*>(&address_), length_);
        char text[] = "WATCHDOG=1";
        iovec part{text, 10};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_name = const_cast<sockaddr_un*>(&address_);
        message.msg_namelen = length_;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &passed, sizeof passed);
        ::sendmsg(fd_, &message, 0);
    }

private:
    int fd_ = -1;
    sockaddr_un address_{};
    socklen_t length_ = 0;
};

// One io loop of the daemon stops turning (--stall-loop, SIGUSR1): the process runs on, but
// the supervisor hears no WATCHDOG=1 for an interval, kills it, removes its interception table
// and starts it again. Beats forged by another process do not keep it alive, and a descriptor
// passed with them is closed.
TEST_F(SupervisedExtensionTest, AHungDaemonIsKilledItsTableRemovedAndItIsStartedAgain) {
    KIV_RUN_IN_OWN_NETWORK_NAMESPACE();
    ASSERT_TRUE(kiv_test_namespace::shell("ip link set lo up"));
    const auto vendor = folder_.path() / "vendor.json";
    std::ofstream(vendor) << nlohmann::json{{"uuid", "00112233-4455-6677-8899-AABBCCDDEEFF"},
                                            {"locationTag", "abc"},
                                            {"resolvers", {"127.0.0.1"}},
                                            {"internalIp", "10.1.2.3"},
                                            {"externalIp", "198.51.100.7"},
                                            {"localDNS", nlohmann::json::array()},
                                            {"filters", nlohmann::json::array()}}
                                 .dump();
    using namespace std::chrono_literals;
    constexpr auto kInterval = 200ms;  // the daemon says it lives every 100 ms
    auto host =
        makeHost({"--threads", "2", "--vendor-data", vendor.string(), "--stall-loop", "1"}, kInterval);
    auto manager = makeManagerOn(host);
    manager->activate();
    ASSERT_TRUE(
        turnUntil([&] { return manager->extensionState() == ExtensionStatusSet{Status::userAccepted}; }));
    const auto pid = host->runningPid(kIdentifier);
    ASSERT_TRUE(pid);
    const auto tables = [] { return kiv_test_namespace::output("nft list tables"); };
    ASSERT_TRUE(turnUntil([&] {
        return readText(daemonOutput()).find("proxy started, intercepting") != std::string::npos;
    })) << readText(daemonOutput());
    EXPECT_EQ(tables(), "table inet kivdnsproxy\n");

    // Alive: every interval holds a beat of its own.
    for (int interval = 0; interval < 3; ++interval) {
        events_->clear();
        ASSERT_TRUE(turnUntil([&] { return events_->contains("beat " + std::to_string(*pid)); }));
        advance(kInterval);
        EXPECT_FALSE(events_->contains("exited")) << interval;
    }

    const ForgedBeats forged(*pid);
    ASSERT_TRUE(forged);
    ASSERT_EQ(::kill(*pid, SIGUSR1), 0);
    ASSERT_TRUE(turnUntil([&] {
        // The descriptor goes last: once every copy of the pipe's write end is closed (its read
        // end sees the hang-up), the forged beats before it were read, and handed on if taken.
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) return false;
        forged.send(pipe[1]);
        ::close(pipe[1]);
        pollfd hangUp{pipe[0], POLLIN, 0};
        EXPECT_EQ(::poll(&hangUp, 1, 10000), 1);
        EXPECT_TRUE(hangUp.revents & POLLHUP) << "a descriptor passed along stays open";
        ::close(pipe[0]);
        advance(kInterval);
        return events_->contains("exited " + std::to_string(*pid));
    })) << readText(daemonOutput());
    EXPECT_TRUE(
        logLines().contains(" has not said it lives for the watchdog's interval: it hangs, killing it"));
    EXPECT_EQ(tables(), "") << "the table outlived the hung daemon";

    advance(1s);
    ASSERT_TRUE(turnUntil([&] {
        const auto now = host->runningPid(kIdentifier);
        return now && *now != *pid;
    }));
    ASSERT_TRUE(turnUntil([&] {
        const auto restarted = host->runningPid(kIdentifier);
        return restarted && events_->contains("beat " + std::to_string(*restarted));
    }));
}

}  // namespace
}  // namespace kiv
