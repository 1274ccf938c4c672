#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <utility>

#include "RecordingProvider.hpp"
#include "fakes/ne/IoRunner.hpp"
#include "fakes/ne/LoopbackSocket.hpp"
#include "platform/Clock.hpp"
#include "platform/ne/IoLoop.hpp"
#include "platform/ne/ProviderHost.hpp"

namespace {

using platform::ne::Datagram;
using platform::ne::FlowError;
using platform::ne::NWEndpoint;
using platform::ne::ProviderHost;
using platform::ne::ProviderHostSettings;
using testing_ne::RecordingProvider;

struct ReadResult {
    bool done = false;
    std::optional<std::vector<Datagram>> datagrams;
    std::optional<std::vector<NWEndpoint>> endpoints;
    std::optional<FlowError> error;
};

class ProviderHostTest : public ::testing::Test {
protected:
    void start(ProviderHostSettings settings = {}, bool run = true) {
        if (settings.listenAddresses == ProviderHostSettings{}.listenAddresses)
            settings.listenAddresses = {"127.0.0.1"};
        settings.port = 0;
        host = std::make_unique<ProviderHost>(io, provider, settings);
        host->listen();
        port = host->listeningEndpoints().front().port();
        if (!run) return;
        host->startProxy(nlohmann::json::object());
        ASSERT_TRUE(fakes::runUntil(io, [&] { return host->proxyRunning(); }));
    }
    // Listening on loopback, its control work on `control` rather than on `io`.
    void listenWithControlLoop(ProviderHostSettings settings) {
        settings.listenAddresses = {"127.0.0.1"};
        settings.port = 0;
        host =
            std::make_unique<ProviderHost>(std::vector<asio::io_context*>{&io}, provider, settings, control);
        host->listen();
    }
    bool flowsOffered(std::size_t n) {
        return fakes::runUntil(io, [&] {
            std::lock_guard lock(provider->mutex);
            return provider->remotes.size() >= n;
        });
    }
    ReadResult openAndRead(const std::shared_ptr<platform::ne::NEAppProxyUDPFlow>& flow) {
        bool opened = false;
        const auto localEndpoint = flow->localEndpoint();
        const auto* local = platform::ne::hostEndpoint(*localEndpoint);
        flow->open(*local, [&](std::optional<FlowError> e) { opened = !e; });
        EXPECT_TRUE(fakes::runUntil(io, [&] { return opened; }));
        return read(flow);
    }
    ReadResult read(const std::shared_ptr<platform::ne::NEAppProxyUDPFlow>& flow) {
        ReadResult result;
        flow->readDatagrams([&](auto datagrams, auto endpoints, auto error) {
            result = {true, std::move(datagrams), std::move(endpoints), error};
        });
        EXPECT_TRUE(fakes::runUntil(io, [&] { return result.done; }));
        return result;
    }
    void closeFlow(const std::shared_ptr<platform::ne::NEAppProxyUDPFlow>& flow) {
        flow->closeRead(std::nullopt);
        flow->closeWrite(std::nullopt);
    }

