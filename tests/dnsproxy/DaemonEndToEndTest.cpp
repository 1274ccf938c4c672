// kivdnsproxy over loopback: the daemon from the build, a stand-in resolver
// (tools/kiv-test-resolver) that records what reaches it, and dig as the client.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <tuple>
#include <utility>

#include "Process.hpp"
#include "QueryFixtures.hpp"
#include "dnsproxy/ClientIdentificationOption.hpp"
#include "fakes/ne/LoopbackSocket.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"

namespace {

using nlohmann::json;
using testing_dnsproxy::Process;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kEndToEndUUID = "00112233-4455-6677-8899-AABBCCDDEEFF";

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kiv-e2e-XXXXXX").string();
        folder = ::mkdtemp(pattern.data());
        fs::create_directory(folder / "run");
    }
    void TearDown() override {
        processes.clear();
        if (!HasFailure()) fs::remove_all(folder);
    }

    // A resolver on `address`; its port (0 picks one).
    std::uint16_t startResolver(const std::string& address, std::uint16_t port, const std::string& record,
                                std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"/usr/bin/python3", KIV_SOURCE_DIR "/tools/kiv-test-resolver",
                                         "--address",        address,
                                         "--port",           std::to_string(port),
                                         "--record",         (folder / record).string(),
                                         "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto& process = *processes.emplace_back(
            std::make_unique<Process>(args, std::vector<std::string>{}, (folder / "resolver.err").string()));
        const auto line = process.waitForLine("listening on");
        if (!line) return 0;
        return static_cast<std::uint16_t>(std::stoi(line->substr(line->rfind(' ') + 1)));
    }

    Process& startDaemon(std::vector<std::string> args) {
        args.insert(args.begin(), {KIV_BINARY_DIR "/dnsproxy/kivdnsproxy", "--no-intercept"});
        return *processes.emplace_back(std::make_unique<Process>(
            args,
            std::vector<std::string>{"KIV_RUN_DIR=" + (folder / "run").string(), "KIV_LOG_LEVEL=default"},
            (folder / "daemon.err").string()));
    }
    std::uint16_t listeningPort(Process& daemon) {
        const auto line = daemon.waitForLine("listening on 127.0.0.1 port");
        if (!line) return 0;
        return static_cast<std::uint16_t>(std::stoi(line->substr(line->rfind(' ') + 1)));
    }
    // The daemon in front of `resolver`, a socket the test answers by hand; the daemon's port, 0 when
    // it did not start.
    std::uint16_t startInFrontOf(const fakes::LoopbackSocket& resolver) {
        auto& daemon =
            startDaemon({"--vendor-data", writeVendorData(vendorData("127.0.0.1")), "--listen", "127.0.0.1",
                         "--port", "0", "--upstream-port", std::to_string(resolver.port())});
        const auto port = listeningPort(daemon);
        return daemon.waitForLine("proxy started") ? port : 0;
    }
    std::string writeVendorData(const json& vendorData) {
        const auto path = (folder / "vendor.json").string();
        std::ofstream(path) << vendorData.dump();
        return path;
    }

    static std::string dig(std::uint16_t port, const std::string& name) {
        const std::string command =
            "dig +short +time=2 +tries=1 -p " + std::to_string(port) + " @127.0.0.1 " + name + " A 2>&1";
        std::string output;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[512];
            while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
            ::pclose(pipe);
        }
        return output;
    }

    std::vector<json> records(const std::string& name, std::size_t atLeast,
                              std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::vector<json> result;
        do {
            result.clear();
            std::ifstream in(folder / name);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            // Whole lines only: the resolver may be writing the last one.
            std::size_t start = 0;
            for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
                if (end > start) result.push_back(json::parse(text.substr(start, end - start)));
                start = end + 1;
            }
            if (result.size() >= atLeast) break;
            std::this_thread::yield();
        } while (std::chrono::steady_clock::now() < deadline);
        return result;
    }

    static std::size_t openDescriptors(pid_t pid) {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry :
             fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
            ++count;
        }
        return count;
    }

    static json vendorData(const std::string& resolver, json filters = json::array()) {
        return json{{"uuid", kEndToEndUUID},    {"locationTag", "abc"},         {"resolvers", {resolver}},
                    {"internalIp", "10.1.2.3"}, {"externalIp", "198.51.100.7"}, {"localDNS", json::array()},
                    {"filters", filters}};
    }

    fs::path folder;
    std::vector<std::unique_ptr<Process>> processes;
};

