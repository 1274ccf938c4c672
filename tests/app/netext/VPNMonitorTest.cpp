// The VPN query (tunnel AND a running VPN client), the names it looks for, the watcher's
// start/stop events, and the running-application names read from a proc folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/netext/ConnectivityCheck.hpp"
#include "app/netext/VPNMonitor.hpp"
#include "fakes/TestFolders.hpp"
#include "platform/net/RunningProcessNames.hpp"
#include "tests/app/netext/MonitorTestSupport.hpp"

namespace kiv {
namespace {

using testing_support::CapturingLogger;
using testing_support::EventRecorder;

model::DeviceConfiguration configWithNames(const std::optional<std::string>& namesJSON) {
    const std::string kiv = namesJSON ? R"(,"kiv":{"interfaces_to_ignore":)" + *namesJSON + "}" : "";
    auto config = model::DeviceConfiguration::fromJSONString(
        R"({"jsonrpc":"2.0","result":{"cfg":{"persistent":{"key":"k"},"runtime":{"locations":[])" + kiv +
            "}}}}",
        model::TextEncoding::utf8);
    EXPECT_TRUE(config) << "fixture";
    return config ? *config : model::DeviceConfiguration{};
}

struct Fixture {
    bool tunnel = false;
    std::vector<std::string> applications;
    EventRecorder recorder;
    std::shared_ptr<CapturingLogger> logger = std::make_shared<CapturingLogger>();
    VPNMonitor monitor{VPNMonitor::Sources{[this] { return tunnel; }, [this] { return applications; }},
                       Injected<NotificationPublisher>([this] { return recorder.publisher(); }),
                       Injected<KIVLogger>([this] { return logger; })};
};

struct QueryCase {
    const char* name;
    bool stored;                            // a configuration is stored
    std::optional<std::string> extraNames;  // "interfaces_to_ignore" JSON
    bool tunnel;
    std::vector<std::string> applications;
    bool expected;
};

void PrintTo(const QueryCase& c, std::ostream* out) { *out << c.name; }

class VPNQueryTest : public testing::TestWithParam<QueryCase> {};

TEST_P(VPNQueryTest, NeedsTunnelAndClient) {
    Fixture f;
    f.tunnel = GetParam().tunnel;
    f.applications = GetParam().applications;
    if (GetParam().stored) f.monitor.setDeviceConfig(configWithNames(GetParam().extraNames));
    EXPECT_EQ(f.monitor.isVPNRunning(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VPNQueryTest,
    testing::ValuesIn(std::vector<QueryCase>{
        {"NoConfigurationWhileTunnelAndClient", false, {}, true, {"AnyConnect"}, false},
        {"ClientWithoutTunnel", true, {}, false, {"AnyConnect"}, false},
        {"TunnelWithoutClient", true, {}, true, {"firefox", "bash"}, false},
        {"ClientNamePartOfLongerName",
         true,
         {},
         true,
         {"bash", "Cisco AnyConnect Secure Mobility Client"},
         true},
        {"AnyLetterCase", true, {}, true, {"/opt/cisco/ANYCONNECT/bin/vpnui"}, true},
        {"NameWithBlanks", true, {}, true, {"sonicwall Mobile Connect"}, true},
        {"ConfiguredName", true, R"(["openvpn"])", true, {"/usr/sbin/openvpn"}, true},
        {"ConfiguredNameWithoutItsClient", true, R"(["openvpn"])", true, {"wireguard-tools"}, false},
        {"EmptyConfiguredNameMatchesNothing", true, R"([""])", true, {"firefox"}, false},
        {"NoApplicationsAtAll", true, {}, true, {}, false},
    }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VPNMonitorTest, NamesAreBuiltInPlusConfiguredWithoutDuplicates) {
    Fixture f;
    auto names = f.monitor.vpnNames(configWithNames(R"(["Citrix", "openvpn", "openvpn", ""])"));
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected = VPNMonitor::builtInVPNNames();
    expected.push_back("openvpn");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
    ASSERT_EQ(f.logger->lines.size(), 1u);
    EXPECT_EQ(f.logger->lines[0], R"(vpnsFromConfig are ["Citrix", "openvpn", "openvpn", ""])");
    EXPECT_EQ(f.logger->levels[0], model::LogLevel::production);

    auto builtIn = f.monitor.vpnNames(configWithNames(std::nullopt));
    EXPECT_EQ(builtIn.size(), 7u);
    EXPECT_EQ(f.logger->lines.size(), 1u);  // nothing configured, nothing logged
}

TEST(VPNMonitorTest, WatcherStartsOnEveryTunnelChangeAndStopsOnce) {
    Fixture f;
    EventRecorder::drain();
    const std::vector<bool> tunnels{true, true, false, false, true, false};
    for (bool up : tunnels) {
        f.tunnel = up;
        f.monitor.handleChange();
    }
    EventRecorder::drain();
    EXPECT_EQ(f.recorder.names(), (std::vector<std::string>{"VPNDidStart", "VPNDidStart", "VPNDidStop",
                                                            "VPNDidStart", "VPNDidStop"}));
    EXPECT_FALSE(f.monitor.vpnWasRunning());
}

TEST(VPNMonitorTest, TunnelWithoutClientStillStartsTheWatcher) {
    Fixture f;
    EventRecorder::drain();
    f.tunnel = true;
    f.applications = {"firefox"};
    f.monitor.setDeviceConfig(configWithNames(std::nullopt));
    f.monitor.handleChange();
    EventRecorder::drain();
    EXPECT_FALSE(f.monitor.isVPNRunning());
    EXPECT_EQ(f.recorder.names(), std::vector<std::string>{"VPNDidStart"});
}

TEST(RunningProcessNamesTest, CommandNameAndFirstArgumentOfEveryReadableProcess) {
    fakes::TemporaryFolder proc;
    auto write = [&](const std::string& relative, const std::string& bytes) {
        std::filesystem::create_directories((proc.path() / relative).parent_path());
        std::ofstream(proc.path() / relative, std::ios::binary) << bytes;
    };
    write("1/comm", "vpnui\n");
    constexpr char kVpnui[] = "/opt/cisco/anyconnect/bin/vpnui\0--quiet\0";
    constexpr char kBash[] = "bash\0";
    write("1/cmdline", std::string(kVpnui, sizeof(kVpnui) - 1));
    write("22/comm", "bash\n");
    write("22/cmdline", std::string(kBash, sizeof(kBash) - 1));  // same as comm: listed once
    write("333/comm", "kworker/0:1\n");                          // kernel thread: no command line
    write("333/cmdline", "");
    std::filesystem::create_directories(proc.path() / "4444");  // gone while listed
    write("self/comm", "ignored\n");                            // not a process number
    write("sys/comm", "ignored\n");

    auto names = platform::runningProcessNames(proc.path().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"/opt/cisco/anyconnect/bin/vpnui", "bash", "kworker/0:1", "vpnui"}));
    EXPECT_TRUE(platform::runningProcessNames((proc.path() / "missing").string()).empty());
}

TEST(ConnectivityHoldersTest, DefaultsOfBothHolders) {
    const NCSICheck ncsi;
    EXPECT_FALSE(ncsi.session);
    EXPECT_EQ(ncsi.statusURL.rfind("http://", 0), 0u);
    EXPECT_EQ(ncsi.statusURL.back(), '/');
    EXPECT_EQ(ncsi.excpectedReply, "Connect_test_succeeded");

    const SanityCheck sanity;
    ASSERT_TRUE(sanity.concurrentQueue);
    EXPECT_EQ(sanity.concurrentQueue->label(), "SanityCheck.queue");
    EXPECT_FALSE(sanity.concurrentQueue->isSerial());
    EXPECT_FALSE(sanity.resolvers);
    EXPECT_EQ(sanity.checkTime, 20);
    EXPECT_EQ(sanity.tolerance, 3);
}

}  // namespace
}  // namespace kiv