    asio::io_context io;
    asio::io_context idle;     // for hosts with a second thread that never gets to run
    asio::io_context control;  // for hosts with a control loop of their own; outlives them
    std::shared_ptr<RecordingProvider> provider = std::make_shared<RecordingProvider>();
    std::unique_ptr<ProviderHost> host;
    std::uint16_t port = 0;
};

TEST_F(ProviderHostTest, OneReceiveFromOneClientIsOneFlowReadOnce) {
    start();
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", port, Datagram{1, 2});
    client.sendTo("127.0.0.1", port, Datagram{3});
    ASSERT_TRUE(flowsOffered(1));
    auto flow = provider->flows.at(0);
    EXPECT_EQ(platform::ne::hostEndpoint(provider->remotes[0])->endpoint().port(), client.port());
    auto batch = openAndRead(flow);
    ASSERT_FALSE(batch.error);
    ASSERT_TRUE(batch.datagrams && batch.endpoints);
    EXPECT_EQ(*batch.datagrams, (std::vector<Datagram>{{1, 2}, {3}}));
    ASSERT_EQ(batch.endpoints->size(), 2u);
    EXPECT_EQ(platform::ne::hostEndpoint(batch.endpoints->at(1))->endpoint().port(), client.port());

    // Detached after the first read: the flow reports its end.
    auto again = read(flow);
    ASSERT_TRUE(again.datagrams);
    EXPECT_TRUE(again.datagrams->empty());

    bool written = false;
    flow->writeDatagrams({{9, 9}}, {batch.endpoints->at(0)},
                         [&](std::optional<FlowError> e) { written = !e; });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return written; }));
    const auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, (Datagram{9, 9}));
    EXPECT_EQ(reply->fromAddress, "127.0.0.1");
    EXPECT_EQ(reply->fromPort, port);

    EXPECT_EQ(host->liveFlows(), 1u);
    closeFlow(flow);
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->liveFlows() == 0; }));
    bool refused = false;
    flow->writeDatagrams({{1}}, {batch.endpoints->at(0)},
                         [&](std::optional<FlowError> e) { refused = bool(e); });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return refused; }));
}

// A flow passes an answer on and, in the same step on its own thread, closes (its
// upstream has failed): the answer asked for first must still go out.
TEST_F(ProviderHostTest, AWriteAskedForBeforeACloseGoesOut) {
    start();
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", port, Datagram{1});
    ASSERT_TRUE(flowsOffered(1));
    auto flow = provider->flows.at(0);
    auto batch = openAndRead(flow);
    ASSERT_TRUE(batch.endpoints);
    std::optional<FlowError> writeError = FlowError{FlowError::Code::invalidArgument};
    bool writeDone = false;
    asio::post(io, [&] {
        flow->writeDatagrams({{4, 2}}, {batch.endpoints->at(0)}, [&](std::optional<FlowError> e) {
            writeError = e;
            writeDone = true;
        });
        closeFlow(flow);
    });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return writeDone && host->liveFlows() == 0; }));
    EXPECT_FALSE(writeError);
    const auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, (Datagram{4, 2}));
}

TEST_F(ProviderHostTest, EachClientAndEachBatchCapMakesItsOwnFlow) {
    ProviderHostSettings settings;
    settings.maxDatagramsPerFlow = 2;
    start(settings);
    fakes::LoopbackSocket first;
    fakes::LoopbackSocket second;
    for (std::uint8_t i = 0; i < 3; ++i) first.sendTo("127.0.0.1", port, Datagram{i});
    second.sendTo("127.0.0.1", port, Datagram{0xFF});
    ASSERT_TRUE(flowsOffered(3));
    std::vector<std::size_t> sizes;
    for (const auto& flow : provider->flows) sizes.push_back(openAndRead(flow).datagrams->size());
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 1, 2}));
    EXPECT_EQ(host->counters().received.load(), 4u);
}

TEST_F(ProviderHostTest, DropsWhatNobodyTakes) {
    start({}, /*run=*/false);
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", port, Datagram{1});
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->counters().droppedNotRunning.load() == 1; }));
    EXPECT_EQ(provider->remotes.size(), 0u);

    provider->accept = false;
    host->startProxy(nlohmann::json::object());
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->proxyRunning(); }));
    client.sendTo("127.0.0.1", port, Datagram{2});
    ASSERT_TRUE(flowsOffered(1));
    EXPECT_EQ(host->counters().flowsRefused.load(), 1u);
    EXPECT_EQ(host->liveFlows(), 0u);  // a refused flow is gone
    EXPECT_FALSE(client.receive(50));
}

TEST_F(ProviderHostTest, CapsTheLiveFlows) {
    ProviderHostSettings settings;
    settings.maxLiveFlows = 1;
    start(settings);
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", port, Datagram{1});
    ASSERT_TRUE(flowsOffered(1));
    client.sendTo("127.0.0.1", port, Datagram{2});
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->counters().droppedOverCap.load() == 1; }));
    closeFlow(provider->flows.at(0));
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->liveFlows() == 0; }));
    client.sendTo("127.0.0.1", port, Datagram{3});
    ASSERT_TRUE(flowsOffered(2));
}