TEST_F(EndToEnd, DigThroughTheDaemonGetsTheAnswerAndTheResolverTheOption) {
    const auto resolverPort = startResolver("127.0.0.1", 0, "seen.jsonl");
    ASSERT_NE(resolverPort, 0);
    auto& daemon = startDaemon({"--vendor-data", writeVendorData(vendorData("127.0.0.1")), "--listen",
                                "127.0.0.1", "--port", "0", "--upstream-port", std::to_string(resolverPort)});
    const auto port = listeningPort(daemon);
    ASSERT_NE(port, 0);
    ASSERT_TRUE(daemon.waitForLine("proxy started"));
    EXPECT_EQ(dig(port, "example.com"), "192.0.2.1\n");

    const auto seen = records("seen.jsonl", 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0]["qname"], "example.com.");
    EXPECT_EQ(seen[0]["payload"], 4096);
    ASSERT_EQ(seen[0]["options"].size(), 1u);  // dig's own cookie option is gone
    const auto& option = seen[0]["options"][0];
    EXPECT_EQ(option["code"], 65144);
    const auto expected = dnsproxy::buildClientIdentification(kEndToEndUUID, "10.1.2.3", "abc");
    const std::vector<std::uint8_t> data(expected.bytes.begin() + 4, expected.bytes.end());
    std::string hex;
    for (auto b : data) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", b);
        hex += pair;
    }
    EXPECT_EQ(option["data"], hex);
    EXPECT_EQ(option["uuid"], "00112233-4455-6677-8899-aabbccddeeff");
    EXPECT_EQ(option["ip"], "10.1.2.3");
    EXPECT_EQ(option["location"], "abc");

    daemon.signal(SIGTERM);
    const auto status = daemon.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

TEST_F(EndToEnd, RuleMatchedAndUndecodableQueriesArriveUnchanged) {
    const auto port0 = startResolver("127.0.0.1", 0, "default.jsonl");
    ASSERT_NE(port0, 0);
    ASSERT_EQ(startResolver("127.0.0.2", port0, "ruled.jsonl"), port0);
    const json filters = {{{"filter", {{{"resolvers", {"127.0.0.1"}}}}}},
                          {{"filter", {{{"domain", "ruled.example"}}, {{"resolvers", {"127.0.0.2"}}}}}}};
    auto& daemon = startDaemon({"--vendor-data", writeVendorData(vendorData("127.0.0.1", filters)),
                                "--listen", "127.0.0.1", "--port", "0", "--upstream-port",
                                std::to_string(port0), "--reply-timeout", "0.5"});
    const auto port = listeningPort(daemon);
    ASSERT_TRUE(daemon.waitForLine("proxy started"));

    fakes::LoopbackSocket client;
    const auto ruled = testing_dnsproxy::query(0x4242, "www.ruled.example", /*ownOPT=*/true);
    client.sendTo("127.0.0.1", port, ruled);
    const auto answer = client.receive(3000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->fromPort, port);
    const auto seen = records("ruled.jsonl", 1);
    ASSERT_EQ(seen.size(), 1u);
    std::string hex;
    for (auto b : ruled) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", b);
        hex += pair;
    }
    EXPECT_EQ(seen[0]["raw"], hex);

    const std::vector<std::uint8_t> garbage = {0xDE, 0xAD, 0xBE, 0xEF, 0x00};
    client.sendTo("127.0.0.1", port, garbage);
    const auto undecodable = records("default.jsonl", 1);
    ASSERT_EQ(undecodable.size(), 1u);
    EXPECT_EQ(undecodable[0]["raw"], "deadbeef00");
    EXPECT_EQ(undecodable[0]["decoded"], false);
}

