#include <gtest/gtest.h>

#include <array>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RecordingProvider.hpp"
#include "fakes/ne/IoRunner.hpp"
#include "fakes/ne/LoopbackSocket.hpp"
#include "platform/Clock.hpp"
#include "platform/ne/IoLoop.hpp"
#include "platform/ne/LoopHeartbeat.hpp"
#include "platform/ne/ProviderHost.hpp"

namespace {

using platform::ne::ProviderHost;
using platform::ne::ProviderHostSettings;
using platform::ne::ThreadsUnderLoad;
using testing_ne::RecordingProvider;
using namespace std::chrono_literals;

// `windows` windows of `length`, each with `datagrams` queries taken in `wakes`
// wake-ups and `cpu` of the threads' CPU time.
struct Load {
    int windows;
    std::uint64_t datagrams;
    std::uint64_t wakes;
    std::chrono::nanoseconds length = ThreadsUnderLoad::kWindow;
    std::chrono::nanoseconds cpu{};
};

struct LoadCase {
    std::string name;
    unsigned threads;
    std::vector<Load> loads;
    unsigned active;      // at the end
    unsigned maxChanges;  // of the active count, over the whole run
};

// 100 ms windows: 500 queries is 5,000 q/s.
const Load kOverload{1, 5000, 100};         // 50 000 q/s, 50 per wake-up
const Load kOverloadSteady{30, 5000, 100};  // the same for 3 s
const std::vector<LoadCase> kLoadCases = {
    {"Idle", 8, {{50, 0, 0}}, 1, 0},
    {"SteadyLowRateOneThread", 8, {{100, 500, 450}}, 1, 0},
    {"OneClientsBurstIsNoLoad", 8, {{1, 16, 1}, {10, 0, 0}}, 1, 0},
    {"LongQuietThenABurstIsNoLoad", 8, {{1, 200, 2, 60s}}, 1, 0},
    {"OneBusyWindowAddsAThread", 8, {{1, 2000, 200}}, 2, 1},
    {"AShortBusyWindowAddsAThread", 8, {{1, 300, 4, 10ms}}, 2, 1},
    {"OverloadTakesEveryThreadInThreeWindows", 8, {kOverloadSteady}, 8, 3},
    {"NeverMoreThanTheHostHas", 3, {kOverloadSteady}, 3, 2},
    // Busy at 20 000 q/s on one thread, then the same rate served by two without
    // queueing: the two stay, for as long as the rate does.
    {"SteadyRateDoesNotFlap", 8, {{1, 2000, 200}, {300, 2000, 1800}}, 2, 1},
    {"FallenRateReturnsToOneAfterTheQuietPeriod", 8, {{1, 2000, 200}, {21, 600, 550}}, 1, 2},
    {"FallenRateWaitsForTheQuietPeriod", 8, {{1, 2000, 200}, {15, 600, 550}}, 2, 1},
    {"SilenceAfterOverloadReturnsToOne", 8, {kOverloadSteady, {1, 0, 0}, {6000, 0, 0}, {1, 1, 1}}, 1, 4},
    // Eight threads busy at 80 000 q/s (10 000 each), then 30 000 q/s: six threads
    // run at no more than half of that each.
    {"PartlyFallenRateKeepsWhatItNeeds", 8, {{4, 8000, 100}, {40, 3000, 2500}}, 6, 4},
    // Back up after a fall: busy again on the fewer threads, so they grow again.
    {"RisingAgainAfterAFall", 8, {{1, 2000, 200}, {21, 600, 550}, {1, 2000, 200}}, 2, 3},
    // A fall that proved wrong: the next waits twice as long.
    {"WrongFallDoublesTheQuietPeriod",
     8,
     {{1, 2000, 200}, {21, 600, 550}, {1, 2000, 200}, {30, 600, 550}},
     2,
     3},
    {"AfterTheLongerQuietItFalls", 8, {{1, 2000, 200}, {21, 600, 550}, {1, 2000, 200}, {41, 600, 550}}, 1, 4},
    {"AFallThatHeldAsksNoMore",
     8,
     {{1, 2000, 200}, {21, 600, 550}, {30, 0, 0}, {1, 2000, 200}, {21, 600, 550}},
     1,
     4},
    // 20 000 q/s that keep one thread 92% busy, though it takes one or two queries per
    // wake-up: a second joins, and stays while the two are kept busy.
    {"AMostlyBusyThreadIsJoined", 8, {{1, 2000, 1800, ThreadsUnderLoad::kWindow, 92ms}}, 2, 1},
    {"AHalfBusyThreadIsNot", 8, {{100, 2000, 1800, ThreadsUnderLoad::kWindow, 50ms}}, 1, 0},
    {"IdleCpuAloneIsNoLoad", 8, {{10, 10, 10, ThreadsUnderLoad::kWindow, 90ms}}, 1, 0},
    {"JoinedThreadsStayWhileBusy",
     8,
     {{1, 2000, 1800, ThreadsUnderLoad::kWindow, 92ms}, {300, 2000, 1900, ThreadsUnderLoad::kWindow, 110ms}},
     2,
     1},
    // Joined at 50 000 q/s, then 20 000 q/s: by rate alone one thread would do, but
    // it would be busy all the time.
    {"ABusyRateDoesNotFallOnRateAlone",
     8,
     {{1, 5000, 100}, {300, 2000, 1900, ThreadsUnderLoad::kWindow, 90ms}},
     2,
     1},
    {"ALightRateFallsBack", 8, {{1, 5000, 100}, {21, 500, 450, ThreadsUnderLoad::kWindow, 30ms}}, 1, 2},
};

class ThreadsUnderLoadCases : public ::testing::TestWithParam<LoadCase> {};

TEST_P(ThreadsUnderLoadCases, ActiveCountFollowsTheLoad) {
    const auto& c = GetParam();
    platform::ManualClock clock;
    clock.advance(1h);
    ThreadsUnderLoad load(c.threads, clock.monotonic());
    unsigned changes = 0;
    unsigned active = load.active();
    EXPECT_EQ(active, 1u);
    for (const auto& step : c.loads) {
        for (int i = 0; i < step.windows; ++i) {
            clock.advance(step.length);
            const unsigned now = load.observe(clock.monotonic(), step.wakes, step.datagrams, step.cpu);
            EXPECT_GE(now, 1u);
            EXPECT_LE(now, c.threads);
            changes += now != active;
            active = now;
        }
    }
    EXPECT_EQ(active, c.active);
    EXPECT_LE(changes, c.maxChanges);
}

INSTANTIATE_TEST_SUITE_P(Loads, ThreadsUnderLoadCases, ::testing::ValuesIn(kLoadCases),
                         [](const auto& info) { return info.param.name; });

// Through real sockets, both address families: with one thread active every query
// reaches the first thread's socket; once the load makes both threads active, the
// queries spread over both by their ids; none is lost on the way.
class ThreadsUnderLoadHost : public ::testing::Test {
protected:
    void SetUp() override {
        clock->advance(1h);
        platform::setProcessClock(clock);
    }
    void TearDown() override { platform::setProcessClock(nullptr); }

