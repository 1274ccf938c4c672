// The application registers each of its seventeen services once: a type registered twice would
// silently replace the first record.
#include <gtest/gtest.h>

#include <set>
#include <typeindex>

#include "app/core/Dependencies.hpp"
#include "app/core/TestData.hpp"
#include "app/netext/SharedDefaultsManager.hpp"
#include "app/shell/Registrations.hpp"

namespace {

TEST(Registrations, SeventeenGlobalServicesOfDistinctTypes) {
    const auto services = kiv::applicationRegistrations();
    EXPECT_EQ(services.size(), 17u);
    std::set<std::type_index> types;
    for (const auto& service : services) {
        EXPECT_TRUE(types.insert(service.name).second) << service.name.name();
        EXPECT_EQ(service.cycle, kiv::Service::LifeCycle::global) << service.name.name();
        EXPECT_EQ(service.instance, nullptr) << "made at registration: " << service.name.name();
    }
}

// The registry-only routine: a fresh root of the same records, each made on first resolution and
// then shared; the registry it replaced keeps its own services.
TEST(Registrations, TheSecondRoutineMakesANewRootOfTheSameRecords) {
    const auto before = kiv::Dependencies::root();
    auto earlier = std::make_shared<kiv::Dependencies>(kiv::testDataService());
    kiv::Dependencies::setRoot(earlier);
    const auto earlierData = earlier->resolve<kiv::TestData>();

    kiv::registerApplicationServices();
    const auto root = kiv::Dependencies::root();
    EXPECT_NE(root, earlier);
    const auto data = root->resolve<kiv::TestData>();
    EXPECT_NE(data, earlierData);
    EXPECT_EQ(root->resolve<kiv::TestData>(), data);
    EXPECT_EQ(root->resolve<kiv::SharedDefaultsManager>(), root->resolve<kiv::SharedDefaultsManager>());
    EXPECT_EQ(earlier->resolve<kiv::TestData>(), earlierData);
    kiv::Dependencies::setRoot(before);
}

}  // namespace
