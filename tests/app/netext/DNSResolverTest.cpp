// The external-address query against a scripted resolver on loopback (hostile answers
// included), the system servers read from temporary resolv.conf files, the call-rate limiter on
// a manual clock, the address-echo service on loopback, and the splitting of typed resolver
// lists.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "app/netext/DNSResolver.hpp"
#include "fakes/LoopbackHTTPServer.hpp"
#include "fakes/TestFolders.hpp"
#include "platform/Dispatch.hpp"
#include "tests/app/netext/MonitorTestSupport.hpp"

namespace kiv {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Replies = std::vector<Bytes>;
using testing_support::LoopbackDNSServer;

void put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

// The question of every answer below: "-.-" A IN, as the query carried it.
void putQuestion(Bytes& b) {
    b.insert(b.end(), {1, '-', 1, '-', 0});  // name "-.-"
    put16(b, 1);                             // type A
    put16(b, 1);                             // class IN
}

// One answer record whose owner is the question's name (pointer to offset 12).
void putRecord(Bytes& b, unsigned type, unsigned cls, const Bytes& data) {
    b.insert(b.end(), {0xC0, 0x0C});  // name: pointer to the question
    put16(b, type);
    put16(b, cls);
    b.insert(b.end(), {0, 0, 0, 60});  // ttl
    put16(b, static_cast<unsigned>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
}

// A reply header echoing the query's id: QR, RD, RA set; `flags` adds bits, rcode in the low 4.
Bytes header(const Bytes& query, unsigned answers, unsigned flags = 0, unsigned additional = 0) {
    Bytes b{query[0], query[1]};
    put16(b, 0x8180 | flags);
    put16(b, 1);        // questions
    put16(b, answers);  // answers
    put16(b, 0);        // authority
    put16(b, additional);
    return b;
}

Bytes answerWithA(const Bytes& query, const Bytes& address) {
    Bytes b = header(query, 1);
    putQuestion(b);
    putRecord(b, 1, 1, address);
    return b;
}

struct HostileCase {
    const char* name;
    std::function<std::vector<Bytes>(const Bytes&)> replies;
    std::string expected;
};

void PrintTo(const HostileCase& c, std::ostream* out) { *out << c.name; }

std::vector<HostileCase> hostileCases() {
    return {
        {"PlainA",
         [](const Bytes& q) {
             return Replies{answerWithA(q, {203, 0, 113, 7})};
         },
         "203.0.113.7"},
        {"CNAMEThenA",
         [](const Bytes& q) {
             Bytes b = header(q, 2);
             putQuestion(b);
             putRecord(b, 5, 1, {1, 'x', 0});  // CNAME x.
             putRecord(b, 1, 1, {198, 51, 100, 4});
             return Replies{b};
         },
         "198.51.100.4"},
        {"FirstOfTwoA",
         [](const Bytes& q) {
             Bytes b = header(q, 2);
             putQuestion(b);
             putRecord(b, 1, 1, {198, 51, 100, 1});
             putRecord(b, 1, 1, {198, 51, 100, 2});
             return Replies{b};
         },
         "198.51.100.1"},
        {"ChaosClassOnly",
         [](const Bytes& q) {
             Bytes b = header(q, 1);
             putQuestion(b);
             putRecord(b, 1, 3, {198, 51, 100, 9});
             return Replies{b};
         },
         ""},
        {"AAAAOnly",
         [](const Bytes& q) {
             Bytes b = header(q, 1);
             putQuestion(b);
             putRecord(b, 28, 1, Bytes(16, 1));
             return Replies{b};
         },
         ""},
        {"RdlengthFive",
         [](const Bytes& q) {
             return Replies{answerWithA(q, {1, 2, 3, 4, 5})};
         },
         ""},
        {"RdlengthThree",
         [](const Bytes& q) {
             return Replies{answerWithA(q, {1, 2, 3})};
         },
         ""},
        {"CutInsideRecord",
         [](const Bytes& q) {
             const Bytes whole = answerWithA(q, {203, 0, 113, 7});
             return Replies{Bytes(whole.begin(), whole.end() - 3)};  // the address's last 3 bytes missing
         },
         ""},
        {"CountsMoreThanPresent",
         [](const Bytes& q) {
             Bytes b = answerWithA(q, {203, 0, 113, 7});
             b[7] = 2;  // two answers announced, one present
             return Replies{b};
         },
         ""},
        {"TruncatedFlag",
         [](const Bytes& q) {
             Bytes b = answerWithA(q, {203, 0, 113, 7});
             b[2] |= 0x02;  // TC
             return Replies{b};
         },
         ""},
        {"Oversized",
         [](const Bytes& q) {
             Bytes b = header(q, 1, 0, 1);
             putQuestion(b);
             putRecord(b, 1, 1, {203, 0, 113, 7});
             putRecord(b, 16, 1, Bytes(600, 'a'));  // additional TXT past 512 bytes
             return Replies{b};
         },
         ""},
        {"CompressionLoop",
         [](const Bytes& q) {
             Bytes b = header(q, 1);
             putQuestion(b);
             const auto at = b.size();
             b.insert(b.end(), {0xC0, static_cast<std::uint8_t>(at)});  // owner points at itself
             put16(b, 1);
             put16(b, 1);
             b.insert(b.end(), {0, 0, 0, 60});
             put16(b, 4);
             b.insert(b.end(), {203, 0, 113, 7});
             return Replies{b};
         },
         ""},
        {"NameError",
         [](const Bytes& q) {
             Bytes b = header(q, 1, 3);
             putQuestion(b);
             putRecord(b, 1, 1, {203, 0, 113, 7});
             return Replies{b};
         },
         ""},
        {"NoAnswers",
         [](const Bytes& q) {
             Bytes b = header(q, 0);
             putQuestion(b);
             return Replies{b};
         },
         ""},
        {"FragmentThenAnswer",
         [](const Bytes& q) {
             return Replies{Bytes{q[0], q[1], 0x81}, answerWithA(q, {203, 0, 113, 11})};
         },
         "203.0.113.11"},
        // Not answers to our query: passed over, and the real answer after them is taken.
        {"WrongIdThenAnswer",
         [](const Bytes& q) {
             Bytes forged = answerWithA(q, {10, 0, 0, 1});
             forged[1] ^= 0xFF;
             return Replies{forged, answerWithA(q, {203, 0, 113, 8})};
         },
         "203.0.113.8"},
        {"OtherQuestionThenAnswer",
         [](const Bytes& q) {
             Bytes other = answerWithA(q, {10, 0, 0, 1});
             other[13] = 'x';  // question "x.-"
             return Replies{other, answerWithA(q, {203, 0, 113, 9})};
         },
         "203.0.113.9"},
        {"QueryEchoedThenAnswer",
         [](const Bytes& q) {
             return Replies{q, answerWithA(q, {203, 0, 113, 10})};
         },
         "203.0.113.10"},
    };
}

class HostileAnswerTest : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileAnswerTest, OnlyAWellFormedInAnswerGivesAnAddress) {
    Bytes seenQuery;
    std::mutex seenMutex;
    LoopbackDNSServer server([&](const Bytes& query) {
        {
            std::lock_guard lock(seenMutex);
            seenQuery = query;
        }
        return GetParam().replies(query);
    });
    ASSERT_TRUE(server.bound());
    ExternalAddressQuery options;
    options.port = server.port();
    EXPECT_EQ(DNSResolver::resolveDNSUsingCorvel({"127.0.0.1"}, options), GetParam().expected);

