// The application registers each of its seventeen services once: a type registered twice would
// silently replace the first record.
#include <gtest/gtest.h>

#include <set>
#include <typeindex>

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

}  // namespace
