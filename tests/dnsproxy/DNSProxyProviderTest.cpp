#include <gtest/gtest.h>

#include <thread>

#include "ProxyFixture.hpp"
#include "QueryFixtures.hpp"
#include "dnsproxy/DNSProxyProvider.hpp"
#include "fakes/ne/FakeNWConnection.hpp"
#include "fakes/ne/FakeUDPFlow.hpp"
#include "fakes/ne/IoRunner.hpp"

namespace {

using dnsproxy::DNSProxyProvider;
using fakes::FakeUDPFlow;
using nlohmann::json;
using platform::ne::NEProviderStopReason;
using platform::ne::NWConnectionState;
using testing_dnsproxy::query;

json validVendorData() {
    return json{{"uuid", "u-1"}, {"locationTag", "home"}, {"resolvers", {"127.0.0.9"}}};
}

class SpyAppLink final : public dnsproxy::AppLink {
public:
    void startListener() override { ++listeners; }
    bool proxyStopped(std::int64_t reason) override {
        reasons.push_back(reason);
        return true;
    }
    int listeners = 0;
    std::vector<std::int64_t> reasons;
};

class DNSProxyProviderTest : public testing_dnsproxy::ProxyFixture {
protected:
    void start(std::shared_ptr<dnsproxy::AppLink> link = nullptr) {
        provider = DNSProxyProvider::make(settings, link ? link : dnsproxy::makeDefaultAppLink());
    }
    void startProxy(platform::ne::StartOptions options) {
        bool done = false;
        provider->startProxy(options, [&](std::optional<std::string> error) {
            EXPECT_FALSE(error);
            done = true;
        });
        EXPECT_TRUE(done);
    }
    std::shared_ptr<FakeUDPFlow> offer(std::vector<testing_dnsproxy::Bytes> datagrams,
                                       bool* admitted = nullptr) {
        auto flow = std::make_shared<FakeUDPFlow>(queue);
        flow->readEndpointsResult = std::vector<platform::ne::NWEndpoint>(datagrams.size(), client);
        flow->readDatagramsResult = std::move(datagrams);
        const bool taken = provider->handleNewUDPFlow(flow, client);
        if (admitted) *admitted = taken;
        fakes::drain(io);
        return flow;
    }