TEST_F(ProviderHostTest, AnswersOverIPv6) {
    ProviderHostSettings settings;
    settings.listenAddresses = {"::1"};
    start(settings);
    fakes::LoopbackSocket client("::1");
    client.sendTo("::1", port, Datagram{5});
    ASSERT_TRUE(flowsOffered(1));
    auto flow = provider->flows.at(0);
    auto batch = openAndRead(flow);
    bool written = false;
    flow->writeDatagrams({{6}}, *batch.endpoints, [&](std::optional<FlowError> e) { written = !e; });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return written; }));
    const auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->fromAddress, "::1");
    closeFlow(flow);
}

TEST_F(ProviderHostTest, ShutdownStopsTheProxyAndEndsWhatIsLeft) {
    ProviderHostSettings settings;
    settings.drainTimeout = std::chrono::milliseconds(20);
    start(settings);
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", port, Datagram{1});
    ASSERT_TRUE(flowsOffered(1));
    bool endFlowsCalled = false;
    bool done = false;
    host->shutdown([&] { done = true; },
                   [&] {
                       endFlowsCalled = true;
                       closeFlow(provider->flows.at(0));
                   });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return done; }));
    EXPECT_TRUE(endFlowsCalled);
    EXPECT_EQ(provider->stops, std::vector{platform::ne::NEProviderStopReason::userInitiated});
    EXPECT_EQ(host->liveFlows(), 0u);
    EXPECT_FALSE(host->proxyRunning());
}

// A shutdown's drain waits for the last live flow without waking its loop (the control
// loop runs next to nothing while the flow lives) and ends as that flow ends, long
// before its deadline.
TEST_F(ProviderHostTest, AShutdownsDrainEndsAsTheLastFlowDoesAndWakesNothingMeanwhile) {
    ProviderHostSettings settings;
    settings.drainTimeout = std::chrono::hours(1);
    listenWithControlLoop(settings);
    port = host->listeningEndpoints().front().port();
    host->startProxy(nlohmann::json::object());
    ASSERT_TRUE(fakes::runUntil(control, [&] { return host->proxyRunning(); }));
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", port, Datagram{1});
    ASSERT_TRUE(flowsOffered(1));
    bool done = false;
    host->shutdown([&] { done = true; });
    std::size_t ran = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < until) {
        fakes::drain(io);
        control.restart();
        ran += control.run_one_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(done);
    EXPECT_LE(ran, 6u) << "the drain woke the control loop while the flow lived";
    closeFlow(provider->flows.at(0));  // on the io loop
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->liveFlows() == 0; }));
    ASSERT_TRUE(fakes::runUntil(
        control, [&] { return done; }, std::chrono::milliseconds(1000)));
}

TEST_F(ProviderHostTest, SocketsShareTheirAddressWithReusePort) {
    ProviderHostSettings settings;
    settings.socketsPerAddress = 4;
    start(settings);
    EXPECT_EQ(host->listeningEndpoints().size(), 1u);
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", port, Datagram{1});
    ASSERT_TRUE(flowsOffered(1));
}