    // Sends `count` queries to each address, each from a client of its own (a flow
    // each), whose ids and ports add up to 0..count-1; returns once all are offered.
    void sendQueries(int count) {
        for (const auto& address : {std::string("127.0.0.1"), std::string("::1")}) {
            const auto port = endpoint(address).port();
            for (int k = 0; k < count; ++k) {
                auto& client = clients.emplace_back(std::make_unique<fakes::LoopbackSocket>(address));
                const auto id = static_cast<std::uint16_t>(k - client->port());
                client->sendTo(address, port,
                               {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 1, 0, 0, 1,
                                0, 0, 0, 0, 0, 0});
            }
        }
        const std::size_t expected = clients.size();
        ASSERT_TRUE(fakes::runUntil(first, [&] {
            fakes::drain(second);
            std::lock_guard lock(provider->mutex);
            return provider->flows.size() == expected;
        }));
    }
    asio::ip::udp::endpoint endpoint(const std::string& address) {
        for (const auto& e : host->listeningEndpoints())
            if (e.address().to_string() == address) return e;
        ADD_FAILURE() << "not listening on " << address;
        return {};
    }
    // Flows from `from` on, per thread and address family: {first v4, first v6,
    // second v4, second v6}.
    std::array<int, 4> flowsPerThread(std::size_t from) {
        std::array<int, 4> counts{};
        const asio::any_io_executor firstQueue = platform::ne::IoLoop::of(first).queue();
        std::lock_guard lock(provider->mutex);
        for (std::size_t i = from; i < provider->flows.size(); ++i) {
            const auto& flow = provider->flows[i];
            const auto local = flow->localEndpoint();
            const bool v6 = platform::ne::hostEndpoint(*local)->hostname() == "::1";
            counts[(flow->queue() == firstQueue ? 0 : 2) + (v6 ? 1 : 0)]++;
        }
        return counts;
    }