TEST_F(EndToEnd, LostAnswersEndAtTheDeadlineAndFreeTheirSockets) {
    const auto resolverPort = startResolver("127.0.0.1", 0, "lost.jsonl", {"--silent"});
    auto& daemon = startDaemon({"--vendor-data", writeVendorData(vendorData("127.0.0.1")), "--listen",
                                "127.0.0.1", "--port", "0", "--upstream-port", std::to_string(resolverPort),
                                "--reply-timeout", "0.3", "--threads", "2"});
    const auto port = listeningPort(daemon);
    ASSERT_TRUE(daemon.waitForLine("proxy started"));
    const auto baseline = openDescriptors(daemon.pid());

    constexpr int kQueries = 20;
    std::vector<std::unique_ptr<fakes::LoopbackSocket>> clients;
    for (int i = 0; i < kQueries; ++i) {
        clients.push_back(std::make_unique<fakes::LoopbackSocket>());
        clients.back()->sendTo("127.0.0.1", port,
                               testing_dnsproxy::query(static_cast<std::uint16_t>(i), "lost.test"));
    }
    ASSERT_EQ(records("lost.jsonl", kQueries).size(), static_cast<std::size_t>(kQueries));
    // Every upstream socket is closed once its deadline passed.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (openDescriptors(daemon.pid()) > baseline && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(openDescriptors(daemon.pid()), baseline);
    for (const auto& client : clients) EXPECT_FALSE(client->receiveNow());  // no answer was made up
}

TEST_F(EndToEnd, StopsOnSignalsAndStartsAgainOnTheSamePort) {
    const auto resolverPort = startResolver("127.0.0.1", 0, "restart.jsonl");
    const auto vendor = writeVendorData(vendorData("127.0.0.1"));
    auto& first = startDaemon({"--vendor-data", vendor, "--listen", "127.0.0.1", "--port", "0",
                               "--upstream-port", std::to_string(resolverPort)});
    const auto port = listeningPort(first);
    ASSERT_TRUE(first.waitForLine("proxy started"));
    EXPECT_EQ(dig(port, "one.test"), "192.0.2.1\n");
    first.signal(SIGINT);
    ASSERT_TRUE(first.waitForLine("stopped"));
    const auto status = first.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);

    auto& second = startDaemon({"--vendor-data", vendor, "--listen", "127.0.0.1", "--port",
                                std::to_string(port), "--upstream-port", std::to_string(resolverPort)});
    EXPECT_EQ(listeningPort(second), port);
    ASSERT_TRUE(second.waitForLine("proxy started"));
    EXPECT_EQ(dig(port, "two.test"), "192.0.2.1\n");
    second.signal(SIGTERM);
    EXPECT_TRUE(second.wait(10s));
}

TEST_F(EndToEnd, FollowsTheProxyPreferences) {
    const auto resolverPort = startResolver("127.0.0.1", 0, "prefs.jsonl");
    const auto preferences = (folder / "preferences.json").string();
    auto& daemon = startDaemon({"--preferences", preferences, "--listen", "127.0.0.1", "--port", "0",
                                "--upstream-port", std::to_string(resolverPort)});
    const auto port = listeningPort(daemon);
    ASSERT_TRUE(daemon.waitForLine("following"));

    platform::ne::DNSProxyPreferences saved;
    saved.enabled = true;
    saved.providerConfiguration = vendorData("127.0.0.1");
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(preferences, saved), "");
    ASSERT_TRUE(daemon.waitForLine("proxy started"));
    EXPECT_EQ(dig(port, "on.test"), "192.0.2.1\n");

    saved.enabled = false;
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(preferences, saved), "");
    ASSERT_TRUE(daemon.waitForLine("proxy stopped"));

    saved.enabled = true;
    ASSERT_EQ(platform::ne::saveDNSProxyPreferences(preferences, saved), "");
    ASSERT_TRUE(daemon.waitForLine("proxy started"));
    ASSERT_EQ(platform::ne::removeDNSProxyPreferences(preferences), "");
    ASSERT_TRUE(daemon.waitForLine("proxy stopped"));
    // A stopped proxy takes no flows: the query is dropped.
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", port, testing_dnsproxy::query(1, "off.test"));
    EXPECT_FALSE(client.receive(300));
}

TEST_F(EndToEnd, RefusesBadCommandLinesAndBadConfigurations) {
    auto& unknown = startDaemon({"--frobnicate"});
    auto status = unknown.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 2);

    std::ofstream(folder / "broken.json") << "{\"uuid\": ";
    auto& broken = startDaemon({"--vendor-data", (folder / "broken.json").string(), "--port", "0"});
    status = broken.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 1);

    // Nested too deep to be handled safely: refused, not a crash.
    std::ofstream(folder / "deep.json")
        << "{\"x\": " << std::string(200000, '[') << std::string(200000, ']') << "}";
    auto& deep = startDaemon({"--vendor-data", (folder / "deep.json").string(), "--port", "0"});
    status = deep.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;

    auto& noName = startDaemon(
        {"--listen", "localhost", "--port", "0", "--vendor-data", writeVendorData(vendorData("127.0.0.1"))});
    status = noName.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 1);
}

