// The monitors against a real kernel: each test runs again in a user and network namespace of
// its own (unshare -Urn), where it makes veth pairs, tun devices and default routes with ip(8).
// Skipped where namespaces cannot be made.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "app/netext/NetworkCheck.hpp"
#include "app/netext/VPNMonitor.hpp"
#include "platform/net/NWPathMonitor.hpp"
#include "platform/net/NetworkSnapshot.hpp"
#include "tests/app/netext/MonitorTestSupport.hpp"

namespace kiv {
namespace {

using platform::NWPath;
using testing_support::CapturingLogger;
using testing_support::EventRecorder;
using testing_support::run;

constexpr const char* kInsideVariable = "KIV_TEST_INSIDE_NETNS";

bool insideNamespace() { return std::getenv(kInsideVariable) != nullptr; }

bool namespacesAllowed() { return run({"unshare", "-Urn", "true"}) == 0; }

// This test, run again by a copy of this program inside a fresh namespace; its exit status.
int rerunInNamespace() {
    std::string self(PATH_MAX, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size());
    if (length <= 0) return -1;
    self.resize(static_cast<std::size_t>(length));
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    return run({"env", std::string(kInsideVariable) + "=1", "unshare", "-Urn", self, filter});
}

#define KIV_RUN_IN_NETWORK_NAMESPACE()                                                  \
    if (!insideNamespace()) {                                                           \
        if (!namespacesAllowed()) GTEST_SKIP() << "unshare -Urn is not permitted here"; \
        EXPECT_EQ(rerunInNamespace(), 0) << "the test failed inside its namespace";     \
        return;                                                                         \
    }

void ip(const std::string& arguments) {
    std::vector<std::string> argv{"ip"};
    std::size_t start = 0;
    while (start < arguments.size()) {
        const auto end = std::min(arguments.find(' ', start), arguments.size());
        if (end > start) argv.push_back(arguments.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_EQ(run(argv), 0) << "ip " << arguments;
}

// Collects a path monitor's updates.
class PathLog {
public:
    explicit PathLog(platform::NWPathMonitor& monitor) {
        monitor.setPathUpdateHandler([this](const NWPath& path) {
            {
                std::lock_guard lock(mutex_);
                last_ = path;
                ++updates_;
            }
            arrived_.signal();
        });
    }
    // Waits for an update after which `wanted` holds (20 s is a failure guard only).
    bool waitUntil(const std::function<bool(const NWPath&)>& wanted) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (updates_ > 0 && wanted(last_)) return true;
            }
            const auto left = until - std::chrono::steady_clock::now();
            if (left <= std::chrono::nanoseconds(0) || !arrived_.waitFor(left)) return false;
        }
    }
    NWPath last() {
        std::lock_guard lock(mutex_);
        return last_;
    }
    int updates() {
        std::lock_guard lock(mutex_);
        return updates_;
    }

private:
    std::mutex mutex_;
    NWPath last_;      // guarded by mutex_
    int updates_ = 0;  // guarded by mutex_
    platform::Semaphore arrived_;
};

std::function<bool(const NWPath&)> pathIs(NWPath::Status status, std::vector<std::string> names) {
    return [=](const NWPath& p) { return p.status == status && p.interfaceNames == names; };
}

TEST(NamespaceTest, PathAndPrimaryAddressFollowLinksAddressesAndRoutes) {
    KIV_RUN_IN_NETWORK_NAMESPACE();
    ip("link set lo up");
    EventRecorder recorder;
    NetworkCheck check(platform::makeNWPathMonitor(),
                       Injected<NotificationPublisher>([&] { return recorder.publisher(); }));
    auto monitor = platform::makeNWPathMonitor();
    PathLog log(*monitor);
    monitor->start(platform::makeSerialQueue("test.path"));

    ASSERT_TRUE(log.waitUntil(pathIs(NWPath::Status::unsatisfied, {})));  // only loopback
    EXPECT_EQ(platform::primaryIPv4Address(), std::nullopt);

    ip("link add veth0 type veth peer name veth1");
    ip("link set veth1 up");
    ip("addr add 10.9.0.2/24 dev veth0");
    ip("link set veth0 up");
    // Up with an address, but no default route yet.
    ASSERT_TRUE(log.waitUntil([](const NWPath& p) { return p.status == NWPath::Status::unsatisfied; }));
    ip("route add default via 10.9.0.1 dev veth0 metric 100");
    ASSERT_TRUE(log.waitUntil(pathIs(NWPath::Status::satisfied, {"veth0"})));
    EXPECT_TRUE(log.last().supportsIPv4);
    EXPECT_FALSE(log.last().supportsIPv6);
    EXPECT_EQ(platform::primaryIPv4Address(), "10.9.0.2");
    EXPECT_EQ(check.primaryIPv4Address(), "10.9.0.2");
    ASSERT_TRUE(
        recorder.waitUntil([](const auto& names) { return !names.empty() && names.back() == "connected"; }));
    EXPECT_TRUE(check.isSatisfied());

    // A second interface with a better metric becomes primary; its first address counts.
    ip("link add veth2 type veth peer name veth3");
    ip("link set veth3 up");
    ip("addr add 10.9.1.2/24 dev veth2");
    ip("addr add 10.9.1.3/24 dev veth2");
    ip("link set veth2 up");
    ip("route add default via 10.9.1.1 dev veth2 metric 50");
    ASSERT_TRUE(log.waitUntil(pathIs(NWPath::Status::satisfied, {"veth2", "veth0"})));
    EXPECT_EQ(platform::primaryIPv4Address(), "10.9.1.2");

    // Carrier lost on veth2 (its peer goes down): its route no longer counts.
    ip("link set veth3 down");
    ASSERT_TRUE(log.waitUntil(pathIs(NWPath::Status::satisfied, {"veth0"})));
    EXPECT_EQ(platform::primaryIPv4Address(), "10.9.0.2");

    // IPv6 alone satisfies the path, but gives no IPv4 primary address.
    ip("route del default via 10.9.0.1 dev veth0");
    ASSERT_TRUE(log.waitUntil(pathIs(NWPath::Status::unsatisfied, {})));
    EXPECT_EQ(platform::primaryIPv4Address(), std::nullopt);
    ASSERT_TRUE(recorder.waitUntil([](const auto& names) { return names.back() == "disconnected"; }));
    ip("-6 addr add 2001:db8:9::2/64 dev veth0 nodad");
    ip("-6 route add default via 2001:db8:9::1 dev veth0");
    ASSERT_TRUE(log.waitUntil(pathIs(NWPath::Status::satisfied, {"veth0"})));
    EXPECT_TRUE(log.last().supportsIPv6);
    EXPECT_FALSE(log.last().supportsIPv4);
    EXPECT_EQ(platform::primaryIPv4Address(), std::nullopt);
    // The check's own monitor has seen it too, or its "disconnected" below could be the last one's.
    ASSERT_TRUE(recorder.waitUntil([](const auto& names) { return names.back() == "connected"; }));

    ip("link del veth0");
    ASSERT_TRUE(log.waitUntil(pathIs(NWPath::Status::unsatisfied, {})));
    ASSERT_TRUE(recorder.waitUntil([](const auto& names) { return names.back() == "disconnected"; }));
    EXPECT_EQ(check.monitor().currentPath().status, NWPath::Status::unsatisfied);
    monitor->cancel();
}

// Only a path that differs from the last one reported is reported: a container's veth pair with
// addresses and a route to elsewhere change nothing; a reconnection (the link down, then up with
// its default route) is two reports, and two events.
TEST(NamespaceTest, OnlyChangesOfThePathAreReported) {
    KIV_RUN_IN_NETWORK_NAMESPACE();
    ip("link set lo up");
    ip("link add kiv0 type veth peer name kiv1");
    ip("link set kiv1 up");
    ip("addr add 198.51.100.2/24 dev kiv0");
    ip("link set kiv0 up");
    ip("route add default via 198.51.100.1 dev kiv0");
    EventRecorder recorder;
    NetworkCheck check(platform::makeNWPathMonitor(),
                       Injected<NotificationPublisher>([&] { return recorder.publisher(); }));
    auto monitor = platform::makeNWPathMonitor();
    PathLog log(*monitor);
    monitor->start(platform::makeSerialQueue("test.path"));
    ASSERT_TRUE(log.waitUntil(pathIs(NWPath::Status::satisfied, {"kiv0"})));
    EXPECT_EQ(log.last().gateways, std::vector<std::string>{"198.51.100.1"});
    EXPECT_EQ(
        log.last().availableInterfaces,
        (std::vector<platform::NWInterface>{{"kiv0", platform::NWInterface::InterfaceType::wiredEthernet}}));
    EXPECT_TRUE(log.last().supportsIPv4);
    ASSERT_TRUE(recorder.waitUntil([](const auto& names) { return !names.empty(); }));
    EXPECT_EQ(log.updates(), 1);

    // Unrelated: another veth pair with addresses of both families, a route through it, an address
    // on loopback, a route to elsewhere through the default link.
    ip("link add veth0 type veth peer name veth1");
    ip("link set veth1 up");
    ip("addr add 10.9.0.2/24 dev veth0");
    ip("-6 addr add 2001:db8:9::2/64 dev veth0 nodad");
    ip("link set veth0 up");
    ip("route add 10.10.0.0/16 via 10.9.0.1 dev veth0");
    ip("route add 203.0.113.0/24 via 198.51.100.1 dev kiv0");
    ip("addr add 127.0.0.9/8 dev lo");
    // A second default route does change the path; its report comes after every batch before it.
    ip("route add default via 10.9.0.1 dev veth0 metric 500");
    ASSERT_TRUE(log.waitUntil(pathIs(NWPath::Status::satisfied, {"kiv0", "veth0"})));
    EXPECT_EQ(log.last().gateways, (std::vector<std::string>{"198.51.100.1", "10.9.0.1"}));
    EXPECT_EQ(log.updates(), 2);
    // The check's monitor reads on its own: it must have seen this path before it goes again.
    ASSERT_TRUE(recorder.waitFor(2));
    ip("route del default via 10.9.0.1 dev veth0 metric 500");
    ASSERT_TRUE(log.waitUntil(pathIs(NWPath::Status::satisfied, {"kiv0"})));
    EXPECT_EQ(log.updates(), 3);
    ASSERT_TRUE(recorder.waitFor(3));
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"connected", "connected", "connected"}));

    // A reconnection.
    ip("link set kiv0 down");
    ASSERT_TRUE(log.waitUntil(pathIs(NWPath::Status::unsatisfied, {})));
    ASSERT_TRUE(recorder.waitFor(4));
    ip("link set kiv0 up");
    ip("route replace default via 198.51.100.1 dev kiv0");
    ASSERT_TRUE(log.waitUntil(pathIs(NWPath::Status::satisfied, {"kiv0"})));
    EXPECT_EQ(log.updates(), 5);
    ASSERT_TRUE(recorder.waitFor(5));
    EXPECT_EQ(recorder.names(),
              (std::vector<std::string>{"connected", "connected", "connected", "disconnected", "connected"}));
    monitor->cancel();
}

