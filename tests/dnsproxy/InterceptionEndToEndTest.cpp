// kivdnsproxy as the computer's DNS proxy, in a user and network namespace of the
// test's own: queries to any address's port 53 are taken in, answered through the
// stand-in resolvers, and go their own way again once the proxy is gone.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "Process.hpp"
#include "QueryFixtures.hpp"
#include "fakes/TestFolders.hpp"
#include "fakes/ne/LoopbackSocket.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"
#include "platform/ne/InNamespace.hpp"
#include "platform/ne/Interception.hpp"

namespace {

using nlohmann::json;
using testing_dnsproxy::Process;
namespace fs = std::filesystem;
using kiv_test_namespace::output;
using namespace std::chrono_literals;

class Intercepting {
public:
    // `delay`: the resolvers answer that many seconds after each query came.
    explicit Intercepting(const std::string& delay = "0", std::string threadCount = "1")
        : threads(std::move(threadCount)) {
        fs::create_directory(folder.path() / "run");
        startResolver("127.0.0.2", "rule.jsonl", {"--tcp", "--txt-bytes", "700", "--delay", delay});
        startResolver("127.0.0.3", "local.jsonl", {"--delay", delay});
        std::ofstream(vendorPath()) << vendorData().dump();
    }

    static json vendorData() {
        return json{
            {"uuid", "00112233-4455-6677-8899-AABBCCDDEEFF"},
            {"locationTag", "abc"},
            {"resolvers", {"127.0.0.2"}},
            {"internalIp", "10.1.2.3"},
            {"externalIp", "198.51.100.7"},
            {"localDNS", {"127.0.0.3"}},
            {"filters",
             {{{"filter", {{{"resolvers", {"127.0.0.2"}}}}}}, {{"filter", {{{"domain", "corp.example"}}}}}}}};
    }
    std::string vendorPath() const { return (folder.path() / "vendor.json").string(); }

    void startResolver(const std::string& address, const std::string& record,
                       const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = {"/usr/bin/python3", KIV_SOURCE_DIR "/tools/kiv-test-resolver",
                                         "--address",        address,
                                         "--port",           "53",
                                         "--record",         (folder.path() / record).string(),
                                         "--quiet"};
        args.insert(args.end(), options.begin(), options.end());
        auto& resolver = *processes.emplace_back(std::make_unique<Process>(
            args, std::vector<std::string>{}, (folder.path() / "resolver.err").string()));
        if (!resolver.waitForLine("listening on")) throw std::runtime_error("no resolver on " + address);
    }
    // The daemon, started through `prefix` (a launcher) when given.
    Process& startDaemon(std::vector<std::string> args, std::vector<std::string> prefix = {}) {
        args.insert(args.begin(), {KIV_BINARY_DIR "/dnsproxy/kivdnsproxy", "--threads", threads});
        args.insert(args.begin(), prefix.begin(), prefix.end());
        return *processes.emplace_back(std::make_unique<Process>(
            args,
            std::vector<std::string>{"KIV_RUN_DIR=" + (folder.path() / "run").string(),
                                     "KIV_LOG_LEVEL=default"},
            (folder.path() / "daemon.err").string()));
    }
    // A daemon that intercepts, or nothing when it does not.
    Process* startIntercepting() {
        auto& daemon = startDaemon({"--vendor-data", vendorPath()});
        const auto line = daemon.waitForLine("proxy started");
        return line && line->find("intercepting") != std::string::npos ? &daemon : nullptr;
    }