// A reply to the query as the resolver got it: its header and question (kName's), QR set.
const std::string kName = "www.example.test";
constexpr std::size_t kQuestionEnd = 12 + 18 + 4;
std::vector<std::uint8_t> answerTo(const std::vector<std::uint8_t>& upstreamQuery) {
    std::vector<std::uint8_t> reply(upstreamQuery.begin(), upstreamQuery.begin() + kQuestionEnd);
    reply[2] |= 0x80;
    reply[11] = 0;  // ARCOUNT
    return reply;
}

TEST_F(EndToEnd, EachQueryOfABurstGoesToTheResolverOfItsOwnRule) {
    const auto port0 = startResolver("127.0.0.1", 0, "default.jsonl");
    ASSERT_EQ(startResolver("127.0.0.2", port0, "ruled.jsonl"), port0);
    const json filters = {{{"filter", {{{"resolvers", {"127.0.0.1"}}}}}},
                          {{"filter", {{{"domain", "intranet.example"}}, {{"resolvers", {"127.0.0.2"}}}}}}};
    auto& daemon =
        startDaemon({"--vendor-data", writeVendorData(vendorData("127.0.0.1", filters)), "--listen",
                     "127.0.0.1", "--port", "0", "--upstream-port", std::to_string(port0)});
    const auto port = listeningPort(daemon);
    ASSERT_TRUE(daemon.waitForLine("proxy started"));
    fakes::LoopbackSocket client;
    constexpr std::size_t kPairs = 13;  // back to back on one socket: read in batches
    for (std::size_t i = 0; i < 2 * kPairs; ++i) {
        const auto name = "n" + std::to_string(i) + (i % 2 ? ".other.test" : ".intranet.example");
        client.sendTo("127.0.0.1", port, testing_dnsproxy::query(static_cast<std::uint16_t>(i), name));
    }
    for (std::size_t i = 0; i < 2 * kPairs; ++i) ASSERT_TRUE(client.receive(3000)) << i;
    for (const auto& [file, suffix, tagged] : {std::tuple{"ruled.jsonl", ".intranet.example.", false},
                                               std::tuple{"default.jsonl", ".other.test.", true}}) {
        const auto seen = records(file, kPairs);
        ASSERT_EQ(seen.size(), kPairs) << file;
        for (const auto& query : seen) {
            EXPECT_TRUE(query["qname"].get<std::string>().ends_with(suffix)) << file << query["qname"];
            EXPECT_EQ(query["options"].size(), tagged ? 1u : 0u) << file << query["qname"];
        }
    }
}

TEST_F(EndToEnd, OnlyAReplyMatchingAnOutstandingQueryReachesTheClient) {
    fakes::LoopbackSocket resolver;
    const auto port = startInFrontOf(resolver);
    ASSERT_NE(port, 0);
    const std::pair<const char*, std::function<void(std::vector<std::uint8_t>&)>> forgeries[] = {
        {"another id", [](auto& r) { r[1] ^= 1; }},
        {"not a response", [](auto& r) { r[2] &= 0x7F; }},
        {"another name", [](auto& r) { r[13] = 'v'; }},
        {"another type", [](auto& r) { r[kQuestionEnd - 3] = 28; }},
        {"no question", [](auto& r) { r.resize(12), r[5] = 0; }},
        {"cut in the question", [](auto& r) { r.resize(20); }},
        {"a compressed name",
         [](auto& r) {
             r.resize(12), r.insert(r.end(), {0xC0, 12, 0, 1, 0, 1});
         }},
        {"the name in another case: accepted", [](auto& r) { r[13] = 'W', r[17] = 'E'; }},
    };
    fakes::LoopbackSocket client;
    for (const auto& [what, forge] : forgeries) {
        client.sendTo("127.0.0.1", port, testing_dnsproxy::query(0x100, kName));
        const auto upstream = resolver.receive(3000);
        ASSERT_TRUE(upstream) << what;
        const auto genuine = answerTo(upstream->bytes);
        auto forged = genuine;
        forge(forged);
        resolver.sendTo("127.0.0.1", upstream->fromPort, forged);
        resolver.sendTo("127.0.0.1", upstream->fromPort, genuine);
        const auto answer = client.receive(3000);
        ASSERT_TRUE(answer) << what;
        EXPECT_EQ(answer->bytes, std::string(what).ends_with("accepted") ? forged : genuine) << what;
    }
    EXPECT_FALSE(client.receive(100));
    // Counted, and told once: the later drops fall within the log interval.
    std::ifstream log(folder / "daemon.err");
    std::vector<std::string> told;
    for (std::string line; std::getline(log, line);) {
        if (line.find("answers no outstanding query") != std::string::npos) told.push_back(line);
    }
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("(1 dropped so far)"), std::string::npos) << told[0];
}