// Each thread reads only its own socket: with every thread taking queries, the
// kernel hashes each client to one of the sharing sockets, and the thread of that
// socket serves it, on its own queue. A datagram wakes no other thread. Here the
// second thread's clients wait, untouched, until it runs.
TEST_F(ProviderHostTest, EachThreadServesTheClientsHashedToItsOwnSocket) {
    ProviderHostSettings settings;
    settings.listenAddresses = {"127.0.0.1"};
    settings.threadsJoinUnderLoad = false;
    settings.port = 0;
    host = std::make_unique<ProviderHost>(std::vector<asio::io_context*>{&io, &idle}, provider, settings);
    host->listen();
    port = host->listeningEndpoints().front().port();
    host->startProxy(nlohmann::json::object());
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->proxyRunning(); }));
    constexpr std::size_t kClients = 32;  // all on one socket: one chance in 2^31
    std::vector<fakes::LoopbackSocket> clients(kClients);
    // Loopback delivers each datagram into its socket's queue before sendTo returns.
    for (auto& client : clients) client.sendTo("127.0.0.1", port, Datagram{7});
    ASSERT_TRUE(flowsOffered(1));
    fakes::drain(io);
    fakes::drain(io);
    const std::size_t first = provider->flows.size();
    EXPECT_LT(first, kClients);
    const asio::any_io_executor ioQueue = platform::ne::IoLoop::of(io).queue();
    const asio::any_io_executor idleQueue = platform::ne::IoLoop::of(idle).queue();
    for (const auto& flow : provider->flows) EXPECT_TRUE(flow->queue() == ioQueue);
    ASSERT_TRUE(fakes::runUntil(idle, [&] { return provider->flows.size() == kClients; }));
    for (std::size_t i = first; i < kClients; ++i) EXPECT_TRUE(provider->flows[i]->queue() == idleQueue);
    for (const auto& flow : provider->flows) closeFlow(flow);
    ASSERT_TRUE(fakes::runUntil(io, [&] {
        fakes::drain(idle);
        return host->liveFlows() == 0;
    }));
}

// A reconfiguration's stop keeps the sockets for the next start: what clients send
// meanwhile waits unread and is served once the proxy runs again, and a flow
// admitted before the stop still answers. Any other stop drops what comes.
struct StopCase {
    platform::ne::NEProviderStopReason reason;
    bool holds;
};

class ProviderHostStop : public ProviderHostTest, public ::testing::WithParamInterface<StopCase> {
protected:
    void SetUp() override { platform::setProcessClock(clock); }
    void TearDown() override {
        host.reset();
        platform::setProcessClock(nullptr);
    }
    bool stopped(platform::ne::NEProviderStopReason reason) {
        bool done = false;
        host->stopProxy(reason, [&] { done = true; });
        return fakes::runUntil(io, [&] { return done; });
    }

    std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
};

TEST_P(ProviderHostStop, AReconfigurationKeepsTheSocketsForTheNextStart) {
    start();
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", port, Datagram{1});
    ASSERT_TRUE(flowsOffered(1));
    auto inFlight = provider->flows.at(0);
    const auto batch = openAndRead(inFlight);
    ASSERT_TRUE(batch.endpoints);

    ASSERT_TRUE(stopped(GetParam().reason));
    EXPECT_FALSE(host->proxyRunning());
    EXPECT_EQ(host->holding(), GetParam().holds);
    client.sendTo("127.0.0.1", port, Datagram{2});
    client.sendTo("127.0.0.1", port, Datagram{3});
    if (GetParam().holds) {
        fakes::runUntil(
            io, [] { return false; }, std::chrono::milliseconds(50));
        EXPECT_EQ(host->counters().droppedNotRunning.load(), 0u);
    } else {
        ASSERT_TRUE(fakes::runUntil(io, [&] { return host->counters().droppedNotRunning.load() == 2; }));
    }
    EXPECT_EQ(provider->remotes.size(), 1u);

    // The flow of before the stop finishes through the kept socket.
    bool written = false;
    inFlight->writeDatagrams({{8}}, {batch.endpoints->at(0)},
                             [&](std::optional<FlowError> e) { written = !e; });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return written; }));
    const auto answer = client.receive(1000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes, Datagram{8});
    closeFlow(inFlight);

    host->startProxy(nlohmann::json::object());
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->proxyRunning(); }));
    EXPECT_FALSE(host->holding());
    if (!GetParam().holds) return;
    ASSERT_TRUE(flowsOffered(2));
    EXPECT_EQ(*openAndRead(provider->flows.at(1)).datagrams, (std::vector<Datagram>{{2}, {3}}));
    closeFlow(provider->flows.at(1));
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, ProviderHostStop,
    ::testing::Values(StopCase{platform::ne::NEProviderStopReason::configurationDisabled, true},
                      StopCase{platform::ne::NEProviderStopReason::superceded, true},
                      StopCase{platform::ne::NEProviderStopReason::configurationRemoved, false},
                      StopCase{platform::ne::NEProviderStopReason::userInitiated, false}),
    [](const auto& info) { return "Reason" + std::to_string(static_cast<int>(info.param.reason)); });