    static std::string dig(const std::string& server, const std::string& name, const std::string& how = "") {
        return output("dig +short +time=2 +tries=1 " + how + " @" + server + " " + name + " A");
    }
    // What the resolver writing `file` received, as JSON lines (each written before it answers).
    std::vector<json> records(const std::string& file) const {
        std::vector<json> result;
        std::ifstream in(folder.path() / file);
        for (std::string line; std::getline(in, line);) result.push_back(json::parse(line));
        return result;
    }
    // How many queries the resolver writing `file` has received.
    std::size_t recordCount(const std::string& file) const {
        std::ifstream in(folder.path() / file);
        return static_cast<std::size_t>(
            std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
    }
    static bool tagged(const json& record) {
        for (const auto& option : record["options"]) {
            if (option["code"] == 0xFE78 && option["uuid"] == "00112233-4455-6677-8899-aabbccddeeff")
                return true;
        }
        return false;
    }
    static std::string tables() { return output("nft list tables"); }
    // The same question as tables(), asked in-process: a start of nft takes long
    // enough to blur a measured moment.
    static bool tablePresent() { return platform::ne::runNftables("list table inet kivdnsproxy").empty(); }
    std::string errors() const { return output("cat " + (folder.path() / "daemon.err").string()); }

    std::string threads;
    kiv::fakes::TemporaryFolder folder{"kiv-intercept"};
    std::vector<std::unique_ptr<Process>> processes;
};

bool stopped(Process& daemon, int signal) {
    daemon.signal(signal);
    const auto status = daemon.wait(10s);
    return status && (signal == SIGKILL || (WIFEXITED(*status) && WEXITSTATUS(*status) == 0));
}

TEST(InterceptionEndToEnd, TheComputersDNSGoesThroughTheProxyWhileItRuns) {
    KIV_RUN_IN_OWN_NETWORK_NAMESPACE();
    ASSERT_TRUE(kiv_test_namespace::bringUpNetwork());
    Intercepting test;
    auto* daemon = test.startIntercepting();
    ASSERT_TRUE(daemon) << test.errors();
    EXPECT_EQ(test.tables(), "table inet kivdnsproxy\n");

    struct Case {
        const char* server;
        const char* name;
        const char* arrivesAt;
        bool tagged;
    };
    // Whatever server is asked, the proxy answers; the rule resolvers and the
    // computer's own server (localDNS) get the proxy's queries once each, not again.
    const Case cases[] = {
        {"203.0.113.9", "www.example.com", "rule.jsonl", true},
        {"2001:db8::9", "six.example.com", "rule.jsonl", true},
        {"127.0.0.3", "asked-local.example.com", "rule.jsonl", true},  // everyone else's is taken in
        {"203.0.113.9", "host.corp.example", "local.jsonl", false},    // a rule without resolvers
    };
    std::map<std::string, std::size_t> expected;
    for (const auto& c : cases) {
        EXPECT_EQ(test.dig(c.server, c.name), "192.0.2.1\n") << c.server << " " << c.name << test.errors();
        ++expected[c.arrivesAt];
        const auto seen = test.records(c.arrivesAt);
        ASSERT_EQ(seen.size(), expected[c.arrivesAt]) << c.name;
        EXPECT_EQ(seen.back()["qname"], std::string(c.name) + ".") << c.name;
        EXPECT_EQ(test.tagged(seen.back()), c.tagged) << c.name;
    }

    ASSERT_TRUE(stopped(*daemon, SIGTERM));
    EXPECT_EQ(test.tables(), "");
    EXPECT_EQ(test.dig("127.0.0.2", "direct.example.com"), "192.0.2.1\n");
    const auto direct = test.records("rule.jsonl");
    ASSERT_EQ(direct.size(), expected["rule.jsonl"] + 1);
    EXPECT_FALSE(test.tagged(direct.back())) << "asked directly, not through the proxy";
}

// The proxy takes no TCP: while it intercepts, a TCP query to any server is refused
// at once (a reset, not a timeout), the TCP retry of an answer cut with TC too, and
// the server never sees it; UDP to it goes through the proxy. Once the daemon has
// stopped (SIGTERM) or the user has quit, TCP reaches the server again.
TEST(InterceptionEndToEnd, TCPQueriesAreRefusedWhileTheProxyRunsAndPassOnceItStops) {
    KIV_RUN_IN_OWN_NETWORK_NAMESPACE();
    ASSERT_TRUE(kiv_test_namespace::bringUpNetwork());
    ASSERT_TRUE(kiv_test_namespace::shell("ip addr add 192.0.2.53/32 dev lo"));
    ASSERT_TRUE(kiv_test_namespace::shell("ip -6 addr add 2001:db8::53/128 dev lo nodad"));
    Intercepting test;
    // Outside servers: whatever they answer carries their marker.
    const std::string marker = "203.0.113.53";
    test.startResolver("192.0.2.53", "outside4.jsonl", {"--tcp", "--txt-bytes", "700", "--answer", marker});
    test.startResolver("2001:db8::53", "outside6.jsonl", {"--tcp", "--txt-bytes", "700", "--answer", marker});
    enum class Kind { tcp, udp, cut };  // cut: a stub without EDNS asks for a long answer
    struct Ask {
        Kind kind;
        const char* server;
        const char* record;
    };
    const Ask asks[] = {
        {Kind::tcp, "192.0.2.53", "outside4.jsonl"}, {Kind::tcp, "2001:db8::53", "outside6.jsonl"},
        {Kind::udp, "192.0.2.53", "outside4.jsonl"}, {Kind::udp, "2001:db8::53", "outside6.jsonl"},
        {Kind::cut, "192.0.2.53", "outside4.jsonl"}, {Kind::cut, "2001:db8::53", "outside6.jsonl"}};
    const auto askAll = [&](const std::string& phase, bool intercepting) {
        for (const auto& ask : asks) {
            const std::string how[] = {"+short +tcp tcp.example A", "+short udp.example A",
                                       "+noedns long.example TXT"};
            const auto what = phase + ": dig " + how[static_cast<int>(ask.kind)] + " @" + ask.server;
            const auto outsideBefore = test.records(ask.record).size();
            const auto proxiedBefore = test.records("rule.jsonl").size();
            const auto start = std::chrono::steady_clock::now();
            const auto text = output("dig +timeout=5 +tries=1 @" + std::string(ask.server) + " " +
                                     how[static_cast<int>(ask.kind)]);
            // Failed at once or answered, not given up on after dig's timeout.
            EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << what;
            const auto outside = test.records(ask.record);
            const auto proxied = test.records("rule.jsonl");
            const bool refused = text.find("connection refused") != std::string::npos;
            const bool retried = text.find("Truncated, retrying in TCP mode") != std::string::npos;
            std::vector<std::string> transports;
            for (auto i = outsideBefore; i < outside.size(); ++i)
                transports.push_back(outside[i]["transport"]);
            if (!intercepting) {
                EXPECT_NE(text.find(marker), std::string::npos) << what << "\n" << text;
                EXPECT_FALSE(refused) << what;
                EXPECT_EQ(retried, ask.kind == Kind::cut) << what << "\n" << text;
                EXPECT_EQ(proxied.size(), proxiedBefore) << what;
                const std::vector<std::string> direct[] = {{"tcp"}, {"udp"}, {"udp", "tcp"}};
                EXPECT_EQ(transports, direct[static_cast<int>(ask.kind)]) << what;
                continue;
            }
            EXPECT_EQ(text.find(marker), std::string::npos) << what << "\n" << text;
            EXPECT_TRUE(transports.empty()) << what << ": the outside server was asked";
            EXPECT_EQ(refused, ask.kind != Kind::udp) << what << "\n" << text;
            EXPECT_EQ(retried, ask.kind == Kind::cut) << what << "\n" << text;
            if (ask.kind == Kind::udp) {
                EXPECT_EQ(text, "192.0.2.1\n") << what;
            }
            EXPECT_EQ(proxied.size(), proxiedBefore + (ask.kind == Kind::tcp ? 0 : 1)) << what;
            if (ask.kind != Kind::tcp && proxied.size() > proxiedBefore) {
                EXPECT_TRUE(test.tagged(proxied.back())) << what;
                EXPECT_EQ(proxied.back()["transport"], "udp") << what;
            }
        }
    };
    askAll("before", false);

    auto* daemon = test.startIntercepting();
    ASSERT_TRUE(daemon) << test.errors();
    askAll("intercepting", true);
    ASSERT_TRUE(stopped(*daemon, SIGTERM));
    EXPECT_EQ(test.tables(), "");
    askAll("after SIGTERM", false);

    const auto path = (test.folder.path() / "preferences.json").string();
    platform::ne::DNSProxyPreferences preferences;
    preferences.enabled = true;
    preferences.providerConfiguration = Intercepting::vendorData();
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(path, preferences), "");
    auto& following = test.startDaemon({"--preferences", path});
    ASSERT_TRUE(following.waitForLine("proxy started, intercepting")) << test.errors();
    askAll("intercepting again", true);
    ASSERT_EQ(platform::ne::removeDNSProxyPreferences(path), "");  // the user quits
    ASSERT_TRUE(following.waitForLine("proxy stopped"));
    EXPECT_EQ(test.tables(), "");
    askAll("after the user quit", false);
    ASSERT_TRUE(stopped(following, SIGTERM));
}

// A killed daemon leaves its table, which sends the computer's DNS nowhere: the
// service's stop removes it with --clear-interception, and the next start takes it
// over in any case.
TEST(InterceptionEndToEnd, ATableLeftByAKilledDaemonIsClearedOrReplaced) {
    KIV_RUN_IN_OWN_NETWORK_NAMESPACE();
    ASSERT_TRUE(kiv_test_namespace::bringUpNetwork());
    Intercepting test;
    for (const bool clearIt : {true, false}) {
        auto* killed = test.startIntercepting();
        ASSERT_TRUE(killed) << test.errors();
        ASSERT_TRUE(stopped(*killed, SIGKILL));
        EXPECT_EQ(test.tables(), "table inet kivdnsproxy\n");
        EXPECT_EQ(test.dig("127.0.0.2", "lost.example.com").find("192.0.2.1"), std::string::npos);
        EXPECT_NE(test.dig("127.0.0.2", "lost.example.com", "+tcp").find("connection refused"),
                  std::string::npos);
        if (clearIt) {
            auto& clear = test.startDaemon({"--clear-interception"});
            EXPECT_TRUE(clear.waitForLine("interception removed"));
            const auto status = clear.wait(10s);
            ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
            EXPECT_EQ(test.tables(), "");
            EXPECT_EQ(test.dig("127.0.0.2", "found.example.com"), "192.0.2.1\n");
            EXPECT_EQ(test.dig("127.0.0.2", "found.example.com", "+tcp"), "192.0.2.1\n");
            continue;
        }
        auto* next = test.startIntercepting();
        ASSERT_TRUE(next) << test.errors();
        EXPECT_EQ(test.tables(), "table inet kivdnsproxy\n");
        const auto ruleset = output("nft list table inet kivdnsproxy");
        std::size_t dnat = 0;
        for (auto at = ruleset.find("dnat"); at != std::string::npos; at = ruleset.find("dnat", at + 1))
            ++dnat;
        EXPECT_EQ(dnat, 2u) << ruleset;
        std::size_t refusals = 0;
        for (auto at = ruleset.find("reject with tcp reset"); at != std::string::npos;
             at = ruleset.find("reject with tcp reset", at + 1))
            ++refusals;
        EXPECT_EQ(refusals, 2u) << ruleset;
        EXPECT_EQ(test.dig("203.0.113.9", "again.example.com"), "192.0.2.1\n");
        ASSERT_TRUE(stopped(*next, SIGTERM));
        EXPECT_EQ(test.tables(), "");
    }
}

// Where the proxy must only listen: the option, and the preferences' key (which a
// change of restarts the proxy into the other way); and where it cannot intercept,
// it says so and serves who asks it.
TEST(InterceptionEndToEnd, ListeningOnlyByOptionOrPreferencesOrForWantOfPrivilege) {
    KIV_RUN_IN_OWN_NETWORK_NAMESPACE();
    ASSERT_TRUE(kiv_test_namespace::bringUpNetwork());
    Intercepting test;
    if (fs::exists("/usr/bin/setpriv")) {
        const std::vector<std::string> unprivileged = {"/usr/bin/setpriv", "--bounding-set=-net_admin", "--"};
        auto& denied = test.startDaemon({"--vendor-data", test.vendorPath()}, unprivileged);
        ASSERT_EQ(denied.waitForLine("proxy started"), "kivdnsproxy: proxy started");
        EXPECT_EQ(test.tables(), "");
        EXPECT_NE(test.errors().find("The computer's DNS is not intercepted ("), std::string::npos)
            << test.errors();
        EXPECT_EQ(test.dig("127.0.0.1", "asked.example.com"), "192.0.2.1\n");
        ASSERT_TRUE(stopped(denied, SIGTERM));
        auto& clear = test.startDaemon({"--clear-interception"}, unprivileged);
        const auto status = clear.wait(10s);
        EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
        EXPECT_NE(test.errors().find("cannot remove the interception table: "), std::string::npos);
    }
    auto& byOption = test.startDaemon({"--vendor-data", test.vendorPath(), "--no-intercept"});
    ASSERT_EQ(byOption.waitForLine("proxy started"), "kivdnsproxy: proxy started");
    EXPECT_EQ(test.tables(), "");
    EXPECT_EQ(test.dig("127.0.0.1", "asked.example.com"), "192.0.2.1\n");
    ASSERT_TRUE(stopped(byOption, SIGTERM));

    const auto path = (test.folder.path() / "preferences.json").string();
    platform::ne::DNSProxyPreferences preferences;
    preferences.enabled = true;
    preferences.providerConfiguration = Intercepting::vendorData();
    preferences.intercept = false;
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(path, preferences), "");
    auto& following = test.startDaemon({"--preferences", path});
    ASSERT_EQ(following.waitForLine("proxy started"), "kivdnsproxy: proxy started");
    EXPECT_EQ(test.tables(), "");
    preferences.intercept = true;
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(path, preferences), "");
    ASSERT_TRUE(following.waitForLine("proxy started, intercepting"));
    EXPECT_EQ(test.dig("203.0.113.9", "www.example.com"), "192.0.2.1\n");
    ASSERT_EQ(platform::ne::removeDNSProxyPreferences(path), "");
    ASSERT_TRUE(following.waitForLine("proxy stopped"));
    EXPECT_EQ(test.tables(), "");
    ASSERT_TRUE(stopped(following, SIGTERM));
}