TEST_F(EndToEnd, AReplyLargerThanTheClientTakesIsCutToItsQuestionWithTC) {
    fakes::LoopbackSocket resolver;
    const auto port = startInFrontOf(resolver);
    ASSERT_NE(port, 0);
    struct Case {
        std::uint16_t clientPayload;  // 0: no OPT record in the client's query
        std::size_t replySize;
        bool cut;
    };
    const Case cases[] = {{0, 512, false},   {0, 513, true},   {1232, 1232, false}, {1232, 1233, true},
                          {100, 512, false}, {100, 513, true}, {4096, 4000, false}};
    fakes::LoopbackSocket client;
    for (const auto& c : cases) {
        const auto what = std::to_string(c.clientPayload) + "/" + std::to_string(c.replySize);
        auto sent = testing_dnsproxy::query(0x200, kName, c.clientPayload != 0);
        if (c.clientPayload) {  // the OPT record's payload size
            sent[kQuestionEnd + 3] = static_cast<std::uint8_t>(c.clientPayload >> 8);
            sent[kQuestionEnd + 4] = static_cast<std::uint8_t>(c.clientPayload);
        }
        client.sendTo("127.0.0.1", port, sent);
        const auto upstream = resolver.receive(3000);
        ASSERT_TRUE(upstream) << what;
        auto reply = answerTo(upstream->bytes);
        reply[7] = 1;  // ANCOUNT: one NULL record fills the reply to its size
        const std::size_t data = c.replySize - reply.size() - 12;
        reply.insert(reply.end(), {0xC0, 12, 0, 10, 0, 1, 0, 0, 0, 60, static_cast<std::uint8_t>(data >> 8),
                                   static_cast<std::uint8_t>(data)});
        reply.resize(c.replySize, 0xAB);
        resolver.sendTo("127.0.0.1", upstream->fromPort, reply);
        const auto answer = client.receive(3000);
        ASSERT_TRUE(answer) << what;
        auto cut = answerTo(upstream->bytes);
        cut[2] |= 0x02;         // TC
        if (c.clientPayload) {  // the client showed EDNS: so does the cut reply, in an OPT record of 1232
            cut[11] = 1;
            cut.insert(cut.end(), {0, 0, 41, 0x04, 0xD0, 0, 0, 0, 0, 0, 0});
        }
        EXPECT_EQ(answer->bytes, c.cut ? cut : reply) << what;
    }
}

TEST_F(EndToEnd, AQueryTheOptionWouldMakeTooLongForADatagramGoesOutUnchanged) {
    const auto resolverPort = startResolver("127.0.0.1", 0, "big.jsonl");
    auto& daemon = startDaemon({"--vendor-data", writeVendorData(vendorData("127.0.0.1")), "--listen",
                                "127.0.0.1", "--port", "0", "--upstream-port", std::to_string(resolverPort)});
    const auto port = listeningPort(daemon);
    ASSERT_TRUE(daemon.waitForLine("proxy started"));
    // The OPT record with the option is 11 + 104 bytes; a UDP datagram over IPv4
    // carries at most 65507.
    fakes::LoopbackSocket client;
    for (const auto& [size, tagged] : {std::pair{65507u - 115, true}, std::pair{65507u - 114, false}}) {
        auto sent = testing_dnsproxy::query(static_cast<std::uint16_t>(size), "big.test");
        sent[7] = 1;  // ANCOUNT: one NULL record with a root name makes the size
        const std::size_t data = size - sent.size() - 11;
        sent.insert(sent.end(), {0, 0, 10, 0, 1, 0, 0, 0, 0, static_cast<std::uint8_t>(data >> 8),
                                 static_cast<std::uint8_t>(data)});
        sent.resize(size, 0xCD);
        client.sendTo("127.0.0.1", port, sent);
        ASSERT_TRUE(client.receive(3000)) << size;
        const auto seen = records("big.jsonl", tagged ? 1 : 2);
        ASSERT_EQ(seen.size(), tagged ? 1u : 2u) << size;
        EXPECT_EQ(seen.back()["size"], tagged ? 65507 : size) << size;
        EXPECT_EQ(seen.back()["options"].size(), tagged ? 1u : 0u) << size;
    }
}