// A grace period that passes without a start (on the process clock) ends the hold
// and drops what waited; a removal in the middle of one ends it at once; a
// shutdown during one still ends cleanly.
TEST_F(ProviderHostTest, AGracePeriodEndsWithoutAStartOrAtARemoval) {
    auto clock = std::make_shared<platform::ManualClock>();
    platform::setProcessClock(clock);
    ProviderHostSettings settings;
    settings.stopGrace = std::chrono::milliseconds(1000);
    start(settings);
    fakes::LoopbackSocket client;
    const auto stop = [&](platform::ne::NEProviderStopReason reason) {
        bool done = false;
        host->stopProxy(reason, [&] { done = true; });
        return fakes::runUntil(io, [&] { return done; });
    };

    ASSERT_TRUE(stop(platform::ne::NEProviderStopReason::configurationDisabled));
    client.sendTo("127.0.0.1", port, Datagram{1});
    clock->advance(std::chrono::milliseconds(999));
    fakes::runUntil(
        io, [] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(host->holding());
    EXPECT_EQ(host->counters().droppedNotRunning.load(), 0u);
    clock->advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(fakes::runUntil(io, [&] { return !host->holding(); }));
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->counters().droppedNotRunning.load() == 1; }));

    // A start, then a second stop: the first grace timer no longer counts.
    host->startProxy(nlohmann::json::object());
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->proxyRunning(); }));
    ASSERT_TRUE(stop(platform::ne::NEProviderStopReason::superceded));
    clock->advance(std::chrono::milliseconds(500));
    host->startProxy(nlohmann::json::object());
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->proxyRunning(); }));
    ASSERT_TRUE(stop(platform::ne::NEProviderStopReason::configurationDisabled));
    clock->advance(std::chrono::milliseconds(600));  // the first period's end
    fakes::runUntil(
        io, [] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(host->holding());

    ASSERT_TRUE(stop(platform::ne::NEProviderStopReason::configurationRemoved));
    EXPECT_FALSE(host->holding());
    client.sendTo("127.0.0.1", port, Datagram{2});
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->counters().droppedNotRunning.load() == 2; }));
    EXPECT_EQ(provider->stopCount(), 3u) << "a removal after the stop stops no provider";

    ASSERT_TRUE(stop(platform::ne::NEProviderStopReason::configurationDisabled));  // not running: nothing
    host->startProxy(nlohmann::json::object());
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->proxyRunning(); }));
    ASSERT_TRUE(stop(platform::ne::NEProviderStopReason::configurationDisabled));
    bool done = false;
    host->shutdown([&] { done = true; });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return done; }));
    EXPECT_FALSE(host->holding());
    host.reset();
    clock->advance(std::chrono::seconds(2));  // a timer that fires after the host has gone does nothing
    fakes::drain(io);
    platform::setProcessClock(nullptr);
}