    // The query itself: one question "-.-" A IN, recursion desired.
    std::lock_guard lock(seenMutex);
    ASSERT_GE(seenQuery.size(), 12u + 9u);
    EXPECT_EQ(seenQuery[2] & 0x80, 0);  // a query
    EXPECT_EQ(seenQuery[2] & 0x01, 1);  // RD
    EXPECT_EQ(Bytes(seenQuery.begin() + 12, seenQuery.begin() + 21), (Bytes{1, '-', 1, '-', 0, 0, 1, 0, 1}));
}

INSTANTIATE_TEST_SUITE_P(Answers, HostileAnswerTest, testing::ValuesIn(hostileCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ExternalAddressTest, ResolverListChoosesTheFirstNonEmptyEntryOnly) {
    // Two servers on one port of two loopback addresses.
    auto answer = [](Bytes address) {
        return [address](const Bytes& q) { return Replies{answerWithA(q, address)}; };
    };
    LoopbackDNSServer second(answer({192, 0, 2, 2}), "127.0.0.2");
    ASSERT_TRUE(second.bound());
    LoopbackDNSServer first(answer({192, 0, 2, 1}), "127.0.0.1", second.port());
    ASSERT_TRUE(first.bound()) << "port " << second.port() << " taken on 127.0.0.1";
    ExternalAddressQuery options;
    options.port = second.port();

    EXPECT_EQ(DNSResolver::resolveDNSUsingCorvel({}, options), "");
    EXPECT_EQ(DNSResolver::resolveDNSUsingCorvel({"", "127.0.0.2"}, options), "192.0.2.2");
    EXPECT_EQ(DNSResolver::resolveDNSUsingCorvel({"127.0.0.1", "127.0.0.2"}, options), "192.0.2.1");
    EXPECT_EQ(DNSResolver::resolveDNSUsingCorvel({"", ""}, options), "");
    EXPECT_EQ(DNSResolver::resolveDNSUsingCorvel({"::1", "127.0.0.2"}, options), "");  // no dotted address
    EXPECT_EQ(first.queriesReceived(), 1);
    EXPECT_EQ(second.queriesReceived(), 1);
}

TEST(ExternalAddressTest, NobodyListeningGivesEmptyText) {
    std::uint16_t port;
    {
        LoopbackDNSServer gone([](const Bytes&) { return std::vector<Bytes>{}; });
        port = gone.port();
    }
    ExternalAddressQuery options;
    options.port = port;
    // The refusal comes back at once; no attempt waits for its time-out.
    EXPECT_EQ(DNSResolver::resolveDNSUsingCorvel({"127.0.0.1"}, options), "");
}

// --- the system's servers -------------------------------------------------------------------

struct ResolvConfCase {
    const char* name;
    const char* resolvConf;  // nullptr: no file
    const char* upstream;    // nullptr: no file
    std::vector<std::string> expected;
};

void PrintTo(const ResolvConfCase& c, std::ostream* out) { *out << c.name; }

class ResolvConfTest : public testing::TestWithParam<ResolvConfCase> {};

TEST_P(ResolvConfTest, ServersAreReadAsTheSystemResolverReadsThem) {
    fakes::TemporaryFolder folder;
    platform::ResolverConfigPaths paths;
    paths.resolvConf = (folder.path() / "resolv.conf").string();
    paths.resolvedUpstream = (folder.path() / "upstream.conf").string();
    if (GetParam().resolvConf) std::ofstream(paths.resolvConf) << GetParam().resolvConf;
    if (GetParam().upstream) std::ofstream(paths.resolvedUpstream) << GetParam().upstream;
    auto resolver = DNSResolver::create(paths);
    ASSERT_TRUE(resolver);
    EXPECT_EQ(resolver->getDNSAddresses(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ResolvConfTest,
    testing::ValuesIn(std::vector<ResolvConfCase>{
        {"TwoServers",
         "nameserver 192.0.2.53\nnameserver 2001:db8::53\n",
         nullptr,
         {"192.0.2.53", "2001:db8::53"}},
        {"CommentsAndOtherKeywords",
         "# nameserver 192.0.2.1\n; nameserver 192.0.2.2\nsearch example.net\n  nameserver 192.0.2.3\n"
         "nameserver\nnameserver not-an-address\nnameservers 192.0.2.4\noptions edns0\nnameserver\t192.0.2.5 "
         "x\n",
         nullptr,
         {"192.0.2.5"}},
        {"NormalisedAndDeduplicated",
         "nameserver 2001:DB8:0::1\nnameserver 2001:db8::1\nnameserver 192.0.2.9\n",
         nullptr,
         {"2001:db8::1", "192.0.2.9"}},
        {"ScopedLinkLocal", "nameserver fe80::1%eth0\nnameserver fe80::2%\n", nullptr, {"fe80::1%eth0"}},
        {"StubGivesResolvedUpstream",
         "nameserver 127.0.0.53\noptions edns0 trust-ad\n",
         "nameserver 192.0.2.10\nnameserver 192.0.2.11\n",
         {"192.0.2.10", "192.0.2.11"}},
        {"StubWithoutUpstreamFile", "nameserver 127.0.0.53\n", nullptr, {}},
        {"StubBesideAnotherServer",
         "nameserver 192.0.2.20\nnameserver 127.0.0.54\n",
         "nameserver 192.0.2.21\n",
         {"192.0.2.20", "192.0.2.21"}},
        {"UpstreamNamingTheStubAgain", "nameserver 127.0.0.53\n", "nameserver 127.0.0.53\n", {}},
        {"ProxyListenersDropped",
         "nameserver 127.0.0.1\nnameserver ::1\nnameserver 0:0::1\nnameserver 127.0.1.1\n",
         nullptr,
         {"127.0.1.1"}},
        {"NoFile", nullptr, nullptr, {}},
        {"EmptyFile", "", nullptr, {}},
        {"NoFinalNewline", "nameserver 192.0.2.30", nullptr, {"192.0.2.30"}},
    }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResolvConfLimitsTest, AtMostThirtyTwoServers) {
    fakes::TemporaryFolder folder;
    platform::ResolverConfigPaths paths;
    paths.resolvConf = (folder.path() / "resolv.conf").string();
    {
        std::ofstream file(paths.resolvConf);
        for (int i = 1; i <= 40; ++i) file << "nameserver 192.0.2." << i << "\n";
    }
    auto resolver = DNSResolver::create(paths);
    ASSERT_TRUE(resolver);
    ASSERT_EQ(resolver->getDNSAddresses().size(), platform::kMaxResolverServers);
    EXPECT_EQ(resolver->getDNSAddresses().back(), "192.0.2.32");
}

TEST(ResolvConfLimitsTest, UnreadableConfigurationMakesNoResolver) {
    fakes::TemporaryFolder folder;
    platform::ResolverConfigPaths paths;
    paths.resolvConf = folder.path().string();  // a folder
    EXPECT_FALSE(DNSResolver::create(paths));
    paths.resolvConf = (folder.path() / "huge.conf").string();
    std::ofstream(paths.resolvConf) << std::string((1 << 20) + 1, '#');
    EXPECT_FALSE(DNSResolver::create(paths));
}

TEST(ResolvConfLimitsTest, EachResolverKeepsItsOwnServers) {
    fakes::TemporaryFolder folder;
    platform::ResolverConfigPaths paths;
    paths.resolvConf = (folder.path() / "resolv.conf").string();
    std::ofstream(paths.resolvConf) << "nameserver 192.0.2.1\n";
    auto first = DNSResolver::create(paths);
    std::ofstream(paths.resolvConf) << "nameserver 192.0.2.2\n";
    auto second = DNSResolver::create(paths);
    ASSERT_TRUE(first && second);
    second.reset();  // releasing one leaves the other's state alone
    EXPECT_EQ(first->getDNSAddresses(), std::vector<std::string>{"192.0.2.1"});
}

// --- call-rate limiter ---------------------------------------------------------------------

struct LimiterStep {
    std::chrono::seconds advance;  // moved (negative: wall time set back) before the call
    bool allowed;
    std::int64_t count;
};

struct LimiterCase {
    const char* name;
    std::vector<LimiterStep> steps;
};

void PrintTo(const LimiterCase& c, std::ostream* out) { *out << c.name; }

class RateLimiterTest : public testing::TestWithParam<LimiterCase> {};

TEST_P(RateLimiterTest, WindowOpensAndClosesOnTheClock) {
    auto clock =
        std::make_shared<platform::ManualClock>(platform::Clock::TimePoint(std::chrono::hours(500000)));
    fakes::TemporaryFolder folder;
    platform::ResolverConfigPaths paths;
    paths.resolvConf = (folder.path() / "none").string();
    auto resolver = DNSResolver::create(paths, clock);
    ASSERT_TRUE(resolver);
    EXPECT_FALSE(resolver->lastCallDate());
    int step = 0;
    for (const auto& s : GetParam().steps) {
        if (s.advance.count() >= 0) {
            clock->advance(s.advance);
        } else {
            clock->setNow(clock->now() + s.advance);
        }
        EXPECT_EQ(resolver->shouldResolveNow(), s.allowed) << "step " << step;
        EXPECT_EQ(resolver->callCount(), s.count) << "step " << step;
        ++step;
    }
    EXPECT_TRUE(resolver->lastCallDate());
}

using std::chrono::seconds;
INSTANTIATE_TEST_SUITE_P(
    Sequences, RateLimiterTest,
    testing::ValuesIn(std::vector<LimiterCase>{
        {"ThreeThenClosed",
         {{seconds(0), true, 1}, {seconds(1), true, 2}, {seconds(1), true, 3}, {seconds(1), false, 4}}},
        {"ClosedWindowReopensAfterAnHour",
         {{seconds(0), true, 1},
          {seconds(10), true, 2},
          {seconds(10), true, 3},
          {seconds(10), false, 4},
          {seconds(10), false, 5},
          {seconds(3560), false, 6},  // 3,600 s after the window began is not yet more than an hour
          {seconds(1), true, 0},
          {seconds(1), true, 1}}},
        {"FirstCallStartsTheWindow", {{seconds(0), true, 1}, {seconds(3601), true, 0}}},
        {"ClockSetBackMoreThanAnHour", {{seconds(0), true, 1}, {seconds(-7200), true, 0}}},
    }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RateLimiterTest, ThresholdIsBelowFour) {
    EXPECT_TRUE(DNSResolver::shouldCallExternalIP(-1));
    EXPECT_TRUE(DNSResolver::shouldCallExternalIP(3));
    EXPECT_FALSE(DNSResolver::shouldCallExternalIP(4));
}

// --- the address-echo service -----------------------------------------------------------------

struct EchoCase {
    const char* name;
    std::string body;    // what the service answers
    bool stall = false;  // headers and half the body, then nothing
    std::string expected;
};

void PrintTo(const EchoCase& c, std::ostream* out) { *out << c.name; }

class AddressEchoTest : public testing::TestWithParam<EchoCase> {
protected:
    void SetUp() override {
        std::filesystem::create_directories(recordings());
        std::ofstream(recordings() / "answer_", std::ios::binary) << GetParam().body;
        if (GetParam().stall) std::ofstream(recordings() / "stall");
        server_ = std::make_unique<fakes::LoopbackHTTPServer>(
            std::vector<std::string>{"--record", recordings().string()});
        service_.url = server_->url("/");
        service_.timeout = GetParam().stall ? 300ms : 5000ms;
    }
    std::filesystem::path recordings() const { return folder_.path() / "recordings"; }

    fakes::TemporaryFolder folder_{"kiv-echo"};
    std::unique_ptr<fakes::LoopbackHTTPServer> server_;
    AddressEchoService service_;
};

TEST_P(AddressEchoTest, BodyIsTheTrimmedASCIIText) {
    // The main thread's loop turns while the reply is awaited.
    bool turned = false;
    platform::mainQueue()->async([&turned] { turned = true; });
    EXPECT_EQ(DNSResolver::pingNonCorvelResolver({"192.0.2.53"}, service_), GetParam().expected);
    if (GetParam().stall) {
        EXPECT_TRUE(turned);
    }
    while (platform::runMainLoopOnce(0ms)) {
    }

    const auto request = nlohmann::json::parse(fakes::readText(recordings() / "request-1.json"));
    EXPECT_EQ(request["method"], "GET");
    EXPECT_EQ(request["path"], "/");
    bool json = false;
    for (const auto& header : request["headers"])
        json = json || (header[0] == "Content-Type" && header[1] == "application/json");
    EXPECT_TRUE(json) << request.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, AddressEchoTest,
    testing::Values(EchoCase{"Plain", "203.0.113.7", false, "203.0.113.7"},
                    EchoCase{"BlanksAndTabs", " \t203.0.113.7\t ", false, "203.0.113.7"},
                    EchoCase{"LineBreakIsNoBlank", "203.0.113.7\n", false, "203.0.113.7\n"},
                    EchoCase{"OnlyBlanks", " \t ", false, ""}, EchoCase{"Empty", "", false, ""},
                    EchoCase{"NotASCII", "203.0.113.7\xc2\xa0", false, ""},
                    EchoCase{"AtTheCap", std::string(AddressEchoService::kMaxBody, '7'), false,
                             std::string(AddressEchoService::kMaxBody, '7')},
                    EchoCase{"PastTheCap", std::string(AddressEchoService::kMaxBody + 1, '7'), false, ""},
                    EchoCase{"Huge", std::string(8 << 20, '7'), false, ""},
                    EchoCase{"Stalls", "203.0.113.7", true, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AddressEchoNoServiceTest, NoResolversSendNothingAndNobodyListeningGivesEmptyText) {
    fakes::TemporaryFolder folder{"kiv-echo"};
    std::ofstream(folder.path() / "answer_") << "198.51.100.20";
    AddressEchoService service;
    {
        fakes::LoopbackHTTPServer server({"--record", folder.path().string()});
        service.url = server.url("/");
        EXPECT_EQ(DNSResolver::pingNonCorvelResolver({}, service), "");
        EXPECT_FALSE(std::filesystem::exists(folder.path() / "request-1.json"));
        // Off the main thread the caller blocks until the reply.
        std::string fromWorker;
        std::thread([&] { fromWorker = DNSResolver::pingNonCorvelResolver({"192.0.2.53"}, service); }).join();
        EXPECT_EQ(fromWorker, "198.51.100.20");
    }  // stopped: its port is closed now
    EXPECT_EQ(DNSResolver::pingNonCorvelResolver({"192.0.2.53"}, service), "");
}

// --- typed lists ---------------------------------------------------------------------------

TEST(CommaSeparatedListTest, EmptyPartsDroppedBlanksKept) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases{
        {"a,,b,", {"a", "b"}}, {"a, b", {"a", " b"}},    {"", {}},
        {",,,", {}},           {"1.1.1.1", {"1.1.1.1"}}, {" , ", {" ", " "}},
    };
    for (const auto& [text, parts] : cases) EXPECT_EQ(commaSeparatedList(text), parts) << text;
}

}  // namespace
}  // namespace kiv
