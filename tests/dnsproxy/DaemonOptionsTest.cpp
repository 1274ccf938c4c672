#include <gtest/gtest.h>

#include "dnsproxy/DaemonOptions.hpp"

namespace {

using dnsproxy::parseDaemonOptions;

TEST(DaemonOptions, ReadsEverySetting) {
    const auto parsed = parseDaemonOptions(
        {"--vendor-data", "/tmp/v.json",    "--listen",        "::1",  "--listen",        "127.0.0.2",
         "--port",        "5353",           "--upstream-port", "5300", "--reply-timeout", "0.25",
         "--resolv-conf", "/tmp/r",         "--threads",       "3",    "--max-flows",     "10",
         "--syslog",      "--no-intercept", "--stall-loop",    "2"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const auto& o = *parsed.options;
    EXPECT_EQ(o.vendorDataPath, "/tmp/v.json");
    EXPECT_EQ(o.host.listenAddresses, (std::vector<std::string>{"::1", "127.0.0.2"}));
    EXPECT_EQ(o.host.port, 5353);
    EXPECT_EQ(o.proxy.upstreamPort, 5300);
    EXPECT_EQ(o.proxy.replyDeadline, std::chrono::milliseconds(250));
    EXPECT_EQ(o.proxy.resolvConfPath, "/tmp/r");
    EXPECT_EQ(o.threads, 3u);
    EXPECT_EQ(o.host.maxLiveFlows, 10u);
    EXPECT_TRUE(o.syslog);
    EXPECT_FALSE(o.host.interception.enabled);
    EXPECT_FALSE(o.clearInterception);
    EXPECT_EQ(o.stallLoop, 2u);
}

TEST(DaemonOptions, DefaultsAndRefusals) {
    const auto defaults = parseDaemonOptions({});
    ASSERT_TRUE(defaults.options);
    EXPECT_EQ(defaults.options->host.port, 53);
    EXPECT_EQ(defaults.options->proxy.upstreamPort, 53);
    EXPECT_EQ(defaults.options->proxy.replyDeadline, std::chrono::seconds(5));
    EXPECT_EQ(defaults.options->host.listenAddresses, (std::vector<std::string>{"127.0.0.1", "::1"}));
    EXPECT_FALSE(defaults.options->vendorDataPath);
    EXPECT_FALSE(defaults.options->stallLoop);
    // The daemon is the computer's DNS proxy: it intercepts unless told not to.
    EXPECT_TRUE(defaults.options->host.interception.enabled);
    EXPECT_EQ(defaults.options->host.interception.table, "kivdnsproxy");
    EXPECT_TRUE(parseDaemonOptions({"--clear-interception"}).options->clearInterception);
    for (const char* named :
         {"--no-intercept", "--clear-interception", "\"intercept\": false", "--stall-loop N is a test aid"}) {
        EXPECT_NE(dnsproxy::daemonUsage().find(named), std::string::npos) << named;
    }

    const std::vector<std::vector<std::string>> bad = {
        {"--port"},
        {"--port", "65536"},
        {"--port", "x"},
        {"--upstream-port", "0"},
        {"--threads", "0"},
        {"--reply-timeout", "0"},
        {"--reply-timeout", "-1"},
        {"--reply-timeout", "nan"},
        {"--max-flows", "0"},
        {"--unknown", "1"},
        {"--no-intercept=1"},
        {"--intercept"},
        {"--stall-loop", "-1"},
        {"--stall-loop", "256"},
        {"--stall-loop"},
    };
    for (const auto& args : bad) EXPECT_FALSE(parseDaemonOptions(args).options) << args[0];
}

}  // namespace