// With a control loop of its own, the host's starts, stops and grace timer run there
// and never on the io loop; on the real clock the grace timer is that loop's own: a
// period ends on it, and one whose host has gone touches nothing (ASan sees to it).
TEST_F(ProviderHostTest, AControlLoopOfItsOwnRunsTheStartsStopsAndGraceTimer) {
    ProviderHostSettings settings;
    settings.stopGrace = std::chrono::milliseconds(20);
    listenWithControlLoop(settings);
    const auto stop = [&](platform::ne::NEProviderStopReason reason) {
        bool done = false;
        host->stopProxy(reason, [&] { done = true; });
        return fakes::runUntil(control, [&] { return done; });
    };
    host->startProxy(nlohmann::json::object());
    fakes::drain(io);
    EXPECT_FALSE(host->proxyRunning()) << "the io loop ran control work";
    ASSERT_TRUE(fakes::runUntil(control, [&] { return host->proxyRunning(); }));
    ASSERT_TRUE(stop(platform::ne::NEProviderStopReason::configurationDisabled));
    EXPECT_TRUE(host->holding());
    ASSERT_TRUE(fakes::runUntil(control, [&] { return !host->holding(); }));
    host->startProxy(nlohmann::json::object());
    ASSERT_TRUE(fakes::runUntil(control, [&] { return host->proxyRunning(); }));
    ASSERT_TRUE(stop(platform::ne::NEProviderStopReason::superceded));
    EXPECT_TRUE(host->holding());
    host.reset();  // its grace timer armed
    fakes::drain(control);
    fakes::drain(io);
}

// Datagrams already read when a grace period begins are kept for the next start, up to 256 KiB:
// one receive takes 10 datagrams of one client, each its own flow; the stop comes while the first
// is offered, from another thread, as the control queue runs. Of the nine read behind it, eight of
// 32 KiB fill the bound exactly and are served at the start; the last, of one byte, is dropped.
TEST_F(ProviderHostTest, AGracePeriodKeepsAtMostItsBytesOfWhatWasRead) {
    auto clock = std::make_shared<platform::ManualClock>();
    platform::setProcessClock(clock);
    ProviderHostSettings settings;
    settings.maxDatagramsPerFlow = 1;
    listenWithControlLoop(settings);
    port = host->listeningEndpoints().front().port();
    host->startProxy(nlohmann::json::object());
    ASSERT_TRUE(fakes::runUntil(control, [&] { return host->proxyRunning(); }));
    bool stoppedOnce = false;
    provider->whileOffered = [&] {
        if (std::exchange(stoppedOnce, true)) return;
        std::thread controlThread([&] {
            std::atomic<bool> done{false};
            host->stopProxy(platform::ne::NEProviderStopReason::configurationDisabled, [&] { done = true; });
            while (!done) {
                control.restart();
                control.run_one_for(std::chrono::milliseconds(5));
            }
        });
        controlThread.join();
    };
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.1", port, Datagram{1});
    for (int i = 0; i < 8; ++i) client.sendTo("127.0.0.1", port, Datagram(32 * 1024, std::uint8_t(i)));
    client.sendTo("127.0.0.1", port, Datagram{2});
    ASSERT_TRUE(flowsOffered(1));
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->counters().droppedNotRunning.load() == 1; }));
    EXPECT_TRUE(host->holding());
    EXPECT_EQ(host->counters().received.load(), 10u);
    provider->whileOffered = nullptr;

    host->startProxy(nlohmann::json::object());
    ASSERT_TRUE(fakes::runUntil(control, [&] { return host->proxyRunning(); }));
    ASSERT_TRUE(flowsOffered(9));
    fakes::drain(io);
    EXPECT_EQ(provider->flows.size(), 9u);
    EXPECT_EQ(host->counters().droppedNotRunning.load(), 1u);
    for (std::size_t i = 1; i < provider->flows.size(); ++i) {
        const auto batch = openAndRead(provider->flows[i]);
        ASSERT_TRUE(batch.datagrams);
        EXPECT_EQ(*batch.datagrams, (std::vector<Datagram>{Datagram(32 * 1024, std::uint8_t(i - 1))})) << i;
    }
    for (const auto& flow : provider->flows) closeFlow(flow);
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host->liveFlows() == 0; }));
    host.reset();
    platform::setProcessClock(nullptr);
}

