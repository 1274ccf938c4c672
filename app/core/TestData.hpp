#pragma once
// Forwarding rules that a tester sets by hand (the local-rules window) and that the provider
// configuration uses instead of the server's. TestData::shared() is the process-wide instance;
// the registry's testDataService() makes a separate one the same way.
//
// Threads: any; the rules are guarded by the instance's own lock.
#include <mutex>
#include <optional>
#include <vector>

#include "app/core/Service.hpp"
#include "model/ForwardingRule.hpp"

namespace kiv {

class TestData {
public:
    using Rules = std::vector<model::ForwardingRule>;

    // Made on first use, lives until the process ends.
    static TestData& shared();

    std::optional<Rules> testForwardingRules() const;
    void setTestForwardingRules(std::optional<Rules> rules);

private:
    mutable std::mutex mutex_;
    std::optional<Rules> testForwardingRules_;  // absent until set
};

// The registry's record: `global`, a new TestData with no rules.
Service testDataService();

}  // namespace kiv