// A reply that the kernel refuses to send (an nftables drop on the client's port)
// is reported to the flow that wrote it, on either io path, and the proxy says so.
TEST(InterceptionEndToEnd, AReplyThatCannotBeSentIsReported) {
    KIV_RUN_IN_OWN_NETWORK_NAMESPACE();
    ASSERT_TRUE(kiv_test_namespace::bringUpNetwork());
    Intercepting test;
    auto& daemon = test.startDaemon({"--vendor-data", test.vendorPath(), "--no-intercept"},
                                    {"/usr/bin/env", "KIV_LOG_LEVEL=debug"});
    ASSERT_TRUE(daemon.waitForLine("proxy started")) << test.errors();
    fakes::LoopbackSocket client;
    const auto port = std::to_string(client.port());
    ASSERT_TRUE(kiv_test_namespace::shell(
        "nft 'add table inet kivtest; add chain inet kivtest out { type filter hook output priority 0; }; "
        "add rule inet kivtest out udp dport " +
        port + " drop'"));
    client.sendTo("127.0.0.1", 53, testing_dnsproxy::query(0x5151, "dropped.example"));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (test.errors().find("Error writing data") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_NE(test.errors().find("Error writing data"), std::string::npos) << test.errors();
    EXPECT_FALSE(client.receive(0));
    ASSERT_TRUE(stopped(daemon, SIGTERM));
}

// A stub resolver that asks a server every 10 ms, each query from a socket of its
// own (a port of its own, as stub resolvers do), and keeps count of the answers.
class SteadyClient {
public:
    explicit SteadyClient(std::string server)
        : thread_([this, server = std::move(server)] { run(server); }) {}
    ~SteadyClient() { stop(std::chrono::milliseconds(0)); }
    SteadyClient(const SteadyClient&) = delete;
    SteadyClient& operator=(const SteadyClient&) = delete;

    std::size_t answered() const { return answered_.load(); }
    bool answeredAtLeast(std::size_t count, std::chrono::milliseconds timeout = 10s) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (answered() < count && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        return answered() >= count;
    }
    // Stops asking and waits up to `wait` for the answers still due; the names asked
    // and the names never answered.
    std::pair<std::vector<std::string>, std::vector<std::string>> stop(std::chrono::milliseconds wait) {
        wait_ = wait;
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        std::lock_guard lock(mutex_);
        return {asked_, unanswered_};
    }

private:
    struct Pending {
        std::unique_ptr<fakes::LoopbackSocket> socket;
        std::uint16_t id;
        std::string name;
    };

    void collect(std::vector<Pending>& pending) {
        std::erase_if(pending, [&](const Pending& p) {
            const auto reply = p.socket->receiveNow();
            if (!reply || reply->bytes.size() < 12 || reply->bytes[0] != (p.id >> 8) ||
                reply->bytes[1] != (p.id & 0xFF)) {
                return false;
            }
            ++answered_;
            return true;
        });
    }

    void run(const std::string& server) {
        std::vector<Pending> pending;
        auto next = std::chrono::steady_clock::now();
        for (std::uint16_t id = 1; !stopping_; ++id) {
            Pending query{std::make_unique<fakes::LoopbackSocket>("0.0.0.0"), id,
                          "q" + std::to_string(id) + ".steady.example"};
            query.socket->sendTo(server, 53, testing_dnsproxy::query(id, query.name));
            {
                std::lock_guard lock(mutex_);
                asked_.push_back(query.name);
            }
            pending.push_back(std::move(query));
            collect(pending);
            // The client's pace, not a wait for anything.
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
        const auto deadline = std::chrono::steady_clock::now() + wait_;
        while (!pending.empty() && std::chrono::steady_clock::now() < deadline) {
            collect(pending);
            std::this_thread::yield();
        }
        std::lock_guard lock(mutex_);
        for (const auto& p : pending) unanswered_.push_back(p.name);
    }

    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> answered_{0};
    std::chrono::milliseconds wait_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> asked_;       // mutex_
    std::vector<std::string> unanswered_;  // mutex_
    std::thread thread_;
};

// The application resets the proxy (disable, then enable) and saves each new
// configuration; the daemon rides through both with its table in place, so that a
// client asking all the while is answered every time through the proxy, and none
// of its queries slips past to the server it named. A disable that stays removes
// the table once the grace period has passed; a user quit (the preferences
// removed) at once, also right after a disable.
TEST(InterceptionEndToEnd, AReconfigurationLeavesNoQueryUnansweredOrUnfiltered) {
    KIV_RUN_IN_OWN_NETWORK_NAMESPACE();
    ASSERT_TRUE(kiv_test_namespace::bringUpNetwork());
    Intercepting test;
    test.startResolver("127.0.0.4", "outside.jsonl");  // the server the client names
    const auto path = (test.folder.path() / "preferences.json").string();
    platform::ne::DNSProxyPreferences preferences;
    preferences.enabled = true;
    preferences.providerConfiguration = Intercepting::vendorData();
    const auto save = [&](bool enabled, std::optional<json> configuration = std::nullopt) {
        preferences.enabled = enabled;
        if (configuration) preferences.providerConfiguration = *configuration;
        return platform::ne::saveDNSProxyPreferences(path, preferences);
    };
    ASSERT_EQ(save(true), "");
    auto& daemon = test.startDaemon({"--preferences", path});
    ASSERT_TRUE(daemon.waitForLine("proxy started, intercepting")) << test.errors();

    SteadyClient client("127.0.0.4");
    ASSERT_TRUE(client.answeredAtLeast(5)) << test.errors();
    // The reset: each step once the daemon has acted on the one before.
    ASSERT_EQ(save(false), "");
    ASSERT_TRUE(daemon.waitForLine("proxy stopped"));
    ASSERT_EQ(save(true), "");
    ASSERT_TRUE(daemon.waitForLine("proxy started, intercepting"));
    ASSERT_TRUE(client.answeredAtLeast(client.answered() + 5)) << test.errors();
    // A new forwarding rule: the provider restarts with it.
    auto withRule = Intercepting::vendorData();
    withRule["filters"].push_back({{"filter", {{{"domain", "new.example"}}}}});
    ASSERT_EQ(save(true, withRule), "");
    ASSERT_TRUE(daemon.waitForLine("proxy stopped"));
    ASSERT_TRUE(daemon.waitForLine("proxy started, intercepting"));
    ASSERT_TRUE(client.answeredAtLeast(client.answered() + 5)) << test.errors();
    // The application's whole reconfiguration: a reset that saves the next configuration.
    withRule["locationTag"] = "def";
    ASSERT_EQ(save(false), "");
    ASSERT_TRUE(daemon.waitForLine("proxy stopped"));
    ASSERT_EQ(save(true, withRule), "");
    ASSERT_TRUE(daemon.waitForLine("proxy started, intercepting"));
    ASSERT_TRUE(client.answeredAtLeast(client.answered() + 5)) << test.errors();

    const auto [asked, unanswered] = client.stop(3s);
    EXPECT_TRUE(unanswered.empty()) << unanswered.size() << " of " << asked.size()
                                    << " unanswered, the first " << unanswered.front();
    EXPECT_TRUE(test.records("outside.jsonl").empty()) << "queries slipped past the proxy";
    const auto proxied = test.records("rule.jsonl");
    std::size_t steady = 0;
    for (const auto& record : proxied) {
        if (!record["qname"].get<std::string>().ends_with(".steady.example.")) continue;
        ++steady;
        EXPECT_TRUE(test.tagged(record)) << record["qname"];
    }
    EXPECT_EQ(steady, asked.size());

    // A disable that stays: the table goes once the grace period has passed, not before.
    ASSERT_EQ(save(false), "");
    const auto disabled = std::chrono::steady_clock::now();
    ASSERT_TRUE(daemon.waitForLine("proxy stopped"));
    if (std::chrono::steady_clock::now() - disabled < 800ms) {
        EXPECT_EQ(test.tables(), "table inet kivdnsproxy\n") << "kept through the grace period";
    }
    const auto deadline = disabled + 5s;
    while (Intercepting::tablePresent() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    const auto kept = std::chrono::steady_clock::now() - disabled;
    EXPECT_EQ(test.tables(), "");
    EXPECT_GE(kept, 900ms);
    // The grace period is a second; the rest is the daemon's reaction to the file, with room for
    // a suite that runs sanitizer builds and compilers beside it.
    EXPECT_LE(kept, 1600ms);

    // A user quit, while the proxy runs and right after a disable: the table goes at once.
    for (const bool afterDisable : {false, true}) {
        ASSERT_EQ(save(true), "");
        ASSERT_TRUE(daemon.waitForLine("proxy started, intercepting"));
        if (afterDisable) {
            ASSERT_EQ(save(false), "");
            ASSERT_TRUE(daemon.waitForLine("proxy stopped"));
        }
        const auto quit = std::chrono::steady_clock::now();
        ASSERT_EQ(platform::ne::removeDNSProxyPreferences(path), "");
        if (!afterDisable) {
            ASSERT_TRUE(daemon.waitForLine("proxy stopped"));
            EXPECT_EQ(test.tables(), "") << "removed before the provider stops";
        }
        while (Intercepting::tablePresent() && std::chrono::steady_clock::now() < quit + 5s)
            std::this_thread::yield();
        EXPECT_LT(std::chrono::steady_clock::now() - quit, 800ms) << afterDisable;
    }
    ASSERT_TRUE(stopped(daemon, SIGTERM));
    EXPECT_EQ(test.tables(), "");
}

// Stub resolvers with queries in flight: `sockets` ports of their own, each asking
// several names, and the answers each is still owed.
class ManyClients {
public:
    explicit ManyClients(std::size_t sockets) {
        for (std::size_t i = 0; i < sockets; ++i)
            sockets_.push_back(std::make_unique<fakes::LoopbackSocket>("0.0.0.0"));
    }
    // Asks `count` names of `server`, spread over the sockets.
    void ask(const std::string& server, std::size_t count, const std::string& tag) {
        for (std::size_t i = 0; i < count; ++i) {
            const auto id = nextId_++;
            const auto at = i % sockets_.size();
            sockets_[at]->sendTo(server, 53,
                                 testing_dnsproxy::query(id, tag + std::to_string(id) + ".example"));
            owed_.insert({at, id});
        }
    }
    // Collects answers until none is owed or `timeout` passed; how many are still owed.
    std::size_t collect(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::vector<pollfd> polled;
        for (const auto& socket : sockets_) polled.push_back(pollfd{socket->fd(), POLLIN, 0});
        while (!owed_.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            if (::poll(polled.data(), polled.size(), static_cast<int>(left.count())) <= 0) continue;
            for (std::size_t at = 0; at < polled.size(); ++at) {
                if (!(polled[at].revents & POLLIN)) continue;
                while (const auto reply = sockets_[at]->receiveNow()) {
                    if (reply->bytes.size() < 12) continue;
                    owed_.erase({at, static_cast<std::uint16_t>((reply->bytes[0] << 8) | reply->bytes[1])});
                }
            }
        }
        return owed_.size();
    }
    std::size_t owed() const { return owed_.size(); }

private:
    std::vector<std::unique_ptr<fakes::LoopbackSocket>> sockets_;
    std::set<std::pair<std::size_t, std::uint16_t>> owed_;
    std::uint16_t nextId_ = 1;
};

// Sends queries as fast as it can, from ports of its own, until it is stopped or
// `length` has passed.
class Flood {
public:
    Flood(std::string server, std::chrono::milliseconds length)
        : thread_([this, server = std::move(server), length] {
              std::vector<std::unique_ptr<fakes::LoopbackSocket>> sockets;
              for (int i = 0; i < 64; ++i) sockets.push_back(std::make_unique<fakes::LoopbackSocket>());
              const auto end = std::chrono::steady_clock::now() + length;
              for (std::uint16_t id = 0; !stop_ && std::chrono::steady_clock::now() < end; ++id) {
                  sockets[id % sockets.size()]->sendTo(server, 53,
                                                       testing_dnsproxy::query(id, "flood.example"));
                  ++sent_;
              }
          }) {}
    ~Flood() {
        stop_ = true;
        thread_.join();
    }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;
    std::size_t sent() const { return sent_.load(); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> sent_{0};
    std::thread thread_;
};

// The daemon under a slow resolver, as a roaming computer meets it: a network
// change resets the proxy while a browser has hundreds of queries waiting.
struct LoadCase {
    const char* name;
    const char* threads;
    const char* delay;     // the resolvers' answer time, in seconds
    std::size_t admitted;  // queries in flight when the reset comes; 0 for the flood
    bool reenable;         // re-enabled at once; else only after the grace period has passed
    int runs;
};

class InterceptionUnderLoad : public ::testing::TestWithParam<LoadCase> {};

// A service manager's stop is answered within 2 s. The sanitizers' builds run every step
// several times slower, on both io paths alike, and check the heap at exit; a daemon that
// spins after SIGTERM still runs far past their limit.
#if defined(KIV_TSAN) || defined(KIV_SANITIZE)
constexpr auto kStopLimit = 5s;
#else
constexpr auto kStopLimit = 2s;
#endif

// How long the daemon takes to end after SIGTERM, or nothing when it has not within `limit`.
std::optional<std::chrono::milliseconds> stopTime(const Intercepting& test, Process& daemon,
                                                  std::chrono::milliseconds limit) {
    const auto start = std::chrono::steady_clock::now();
    daemon.signal(SIGTERM);
    const auto status = daemon.wait(limit);
    if (!status) return std::nullopt;
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << test.errors();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

TEST_P(InterceptionUnderLoad, EveryAdmittedQueryIsAnsweredAndSIGTERMEndsItInTime) {
    KIV_RUN_IN_OWN_NETWORK_NAMESPACE();
    ASSERT_TRUE(kiv_test_namespace::bringUpNetwork());
    const auto& c = GetParam();
    Intercepting test(c.delay, c.threads);
    for (int run = 0; run < c.runs; ++run) {
        if (c.admitted == 0) {
            // A flood the resolver cannot keep up with; the stop comes in the middle of it.
            auto& daemon = test.startDaemon({"--vendor-data", test.vendorPath()});
            ASSERT_TRUE(daemon.waitForLine("proxy started, intercepting")) << test.errors();
            {
                const Flood flood("127.0.0.1", 3s);
                std::this_thread::sleep_for(1s);  // the flood's length before the stop, not a wait
                const auto took = stopTime(test, daemon, kStopLimit);
                EXPECT_TRUE(took) << "still running after SIGTERM, run " << run << ", " << flood.sent()
                                  << " queries sent" << test.errors();
                if (!took) daemon.signal(SIGKILL);
            }
            EXPECT_FALSE(Intercepting::tablePresent()) << "run " << run;
            if (Intercepting::tablePresent()) (void)platform::ne::clearInterception();
            continue;
        }
        const auto path = (test.folder.path() / "preferences.json").string();
        platform::ne::DNSProxyPreferences preferences;
        preferences.enabled = true;
        preferences.providerConfiguration = Intercepting::vendorData();
        ASSERT_EQ(platform::ne::saveDNSProxyPreferences(path, preferences), "");
        auto& daemon = test.startDaemon({"--preferences", path});
        ASSERT_TRUE(daemon.waitForLine("proxy started, intercepting")) << test.errors();

        // Admitted: every query has reached the resolver before the reset.
        // Admitted: every query has reached the resolver before the reset. Asked a
        // hundred at a time, as fast as the resolver takes them in.
        ManyClients admitted(100);
        const auto forwarded = [&](std::size_t count) {
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (test.recordCount("rule.jsonl") < count && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            return test.recordCount("rule.jsonl") >= count;
        };
        for (std::size_t asked = 0; asked < c.admitted; asked += 100) {
            admitted.ask("203.0.113.9", std::min<std::size_t>(100, c.admitted - asked), "a");
            ASSERT_TRUE(forwarded(asked + std::min<std::size_t>(100, c.admitted - asked)))
                << test.recordCount("rule.jsonl") << test.errors();
        }
        preferences.enabled = false;
        ASSERT_EQ(platform::ne::saveDNSProxyPreferences(path, preferences), "");
        ASSERT_TRUE(daemon.waitForLine("proxy stopped"));
        // Clients go on asking while the proxy is held: their datagrams wait unread.
        ManyClients held(40);
        held.ask("203.0.113.9", 400, "h");
        // Each admitted query is answered within a second of the resolver's answer.
        EXPECT_EQ(
            admitted.collect(std::chrono::milliseconds(static_cast<int>(std::stod(c.delay) * 1000) + 1000)),
            0u)
            << "of " << c.admitted << test.errors();
        if (!c.reenable) {
            // The grace period passes without a start: the table goes.
            const auto gone = std::chrono::steady_clock::now() + 5s;
            while (Intercepting::tablePresent() && std::chrono::steady_clock::now() < gone)
                std::this_thread::yield();
            EXPECT_FALSE(Intercepting::tablePresent());
        }
        preferences.enabled = true;
        ASSERT_EQ(platform::ne::saveDNSProxyPreferences(path, preferences), "");
        ASSERT_TRUE(daemon.waitForLine("proxy started, intercepting")) << test.errors();
        ManyClients probes(20);
        probes.ask("203.0.113.9", 20, "p");
        EXPECT_EQ(
            probes.collect(std::chrono::milliseconds(static_cast<int>(std::stod(c.delay) * 1000) + 3000)), 0u)
            << "of 20 probes" << test.errors();
        if (c.reenable) {
            EXPECT_EQ(held.collect(3s), 0u) << "of the 400 held";
        }
        const auto took = stopTime(test, daemon, kStopLimit);
        EXPECT_TRUE(took) << "still running after SIGTERM" << test.errors();
        if (!took) daemon.signal(SIGKILL);
        EXPECT_FALSE(Intercepting::tablePresent());
    }
    const auto errors = test.errors();
    for (const char* fault : {"AddressSanitizer", "ThreadSanitizer", "runtime error"})
        EXPECT_EQ(errors.find(fault), std::string::npos) << errors;
}

INSTANTIATE_TEST_SUITE_P(Rows, InterceptionUnderLoad,
                         ::testing::Values(LoadCase{"FloodThenSIGTERM", "2", "0.3", 0, true, 10},
                                           LoadCase{"Grace300", "2", "0.6", 300, true, 1},
                                           LoadCase{"Grace1000", "2", "0.6", 1000, true, 1},
                                           // One thread, one ring, the listener parked all through the grace
                                           // period: more replies than the ring has buffers still come back.
                                           LoadCase{"ParkedListenerOneThread", "1", "0.6", 300, false, 1}),
                         [](const ::testing::TestParamInfo<LoadCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