    std::shared_ptr<DNSProxyProvider> provider;
};

TEST_F(DNSProxyProviderTest, RefusesEveryFlowUntilItHasAValidConfiguration) {
    start();
    bool admitted = true;
    offer({query(1, "a")}, &admitted);
    EXPECT_FALSE(admitted);
    startProxy(json{{"Other", 1}});
    EXPECT_TRUE(logs.contains("KIVDNSProxyProvider: startProxy"));
    EXPECT_FALSE(provider->haveValidConfig());
    EXPECT_FALSE(provider->providerConfig());
    offer({query(1, "a")}, &admitted);
    EXPECT_FALSE(admitted);
    EXPECT_FALSE(provider->handleNewFlow(nullptr));

    startProxy(json{{"VendorData", "not a dictionary"}});
    EXPECT_FALSE(provider->haveValidConfig());
    startProxy(json{{"VendorData", validVendorData()}});
    EXPECT_TRUE(provider->haveValidConfig());
    offer({query(1, "a")}, &admitted);
    EXPECT_TRUE(admitted);
    EXPECT_EQ(provider->flowCount(), 1u);
    EXPECT_FALSE(provider->handleNewFlow(nullptr));

    // An empty dictionary replaces the configuration with the defaults.
    startProxy(json{{"VendorData", json::object()}});
    EXPECT_FALSE(provider->haveValidConfig());
    EXPECT_EQ(provider->providerConfig()->uuid, "");
}

TEST_F(DNSProxyProviderTest, StopTellsTheAppDropsTheFlowsAndKeepsTheConfiguration) {
    auto link = std::make_shared<SpyAppLink>();
    start(link);
    startProxy(json{{"VendorData", validVendorData()}});
    offer({query(1, "a")});
    ASSERT_EQ(provider->flowCount(), 1u);
    bool stopped = false;
    provider->stopProxy(NEProviderStopReason::configurationDisabled, [&] { stopped = true; });
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(logs.contains("KIVDNSProxyProvider: stopProxy 9"));
    EXPECT_EQ(link->reasons, std::vector<std::int64_t>{9});
    EXPECT_FALSE(provider->haveValidConfig());
    EXPECT_EQ(provider->flowCount(), 0u);
    ASSERT_TRUE(provider->providerConfig());

    startProxy(std::nullopt);  // revalidates what it kept
    EXPECT_TRUE(provider->haveValidConfig());

    // The flow dropped by the stop still runs; shutdown ends it.
    factory.last()->deliver({NWConnectionState::Kind::ready, std::nullopt});
    fakes::drain(io);
    provider->endAllFlows();
    fakes::drain(io);
    EXPECT_TRUE(factory.last()->cancelled);
}

TEST_F(DNSProxyProviderTest, AStopWithoutTheAppStillCompletes) {
    start();
    bool stopped = false;
    provider->stopProxy(NEProviderStopReason::userInitiated, [&] { stopped = true; });
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(logs.contains("Cannot prompt user because the app isn't registered"));
}

TEST_F(DNSProxyProviderTest, SleepAndWakeOnlyLog) {
    start();
    bool done = false;
    provider->sleep([&] { done = true; });
    provider->wake();
    EXPECT_TRUE(done);
    EXPECT_TRUE(logs.contains("KIVDDNSProxyProvider: sleep"));
    EXPECT_TRUE(logs.contains("KIVDDNSProxyProvider: wake"));
}

TEST_F(DNSProxyProviderTest, CompletionSweepCancelsOnlyConnectionsIdleMoreThanThirtySeconds) {
    settings.sweepInterval = std::chrono::nanoseconds(0);
    start();
    startProxy(json{{"VendorData", validVendorData()}});
    const auto ready = [&](std::size_t index) {
        (*factory.made)[index]->deliver({NWConnectionState::Kind::ready, std::nullopt});
        fakes::drain(io);
    };
    offer({query(1, "idle.test")});  // connection 0: asks for its reply at time 0
    ready(0);
    offer({query(2, "b.test")});  // connection 1
    offer({query(3, "c.test")});  // connection 2
    ASSERT_EQ(provider->flowCount(), 3u);

    clock->advance(std::chrono::seconds(30));
    ready(1);
    (*factory.made)[1]->reply(testing_dnsproxy::reply((*factory.made)[1]->sent[0].content));
    fakes::drain(io);
    EXPECT_EQ(provider->flowCount(), 2u);
    EXPECT_FALSE((*factory.made)[0]->cancelled) << "exactly 30.0 s is not idle enough";

    clock->advance(std::chrono::seconds(1));
    ready(2);
    (*factory.made)[2]->reply(testing_dnsproxy::reply((*factory.made)[2]->sent[0].content));
    fakes::drain(io);
    EXPECT_TRUE((*factory.made)[0]->cancelled);
    // The cancelled flow ends too, and leaves the set.
    EXPECT_EQ(provider->flowCount(), 0u);
}

TEST_F(DNSProxyProviderTest, ManyFlowsFromManyThreads) {
    start();
    startProxy(json{{"VendorData", validVendorData()}});
    asio::io_context pool;
    auto guard = asio::make_work_guard(pool);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&] { pool.run(); });
    std::atomic<int> admitted{0};
    std::vector<std::thread> offerers;
    for (int t = 0; t < 4; ++t) {
        offerers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto flow = std::make_shared<FakeUDPFlow>(
                    platform::ne::makeQueue(pool));  // empty batch: ends at once
                if (provider->handleNewUDPFlow(flow, client)) ++admitted;
            }
        });
    }
    for (auto& t : offerers) t.join();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (provider->flowCount() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    guard.reset();
    for (auto& t : threads) t.join();
    EXPECT_EQ(admitted.load(), 800);
    EXPECT_EQ(provider->flowCount(), 0u);
}

// A stop that comes while other threads offer flows: after it, the provider lists
// no flow, and each flow it took, before or during the stop, is still reached by
// the shutdown's endAllFlows, so none is left running unseen.
TEST_F(DNSProxyProviderTest, AStopDuringOffersListsNoFlowAndLosesNone) {
    start();
    startProxy(json{{"VendorData", validVendorData()}});
    asio::io_context pool;  // run only at the end: every admitted flow waits there
    std::mutex takenMutex;
    std::vector<std::shared_ptr<FakeUDPFlow>> taken;
    std::atomic<bool> go{false};
    std::atomic<int> offered{0};
    std::vector<std::thread> offerers;
    for (int t = 0; t < 4; ++t) {
        offerers.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < 300; ++i) {
                auto flow = std::make_shared<FakeUDPFlow>(platform::ne::makeQueue(pool));
                const bool admitted = provider->handleNewUDPFlow(flow, client);
                ++offered;  // before the stop, every offer is admitted
                if (!admitted) continue;
                std::lock_guard lock(takenMutex);
                taken.push_back(flow);
            }
        });
    }
    go = true;
    while (offered < 400) std::this_thread::yield();
    provider->stopProxy(NEProviderStopReason::userInitiated, nullptr);
    for (auto& t : offerers) t.join();
    EXPECT_EQ(provider->flowCount(), 0u);
    EXPECT_GE(taken.size(), 400u);
    provider->endAllFlows();
    fakes::drain(pool);
    for (const auto& flow : taken) {
        EXPECT_EQ(flow->closeReadCalls, 1);
        EXPECT_EQ(flow->closeWriteCalls, 1);
    }
}

}  // namespace
