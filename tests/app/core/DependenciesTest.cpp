// The service registry: lifetimes, replacement, lazy injection, concurrent first resolution and
// the fatal paths.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Dependencies.hpp"
#include "app/core/Injected.hpp"
#include "app/core/LoggerService.hpp"

namespace kiv {
namespace {

struct Counter {
    int id;
};
struct Other {
    std::shared_ptr<Counter> counter;
};
struct Unregistered {};
struct SelfDependent {};

std::atomic<int> made{0};

Service counterService(Service::LifeCycle cycle) {
    return Service::make<Counter>(cycle, [] { return Counter{++made}; });
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { made = 0; }
    void TearDown() override { Dependencies::setRoot(nullptr); }
};

TEST_F(RegistryTest, GlobalIsMadeOnceOnFirstResolution) {
    Dependencies registry({counterService(Service::LifeCycle::global)});
    EXPECT_EQ(made, 0);
    auto first = registry.resolve<Counter>();
    auto second = registry.resolve<Counter>();
    EXPECT_EQ(made, 1);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->id, 1);
}

TEST_F(RegistryTest, OneOfIsMadeOnEveryResolution) {
    Dependencies registry(counterService(Service::LifeCycle::oneOf));
    auto first = registry.resolve<Counter>();
    auto second = registry.resolve<Counter>();
    EXPECT_NE(first, second);
    EXPECT_EQ(first->id, 1);
    EXPECT_EQ(second->id, 2);
}

TEST_F(RegistryTest, LaterRecordForTheSameTypeReplaces) {
    Dependencies registry({Service::make<Counter>(Service::LifeCycle::global, [] { return Counter{100}; }),
                           Service::make<Counter>(Service::LifeCycle::global, [] { return Counter{200}; })});
    EXPECT_EQ(registry.resolve<Counter>()->id, 200);
}

TEST_F(RegistryTest, FactoryMayResolveOtherServices) {
    Dependencies registry({counterService(Service::LifeCycle::global),
                           Service::make<Other>(Service::LifeCycle::global, [](Dependencies& r) {
                               return Other{r.resolve<Counter>()};
                           })});
    auto other = registry.resolve<Other>();
    EXPECT_EQ(other->counter, registry.resolve<Counter>());
}

TEST_F(RegistryTest, ConcurrentFirstResolutionMakesOneInstance) {
    Dependencies registry(counterService(Service::LifeCycle::global));
    constexpr int kThreads = 16;
    std::latch start(kThreads);
    std::vector<std::shared_ptr<Counter>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            seen[i] = registry.resolve<Counter>();
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(made, 1);
    for (const auto& s : seen) EXPECT_EQ(s, seen[0]);
}

TEST_F(RegistryTest, InjectedResolvesLazilyFromTheRootAtFirstRead) {
    Injected<Counter> early;  // made before any registry exists
    Dependencies::setRoot(std::make_shared<Dependencies>(counterService(Service::LifeCycle::global)));
    EXPECT_EQ(made, 0);
    EXPECT_EQ(early->id, 1);
    Injected<Counter> copy = early;
    EXPECT_EQ(copy.wrappedValue(), early.wrappedValue());
    // A new root does not change what was already read.
    Dependencies::setRoot(std::make_shared<Dependencies>(
        Service::make<Counter>(Service::LifeCycle::global, [] { return Counter{99}; })));
    EXPECT_EQ(early->id, 1);
    EXPECT_EQ(Injected<Counter>()->id, 99);
}

TEST_F(RegistryTest, InjectedCachesEvenForOneOf) {
    Dependencies::setRoot(std::make_shared<Dependencies>(counterService(Service::LifeCycle::oneOf)));
    Injected<Counter> member;
    EXPECT_EQ(member->id, 1);
    EXPECT_EQ(member->id, 1);
    EXPECT_EQ(made, 1);
}

TEST_F(RegistryTest, LoggerIsAGlobalServiceWithoutSetUp) {
    Dependencies::setRoot(std::make_shared<Dependencies>(loggerService()));
    Injected<KIVLogger> a;
    Injected<KIVLogger> b;
    EXPECT_EQ(a.wrappedValue(), b.wrappedValue());
    EXPECT_FALSE(a->hasSetup());
    EXPECT_EQ(a->logLevel(), model::LogLevel::production);
    EXPECT_FALSE(a->deviceConfigResponse());
    EXPECT_FALSE(a->consoleDestination());
}

using RegistryDeathTest = RegistryTest;

TEST_F(RegistryDeathTest, UnregisteredTypeStopsTheProcess) {
    Dependencies registry(counterService(Service::LifeCycle::global));
    EXPECT_DEATH(registry.resolve<Unregistered>(), "Fatal error");
    EXPECT_DEATH(Injected<Unregistered>().wrappedValue(), "Fatal error");
}

TEST_F(RegistryDeathTest, InjectedWithoutResolverStopsTheProcess) {
    Injected<Counter> member{Injected<Counter>::Delayed{}};
    EXPECT_DEATH(member.wrappedValue(), "Fatal error");
}

TEST_F(RegistryDeathTest, ServiceThatNeedsItselfStopsInsteadOfHanging) {
    Dependencies registry(Service::make<SelfDependent>(Service::LifeCycle::global, [](Dependencies& r) {
        r.resolve<SelfDependent>();
        return SelfDependent{};
    }));
    EXPECT_DEATH(registry.resolve<SelfDependent>(), "Fatal error");
}

}  // namespace
}  // namespace kiv