// What a resolver may send back, and whether the client gets it. A reply without
// a question counts when it is an error for a waiting query's id; a query that
// does not parse is answered by its id; a reply cut for a client that showed EDNS
// shows it too. A reply that does not count is dropped, and the genuine answer
// sent after it reaches the client instead.
using Bytes = std::vector<std::uint8_t>;

// A header alone, for the query the resolver got: its id, QR, `rcode`.
Bytes headerOnly(const Bytes& upstreamQuery, std::uint8_t rcode) {
    Bytes reply(upstreamQuery.begin(), upstreamQuery.begin() + 12);
    reply[2] |= 0x80;
    reply[3] = static_cast<std::uint8_t>((reply[3] & 0xF0) | rcode);
    std::fill(reply.begin() + 4, reply.end(), 0);
    return reply;
}
// A reply of `size` bytes (one NULL answer fills it), with a last OPT record when `opt` is given.
Bytes longAnswer(const Bytes& upstreamQuery, std::size_t size, const Bytes& opt = {}) {
    auto reply = answerTo(upstreamQuery);
    reply[7] = 1;
    const std::size_t data = size - reply.size() - 12 - opt.size();
    reply.insert(reply.end(), {0xC0, 12, 0, 10, 0, 1, 0, 0, 0, 60, static_cast<std::uint8_t>(data >> 8),
                               static_cast<std::uint8_t>(data)});
    reply.resize(size - opt.size(), 0xAB);
    if (!opt.empty()) {
        reply[11] = 1;
        reply.insert(reply.end(), opt.begin(), opt.end());
    }
    return reply;
}
Bytes cutWith(const Bytes& upstreamQuery, const Bytes& opt) {
    auto cut = answerTo(upstreamQuery);
    cut[2] |= 0x02;
    cut[11] = opt.empty() ? 0 : 1;
    cut.insert(cut.end(), opt.begin(), opt.end());
    return cut;
}
// The resolver's OPT record: payload 4096, extended rcode 1 (with NOERROR: BADVERS),
// version 0, DO, and a padding option.
const Bytes kResolverOPT = {0, 0, 41, 0x10, 0x00, 1, 0, 0x80, 0, 0, 6, 0, 12, 0, 2, 0, 0};
const Bytes kResolverOPTWithoutOptions = {0, 0, 41, 0x10, 0x00, 1, 0, 0x80, 0, 0, 0};
const Bytes kMadeOPT = {0, 0, 41, 0x04, 0xD0, 0, 0, 0, 0, 0, 0};

// Not DNS: five bytes, of which the first two serve as an id.
const Bytes kUndecodable = {0x51, 0x52, 0x01, 0x00, 0x00};
// A header and a question whose name points at itself.
const Bytes kLoopingName = {0x61, 0x62, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 12, 0, 1, 0, 1};

struct ReplyCase {
    const char* name;
    Bytes sent;  // by the client
    std::function<Bytes(const Bytes& upstreamQuery)> reply;
    // What the client gets: nothing means the reply is dropped and the genuine one follows.
    std::function<std::optional<Bytes>(const Bytes& upstreamQuery, const Bytes& reply)> gets;
};

std::optional<Bytes> reachesTheClient(const Bytes&, const Bytes& reply) { return reply; }
std::optional<Bytes> droppedAsAStray(const Bytes&, const Bytes&) { return std::nullopt; }
std::function<Bytes(const Bytes&)> errorAlone(std::uint8_t rcode) {
    return [rcode](const Bytes& upstream) { return headerOnly(upstream, rcode); };
}

