// The extension's daemon run for real by the supervising host: the application activates it,
// enables and disables the proxy through the preferences file, hears its stop reports, still
// hears them after the daemon was restarted, and deactivates it; a later run of the
// application finds the daemon that an earlier one started.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "ManagerTestSupport.hpp"
#include "fakes/TestFolders.hpp"
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

    std::shared_ptr<SupervisedExtensionHost> makeHost() {
        SupervisedExtensionHost::Options o;
        o.registryFolder = folder_.path() / "registry";
        o.arguments = {"--listen",  "127.0.0.1", "--port",        std::to_string(port_),
                       "--threads", "1",         "--no-intercept"};
        o.outputFile = daemonOutput();
        auto host = SupervisedExtensionHost::make(std::move(o));
        host->setObserver([events = events_](SupervisedExtensionHost::Event event, pid_t pid) {
            events->add(
                std::string(event == SupervisedExtensionHost::Event::started ? "started " : "exited ") +
                std::to_string(pid));
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

}  // namespace
}  // namespace kiv
