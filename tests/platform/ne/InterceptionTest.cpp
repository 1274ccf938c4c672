#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <filesystem>
#include <fstream>

#include "InNamespace.hpp"
#include "RecordingProvider.hpp"
#include "fakes/TestFolders.hpp"
#include "fakes/ne/IoRunner.hpp"
#include "fakes/ne/LoopbackSocket.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"
#include "platform/ne/Interception.hpp"
#include "platform/ne/NWUDPConnection.hpp"
#include "platform/ne/OwnEndpoints.hpp"
#include "platform/ne/ProviderHost.hpp"

namespace {

namespace fs = std::filesystem;
using asio::ip::make_address;
using asio::ip::udp;
using platform::ne::Interception;

// ---- The table's text ----

struct RulesetCase {
    const char* name;
    std::vector<udp::endpoint> listening;
    std::vector<std::string> targets;  // the dnat lines, in order
    std::vector<std::string> uncovered;
    std::vector<std::string> refused;  // the families whose TCP is refused
};

class Ruleset : public ::testing::TestWithParam<RulesetCase> {};

TEST_P(Ruleset, SendsEachFamilyToItsListener) {
    const auto& c = GetParam();
    std::vector<std::string> uncovered;
    const auto text = platform::ne::interceptionRuleset("kivdnsproxy", 0x4b4956, c.listening, &uncovered);
    std::string expected =
        "add table inet kivdnsproxy\ndelete table inet kivdnsproxy\ntable inet kivdnsproxy {\n"
        "    chain output {\n        type nat hook output priority -100; policy accept;\n"
        "        meta mark 0x4b4956 return\n";
    for (const auto& line : c.targets) expected += "        " + line + "\n";
    expected +=
        "    }\n    chain refuse_tcp {\n        type filter hook output priority 0; policy accept;\n"
        "        meta mark 0x4b4956 return\n";
    for (const auto& family : c.refused)
        expected += "        meta nfproto " + family + " tcp dport 53 reject with tcp reset\n";
    expected += "    }\n}\n";
    EXPECT_EQ(text, expected);
    EXPECT_EQ(uncovered, c.uncovered);
}

INSTANTIATE_TEST_SUITE_P(
    Interception, Ruleset,
    ::testing::Values(
        RulesetCase{"Loopback",
                    {udp::endpoint(make_address("127.0.0.1"), 53), udp::endpoint(make_address("::1"), 53)},
                    {"meta nfproto ipv4 udp dport 53 dnat ip to 127.0.0.1:53",
                     "meta nfproto ipv6 udp dport 53 dnat ip6 to [::1]:53"},
                    {},
                    {"ipv4", "ipv6"}},
        RulesetCase{"FirstOfAFamilyWins",
                    {udp::endpoint(make_address("::1"), 5353), udp::endpoint(make_address("127.0.0.2"), 5300),
                     udp::endpoint(make_address("127.0.0.1"), 53)},
                    {"meta nfproto ipv4 udp dport 53 dnat ip to 127.0.0.2:5300",
                     "meta nfproto ipv6 udp dport 53 dnat ip6 to [::1]:5353"},
                    {},
                    {"ipv4", "ipv6"}},
        RulesetCase{"WildcardsThroughLoopback",
                    {udp::endpoint(make_address("0.0.0.0"), 53), udp::endpoint(make_address("::"), 53)},
                    {"meta nfproto ipv4 udp dport 53 dnat ip to 127.0.0.1:53",
                     "meta nfproto ipv6 udp dport 53 dnat ip6 to [::1]:53"},
                    {},
                    {"ipv4", "ipv6"}},
        RulesetCase{"IPv4Only",
                    {udp::endpoint(make_address("127.0.0.1"), 1053)},
                    {"meta nfproto ipv4 udp dport 53 dnat ip to 127.0.0.1:1053"},
                    {"IPv6"},
                    {"ipv4"}},
        RulesetCase{"IPv6Only",
                    {udp::endpoint(make_address("fe80::1%1"), 53)},
                    {"meta nfproto ipv6 udp dport 53 dnat ip6 to [fe80::1]:53"},
                    {"IPv4"},
                    {"ipv6"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Interception, RefusesTableNamesThatAreNoPlainIdentifier) {
    for (const char* name : {"", "kiv dnsproxy", "x;flush ruleset", "1table", "a{b}"}) {
        Interception interception({true, name, 1, {}});
        EXPECT_NE(interception.install({udp::endpoint(make_address("127.0.0.1"), 53)}), "") << name;
        EXPECT_FALSE(interception.installed());
        EXPECT_NE(platform::ne::clearInterception(name), "") << name;
    }
    EXPECT_EQ(platform::ne::upstreamSocketMark(), 0u);
}

// ---- The computer's own DNS servers ----

struct ResolvConfCase {
    const char* name;
    const char* resolvConf;
    bool resolvedListExists;
    bool resolvedChosen;
    std::vector<std::string> loopback;
};

class ComputerDNS : public ::testing::TestWithParam<ResolvConfCase> {};

TEST_P(ComputerDNS, IsResolvedsUpstreamBehindItsStub) {
    const auto& c = GetParam();
    kiv::fakes::TemporaryFolder folder;
    const auto etc = (folder.path() / "resolv.conf").string();
    const auto resolved = (folder.path() / "resolved.conf").string();
    if (c.resolvConf) std::ofstream(etc) << c.resolvConf;
    if (c.resolvedListExists) std::ofstream(resolved) << "nameserver 198.51.100.53\n";
    EXPECT_EQ(platform::ne::computerResolvConf(etc, resolved), c.resolvedChosen ? resolved : etc);
    EXPECT_EQ(platform::ne::loopbackNameServers(etc), c.loopback);
}

INSTANTIATE_TEST_SUITE_P(
    Interception, ComputerDNS,
    ::testing::Values(
        ResolvConfCase{"Stub", "nameserver 127.0.0.53\noptions edns0 trust-ad\n", true, true, {"127.0.0.53"}},
        ResolvConfCase{"BothStubs",
                       "nameserver 127.0.0.53\nnameserver 127.0.0.54\n",
                       true,
                       true,
                       {"127.0.0.53", "127.0.0.54"}},
        ResolvConfCase{"StubWithoutResolvedsList", "nameserver 127.0.0.53\n", false, false, {"127.0.0.53"}},
        ResolvConfCase{
            "PlainServers", "# by hand\nnameserver 198.51.100.1\nnameserver 2001:db8::1\n", true, false, {}},
        ResolvConfCase{"StubAndAnother",
                       "nameserver 127.0.0.53\nnameserver 198.51.100.1\n",
                       true,
                       false,
                       {"127.0.0.53"}},
        ResolvConfCase{"LocalForwarder",
                       "nameserver 127.0.1.1\nnameserver ::1\nsearch example\n",
                       true,
                       false,
                       {"127.0.1.1", "::1"}},
        ResolvConfCase{"Empty", "", true, false, {}}, ResolvConfCase{"Missing", nullptr, true, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The preferences' setting ----

TEST(Interception, PreferencesKeyIsReadAndSurvivesTheApplicationsSaves) {
    kiv::fakes::TemporaryFolder folder;
    const auto path = (folder.path() / "preferences.json").string();
    struct Case {
        const char* text;
        std::optional<bool> intercept;
        std::size_t problems;
    };
    for (const auto& c : {Case{R"({"enabled": true, "intercept": false})", false, 0},
                          Case{R"({"enabled": true, "intercept": true})", true, 0},
                          Case{R"({"enabled": true})", std::nullopt, 0},
                          Case{R"({"enabled": true, "intercept": "no"})", std::nullopt, 1},
                          Case{R"({"enabled": true, "intercept": 0})", std::nullopt, 1}}) {
        std::ofstream(path) << c.text;
        const auto load = platform::ne::loadDNSProxyPreferences(path);
        ASSERT_EQ(load.status, platform::ne::PreferencesLoad::Status::loaded) << c.text;
        EXPECT_EQ(load.preferences.intercept, c.intercept) << c.text;
        EXPECT_EQ(load.problems.size(), c.problems) << c.text;
    }
    // The application saves without the key: the file's own stays; its own value wins.
    std::ofstream(path) << R"({"enabled": false, "intercept": false})";
    platform::ne::DNSProxyPreferences saved;
    saved.enabled = true;
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(path, saved), "");
    EXPECT_EQ(platform::ne::loadDNSProxyPreferences(path).preferences.intercept, false);
    EXPECT_TRUE(platform::ne::loadDNSProxyPreferences(path).preferences.enabled);
    saved.intercept = true;
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(path, saved), "");
    EXPECT_EQ(platform::ne::loadDNSProxyPreferences(path).preferences.intercept, true);
}

// ---- For real, in a namespace of the test's own ----

std::string tables() { return kiv_test_namespace::output("nft list tables"); }

// A TCP connection from this computer to `address`:`port`, from a socket carrying
// `mark` when not 0: "accepted", or why not. Bounded: a silent drop reads "no answer".
std::string connectTCP(const std::string& address, std::uint16_t port, std::uint32_t mark = 0) {
    asio::io_context io;
    const asio::ip::tcp::endpoint to(make_address(address), port);
    asio::ip::tcp::socket socket(io, to.protocol());
    if (mark && ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0)
        return "no mark";
    std::optional<asio::error_code> result;
    socket.async_connect(to, [&](const asio::error_code& ec) { result = ec; });
    io.run_for(std::chrono::seconds(3));
    if (!result) return "no answer";
    return *result ? result->message() : "accepted";
}

// A datagram sent by a plain socket of this computer to any address's port 53
// reaches the listening socket and its answer comes back from the address asked;
// the marked upstream connection reaches the address it names; TCP to port 53 is
// refused with a reset, a connection made before too, unless its socket is marked;
// a table left behind is replaced; after removal even a kept socket goes direct.
TEST(Interception, RedirectsTheComputersDNSButNotTheMarkedUpstream) {
    KIV_RUN_IN_OWN_NETWORK_NAMESPACE();
    ASSERT_TRUE(kiv_test_namespace::bringUpNetwork());
    fakes::LoopbackSocket listener("127.0.0.1");
    fakes::LoopbackSocket listener6("::1");
    fakes::LoopbackSocket resolver("127.0.0.2", 53);
    // Another program's translations (a container engine's, say) keep the kernel's
    // NAT in use when our table goes.
    ASSERT_TRUE(kiv_test_namespace::shell(
        "nft 'add table ip other; add chain ip other output { type nat hook output priority 0; }'"));
    // What a killed daemon left: a rule that sends DNS where nothing answers.
    ASSERT_TRUE(kiv_test_namespace::shell(
        "nft 'add table inet kivdnsproxy; add chain inet kivdnsproxy output { type nat hook output priority "
        "-100; "
        "}; add rule inet kivdnsproxy output udp dport 53 dnat ip to 127.0.0.9:9'"));
    // TCP servers on port 53 and another port, of both families, and a connection
    // to one of them made before the interception.
    asio::io_context tcpIo;
    using asio::ip::tcp;
    tcp::acceptor dns(tcpIo, tcp::endpoint(make_address("::"), 53));
    tcp::acceptor other(tcpIo, tcp::endpoint(make_address("::"), 5353));
    tcp::socket early(tcpIo);
    early.connect(tcp::endpoint(make_address("127.0.0.5"), 53));
    {
        Interception interception({true, "kivdnsproxy", 0x4b4956, {}});
        ASSERT_EQ(interception.install({udp::endpoint(make_address("127.0.0.1"), listener.port()),
                                        udp::endpoint(make_address("::1"), listener6.port())}),
                  "");
        EXPECT_TRUE(interception.installed());
        EXPECT_EQ(platform::ne::upstreamSocketMark(), 0x4b4956u);
        EXPECT_EQ(tables(), "table ip other\ntable inet kivdnsproxy\n");

        struct Asked {
            const char* address;
            const fakes::LoopbackSocket* reaches;
        };
        for (const auto& asked : {Asked{"203.0.113.9", &listener}, Asked{"127.0.0.2", &listener},
                                  Asked{"2001:db8::9", &listener6}}) {
            const bool v6 = std::string(asked.address).find(':') != std::string::npos;
            fakes::LoopbackSocket client(v6 ? "::" : "0.0.0.0");
            client.sendTo(asked.address, 53, {1, 2, 3});
            const auto query = asked.reaches->receive(3000);
            ASSERT_TRUE(query) << asked.address;
            asked.reaches->sendTo(query->fromAddress, query->fromPort, {4, 5});
            const auto answer = client.receive(3000);
            ASSERT_TRUE(answer) << asked.address;
            EXPECT_EQ(answer->fromAddress, asked.address);
            EXPECT_EQ(answer->fromPort, 53);
        }
        EXPECT_FALSE(resolver.receiveNow());
        // A client that keeps its socket, asking before and after the removal.
        fakes::LoopbackSocket keeping;
        keeping.sendTo("127.0.0.2", 53, {1});
        const auto kept = listener.receive(3000);
        ASSERT_TRUE(kept);
        listener.sendTo(kept->fromAddress, kept->fromPort, {2});
        ASSERT_TRUE(keeping.receive(3000));

        asio::io_context io;
        auto upstream = platform::ne::NWUDPConnection::make("127.0.0.2", 53);
        bool ready = false;
        upstream->setStateUpdateHandler([&](const platform::ne::NWConnectionState& state) {
            ready = state.kind == platform::ne::NWConnectionState::Kind::ready;
        });
        upstream->start(platform::ne::makeQueue(io));
        ASSERT_TRUE(fakes::runUntil(io, [&] { return ready; }));
        upstream->send({7, 7}, platform::ne::ContentContext::defaultMessage, true, {});
        ASSERT_TRUE(resolver.receive(3000));
        EXPECT_FALSE(listener.receiveNow());
        upstream->cancel();

        // TCP to port 53 is refused, whatever the address; the marked upstream and
        // other ports connect.
        struct Connecting {
            const char* address;
            std::uint16_t port;
            std::uint32_t mark;
            const char* result;
        };
        for (const auto& c :
             {Connecting{"127.0.0.5", 53, 0, "Connection refused"},
              Connecting{"::1", 53, 0, "Connection refused"},
              Connecting{"192.0.2.1", 53, 0, "Connection refused"},
              Connecting{"2001:db8:1::1", 53, 0, "Connection refused"},
              Connecting{"127.0.0.5", 53, 0x4b4956, "accepted"}, Connecting{"::1", 53, 0x4b4956, "accepted"},
              Connecting{"127.0.0.5", 53, 0x4b4955, "Connection refused"},
              Connecting{"127.0.0.5", 5353, 0, "accepted"}, Connecting{"::1", 5353, 0, "accepted"}}) {
            EXPECT_EQ(connectTCP(c.address, c.port, c.mark), c.result)
                << c.address << " port " << c.port << " mark " << c.mark;
        }
        // The connection made before: its next query is refused too.
        asio::error_code ec;
        asio::write(early, asio::buffer(std::string("\0\x11", 2)), ec);
        ASSERT_FALSE(ec) << ec.message();
        std::array<char, 2> reply;
        std::optional<asio::error_code> read;
        early.async_read_some(asio::buffer(reply), [&](const asio::error_code& e, std::size_t) { read = e; });
        ASSERT_TRUE(fakes::runUntil(tcpIo, [&] { return read.has_value(); }));
        EXPECT_EQ(*read, asio::error::connection_reset) << read->message();

        ASSERT_EQ(interception.remove(), "");
        EXPECT_EQ(interception.remove(), "");
        EXPECT_EQ(tables(), "table ip other\n");
        for (const char* address : {"127.0.0.5", "::1"}) EXPECT_EQ(connectTCP(address, 53), "accepted");
        fakes::LoopbackSocket fresh;
        for (const auto* client : {&keeping, &fresh}) {
            client->sendTo("127.0.0.2", 53, {9});
            EXPECT_TRUE(resolver.receive(3000));
            EXPECT_FALSE(listener.receiveNow());
        }
    }
    EXPECT_EQ(platform::ne::clearInterception(), "") << "nothing to clear is no failure";
}

// The host intercepts while the proxy runs, and only then keeps the proxy away from
// the computer's local forwarders, whose own queries it would take back in.
TEST(Interception, TheHostInterceptsWhileTheProxyRuns) {
    KIV_RUN_IN_OWN_NETWORK_NAMESPACE();
    ASSERT_TRUE(kiv_test_namespace::bringUpNetwork());
    asio::io_context io;
    auto provider = std::make_shared<testing_ne::RecordingProvider>();
    platform::ne::ProviderHostSettings settings;
    settings.listenAddresses = {"127.0.0.1"};
    settings.port = 0;
    const udp::endpoint forwarder(make_address("127.0.1.1"), 53);
    settings.interception = {true, "kivdnsproxy", 0x4b4956, {forwarder}};
    const auto avoided = [&] { return platform::ne::OwnEndpoints::shared().wouldLoop(forwarder); };
    {
        platform::ne::ProviderHost host(io, provider, settings);
        host.listen();
        const auto port = host.listeningEndpoints().front().port();
        struct Step {
            const char* name;
            bool start;
            bool intercept;
            bool intercepting;
        };
        for (const auto& step :
             {Step{"start", true, true, true}, Step{"stop", false, true, false},
              Step{"listening only", true, false, false}, Step{"stop again", false, true, false},
              Step{"start again", true, true, true}}) {
            if (step.start) {
                host.startProxy(nlohmann::json::object(), {}, step.intercept);
                ASSERT_TRUE(fakes::runUntil(io, [&] { return host.proxyRunning(); })) << step.name;
            } else {
                bool stopped = false;
                host.stopProxy(platform::ne::NEProviderStopReason::userInitiated, [&] { stopped = true; });
                ASSERT_TRUE(fakes::runUntil(io, [&] { return stopped; })) << step.name;
            }
            EXPECT_EQ(host.intercepting(), step.intercepting) << step.name;
            EXPECT_EQ(avoided(), step.intercepting) << step.name;
            EXPECT_EQ(tables(), step.intercepting ? "table inet kivdnsproxy\n" : "") << step.name;
            if (step.intercepting) {
                EXPECT_NE(kiv_test_namespace::output("nft list table inet kivdnsproxy")
                              .find("dnat ip to 127.0.0.1:" + std::to_string(port)),
                          std::string::npos);
            }
        }
    }
    EXPECT_EQ(tables(), "") << "the host's end removes the table";
    EXPECT_FALSE(avoided());
}

}  // namespace