class ReplyCases : public EndToEnd, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyCases, ReachTheClientOrNot) {
    fakes::LoopbackSocket resolver;
    const auto port = startInFrontOf(resolver);
    ASSERT_NE(port, 0);
    const auto& c = GetParam();
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", port, c.sent);
    const auto upstream = resolver.receive(3000);
    ASSERT_TRUE(upstream);
    const auto reply = c.reply(upstream->bytes);
    resolver.sendTo("127.0.0.1", upstream->fromPort, reply);
    auto expected = c.gets(upstream->bytes, reply);
    if (!expected) {
        // The genuine answer: for a query that does not parse, the reply with its id.
        if (c.sent == kUndecodable || c.sent == kLoopingName) {
            expected = Bytes{upstream->bytes[0], upstream->bytes[1], 0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0};
        } else {
            expected = answerTo(upstream->bytes);
        }
        resolver.sendTo("127.0.0.1", upstream->fromPort, *expected);
    }
    const auto answer = client.receive(3000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes, *expected);
    EXPECT_FALSE(client.receive(50));
}

const Bytes kPlain = testing_dnsproxy::query(0x300, kName);
const Bytes kWithOPT = testing_dnsproxy::query(0x301, kName, /*ownOPT=*/true);

INSTANTIATE_TEST_SUITE_P(
    Daemon, ReplyCases,
    ::testing::Values(
        ReplyCase{"FormErrWithoutQuestion", kPlain, errorAlone(1), reachesTheClient},
        ReplyCase{"ServFailWithoutQuestion", kPlain, errorAlone(2), reachesTheClient},
        ReplyCase{"NotImpWithoutQuestion", kWithOPT, errorAlone(4), reachesTheClient},
        ReplyCase{"RefusedWithoutQuestion", kPlain, errorAlone(5), reachesTheClient},
        ReplyCase{"NoErrorWithoutQuestionIsAStray", kPlain, errorAlone(0), droppedAsAStray},
        ReplyCase{"NXDomainWithoutQuestionIsAStray", kPlain, errorAlone(3), droppedAsAStray},
        ReplyCase{"FormErrWithAnotherIdIsAStray", kPlain,
                  [](const Bytes& upstream) {
                      auto reply = headerOnly(upstream, 1);
                      reply[1] ^= 1;
                      return reply;
                  },
                  droppedAsAStray},
        ReplyCase{"FormErrThatIsNoResponseIsAStray", kPlain,
                  [](const Bytes& upstream) {
                      auto reply = headerOnly(upstream, 1);
                      reply[2] &= 0x7F;
                      return reply;
                  },
                  droppedAsAStray},
        ReplyCase{"UndecodableQueryAnsweredByItsId", kUndecodable,
                  [](const Bytes&) { return Bytes{0x51, 0x52, 0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}; },
                  reachesTheClient},
        ReplyCase{"UndecodableQueryAnsweredWithAQuestion", kLoopingName,
                  [](const Bytes&) {
                      auto reply = testing_dnsproxy::reply(testing_dnsproxy::query(0x6162, "other.test"));
                      reply[3] = 0x02;
                      return reply;
                  },
                  reachesTheClient},
        ReplyCase{"UndecodableQueryAndAnotherIdIsAStray", kUndecodable,
                  [](const Bytes&) { return Bytes{0x51, 0x53, 0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}; },
                  droppedAsAStray},
        ReplyCase{"CutForAClientWithEDNSCarriesTheResolversOPT", kWithOPT,
                  [](const Bytes& upstream) { return longAnswer(upstream, 1300, kResolverOPT); },
                  [](const Bytes& upstream, const Bytes&) -> std::optional<Bytes> {
                      return cutWith(upstream, kResolverOPTWithoutOptions);
                  }},
        ReplyCase{"CutForAClientWithEDNSCarriesAnOPT", kWithOPT,
                  [](const Bytes& upstream) { return longAnswer(upstream, 1300); },
                  [](const Bytes& upstream, const Bytes&) -> std::optional<Bytes> {
                      return cutWith(upstream, kMadeOPT);
                  }},
        ReplyCase{"CutForAClientWithoutEDNSCarriesNone", kPlain,
                  [](const Bytes& upstream) { return longAnswer(upstream, 600, kResolverOPT); },
                  [](const Bytes& upstream, const Bytes&) -> std::optional<Bytes> {
                      return cutWith(upstream, {});
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
