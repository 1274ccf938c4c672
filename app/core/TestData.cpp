#include "app/core/TestData.hpp"

#include <memory>
#include <utility>

#include "platform/NoDestructor.hpp"

namespace kiv {

TestData& TestData::shared() {
    static platform::NoDestructor<TestData> instance;
    return *instance;
}

std::optional<TestData::Rules> TestData::testForwardingRules() const {
    std::lock_guard lock(mutex_);
    return testForwardingRules_;
}

void TestData::setTestForwardingRules(std::optional<Rules> rules) {
    std::lock_guard lock(mutex_);
    testForwardingRules_ = std::move(rules);
}

Service testDataService() {
    return Service::make<TestData>(Service::LifeCycle::global, [] { return std::make_shared<TestData>(); });
}

}  // namespace kiv