TEST(NamespaceTest, TunnelsWithIPv4AddressesStartAndStopTheVPNWatcher) {
    // A tun device needs the tun control device, which namespaces do not grant.
    if (::access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "no access to /dev/net/tun";
    KIV_RUN_IN_NETWORK_NAMESPACE();
    ip("link set lo up");
    EventRecorder recorder;
    auto logger = std::make_shared<CapturingLogger>();
    VPNMonitor monitor(
        VPNMonitor::Sources{nullptr, [] { return std::vector<std::string>{"/usr/bin/AnyConnect-ui"}; }},
        Injected<NotificationPublisher>([&] { return recorder.publisher(); }),
        Injected<KIVLogger>([&] { return logger; }));
    auto config =
        model::DeviceConfiguration::fromJSONString(R"({"jsonrpc":"2.0"})", model::TextEncoding::utf8);
    ASSERT_TRUE(config);
    monitor.setDeviceConfig(*config);
    monitor.startMonitoring();
    monitor.startMonitoring();  // a second start adds no second watcher

    ip("tuntap add mode tun name tun0");
    ip("link set tun0 up");
    EXPECT_FALSE(monitor.isVPNRunning());  // a tunnel without an IPv4 address is not up
    ip("addr add 10.8.0.2/24 dev tun0");
    ASSERT_TRUE(recorder.waitUntil([](const auto& names) { return !names.empty(); }));
    EXPECT_EQ(recorder.names().front(), "VPNDidStart");
    EXPECT_TRUE(monitor.isVPNRunning());
    EXPECT_EQ(platform::NetworkSnapshot::read()->tunnelsWithIPv4(), std::vector<std::string>{"tun0"});

    // An ordinary interface is no tunnel.
    ip("link add veth0 type veth peer name veth1");
    ip("addr add 10.9.0.2/24 dev veth0");
    ip("link del tun0");
    ASSERT_TRUE(recorder.waitUntil([](const auto& names) { return names.back() == "VPNDidStop"; }));
    EXPECT_FALSE(monitor.isVPNRunning());
    const auto names = recorder.names();
    EXPECT_EQ(std::count(names.begin(), names.end(), "VPNDidStop"), 1);

    // WireGuard, where the kernel offers it.
    if (run({"ip", "link", "add", "wg0", "type", "wireguard"}) == 0) {
        ip("addr add 10.7.0.2/24 dev wg0");
        ASSERT_TRUE(recorder.waitUntil([](const auto& n) { return n.back() == "VPNDidStart"; }));
        EXPECT_TRUE(monitor.isVPNRunning());
    }
}

}  // namespace
}  // namespace kiv