// Replies must leave from the address the client asked, also on a wildcard socket.
// Runs inside a network namespace of its own, so nothing listens on the machine's
// real interfaces.
TEST(ProviderHostNamespace, WildcardSocketAnswersFromTheQueriedAddress) {
    if (!std::getenv("KIV_NE_IN_NAMESPACE")) {
        const std::string command =
            "unshare -Urn sh -c 'ip link set lo up && KIV_NE_IN_NAMESPACE=1 exec \"$0\" "
            "--gtest_filter=ProviderHostNamespace.*' " +
            std::filesystem::read_symlink("/proc/self/exe").string() + " >/dev/null 2>&1";
        if (std::system("unshare -Urn true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no user namespaces here";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return;
    }
    asio::io_context io;
    auto provider = std::make_shared<RecordingProvider>();
    ProviderHostSettings settings;
    settings.listenAddresses = {"0.0.0.0"};
    settings.port = 0;
    ProviderHost host(io, provider, settings);
    host.listen();
    host.startProxy(nlohmann::json::object());
    ASSERT_TRUE(fakes::runUntil(io, [&] { return host.proxyRunning(); }));
    const auto port = host.listeningEndpoints().front().port();
    fakes::LoopbackSocket client;
    client.sendTo("127.0.0.2", port, Datagram{1});
    ASSERT_TRUE(fakes::runUntil(io, [&] { return provider->flows.size() == 1; }));
    auto flow = provider->flows[0];
    const auto local = flow->localEndpoint();
    EXPECT_EQ(platform::ne::hostEndpoint(*local)->hostname(), "127.0.0.2");
    bool opened = false;
    flow->open(*platform::ne::hostEndpoint(*local), [&](auto e) { opened = !e; });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return opened; }));
    std::optional<std::vector<NWEndpoint>> endpoints;
    flow->readDatagrams([&](auto, auto e, auto) { endpoints = e; });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return endpoints.has_value(); }));
    bool written = false;
    flow->writeDatagrams({{2}}, *endpoints, [&](auto e) { written = !e; });
    ASSERT_TRUE(fakes::runUntil(io, [&] { return written; }));
    const auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->fromAddress, "127.0.0.2");
    flow->closeRead(std::nullopt);
    flow->closeWrite(std::nullopt);
}

// A free port is one that no socket uses: the host's own sockets may share their
// port among themselves, and the kernel then hands them, for port 0, a port that
// another sharing socket (another proxy, another test) already listens on. With
// the ephemeral range cut to one port that such a socket holds, listening on port 0
// must fail instead of quietly sharing it. Runs in a network namespace of its own.
TEST(ProviderHostPortNamespace, PortZeroNeverSharesAPortInUse) {
    if (!std::getenv("KIV_NE_IN_NAMESPACE")) {
        const std::string command =
            "unshare -Urn sh -c 'ip link set lo up && echo \"40000 40000\" > "
            "/proc/sys/net/ipv4/ip_local_port_range && KIV_NE_IN_NAMESPACE=1 exec \"$0\" "
            "--gtest_filter=ProviderHostPortNamespace.*' " +
            std::filesystem::read_symlink("/proc/self/exe").string() + " >/dev/null 2>&1";
        if (std::system("unshare -Urn true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no user namespaces here";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return;
    }
    // Another process's socket that allows sharing, on the only ephemeral port.
    const int other = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(other, 0);
    const int one = 1;
    ::setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in held{};
    held.sin_family = AF_INET;
    held.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&held), sizeof held), 0);
    socklen_t length = sizeof held;
    ::getsockname(other, reinterpret_cast<sockaddr*>(&held), &length);
    const auto heldPort = ntohs(held.sin_port);
    ASSERT_EQ(heldPort, 40000);

    for (const unsigned sockets : {1u, 2u}) {
        asio::io_context io;
        ProviderHostSettings settings;
        settings.listenAddresses = {"127.0.0.1"};
        settings.port = 0;
        settings.socketsPerAddress = sockets;
        ProviderHost host(io, std::make_shared<RecordingProvider>(), settings);
        bool listening = false;
        try {
            host.listen();
            listening = true;
        } catch (const std::system_error&) {
        }
        if (listening) {
            EXPECT_NE(host.listeningEndpoints().front().port(), heldPort) << sockets << " sockets";
        }
    }
    ::close(other);
}

}  // namespace