    std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
    asio::io_context first;
    asio::io_context second;
    std::shared_ptr<RecordingProvider> provider = std::make_shared<RecordingProvider>();
    std::unique_ptr<ProviderHost> host;
    std::vector<std::unique_ptr<fakes::LoopbackSocket>> clients;
};

TEST_F(ThreadsUnderLoadHost, OneActiveThreadTakesEveryQueryAndAllSpreadUnderLoad) {
    ProviderHostSettings settings;
    settings.port = 0;
    host =
        std::make_unique<ProviderHost>(std::vector<asio::io_context*>{&first, &second}, provider, settings);
    host->listen();
    host->startProxy(nlohmann::json::object());
    ASSERT_TRUE(fakes::runUntil(first, [&] { return host->proxyRunning(); }));

    constexpr int kQueries = 64;  // per address: a busy window's worth
    sendQueries(kQueries);
    EXPECT_EQ(flowsPerThread(0), (std::array<int, 4>{kQueries, kQueries, 0, 0}));

    // The next wake-up after the window closes finds the first thread was busy.
    clock->advance(ThreadsUnderLoad::kWindow);
    sendQueries(1);
    const std::size_t before = provider->flows.size();
    sendQueries(kQueries);
    EXPECT_EQ(flowsPerThread(before),
              (std::array<int, 4>{kQueries / 2, kQueries / 2, kQueries / 2, kQueries / 2}));
    EXPECT_EQ(host->counters().received.load(), 2u * (2 * kQueries + 1));

    {
        std::lock_guard lock(provider->mutex);
        for (const auto& flow : provider->flows) {
            flow->closeRead(std::nullopt);
            flow->closeWrite(std::nullopt);
        }
    }
    ASSERT_TRUE(fakes::runUntil(first, [&] {
        fakes::drain(second);
        return host->liveFlows() == 0;
    }));
}

// Both threads running while the count changes under them: every query offered
// once, and every flow ends.
TEST_F(ThreadsUnderLoadHost, ThreadsServingWhileTheCountChangesLoseNothing) {
    ProviderHostSettings settings;
    settings.port = 0;
    host =
        std::make_unique<ProviderHost>(std::vector<asio::io_context*>{&first, &second}, provider, settings);
    host->listen();
    auto firstWork = asio::make_work_guard(first);
    auto secondWork = asio::make_work_guard(second);
    platform::ne::LoopHeartbeat firstBeat;
    platform::ne::LoopHeartbeat secondBeat;
    std::thread firstThread([&] { platform::ne::IoLoop::of(first).run(firstBeat); });
    std::thread secondThread([&] { platform::ne::IoLoop::of(second).run(secondBeat); });
    // Watches the threads' work; never sleeps.
    auto waitFor = [](auto condition) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::yield();
        }
        return true;
    };
    auto offered = [&](std::size_t n) {
        return waitFor([&] {
            std::lock_guard lock(provider->mutex);
            return provider->flows.size() >= n;
        });
    };
    host->startProxy(nlohmann::json::object());
    ASSERT_TRUE(waitFor([&] { return host->proxyRunning(); }));
    std::size_t sent = 0;
    for (int round = 0; round < 6; ++round) {
        for (const auto& address : {std::string("127.0.0.1"), std::string("::1")}) {
            const auto port = endpoint(address).port();
            for (int k = 0; k < 80; ++k) {
                auto& client = clients.emplace_back(std::make_unique<fakes::LoopbackSocket>(address));
                client->sendTo(address, port,
                               {static_cast<std::uint8_t>(k), 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0});
                ++sent;
            }
        }
        // Up to both threads in the first rounds, back to one after long quiet.
        clock->advance(round < 3 ? ThreadsUnderLoad::kWindow : ThreadsUnderLoad::kLongestQuiet);
        ASSERT_TRUE(offered(sent));
    }
    EXPECT_EQ(host->counters().received.load(), sent);
    {
        std::lock_guard lock(provider->mutex);
        for (const auto& flow : provider->flows) {
            asio::post(flow->queue(), [flow] {
                flow->closeRead(std::nullopt);
                flow->closeWrite(std::nullopt);
            });
        }
    }
    EXPECT_TRUE(waitFor([&] { return host->liveFlows() == 0; }));
    firstWork.reset();
    secondWork.reset();
    platform::ne::IoLoop::of(first).stop();
    platform::ne::IoLoop::of(second).stop();
    firstThread.join();
    secondThread.join();
}

}  // namespace
