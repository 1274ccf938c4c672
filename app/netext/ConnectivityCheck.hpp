#pragma once
// The settings of a connectivity check: NCSICheck (the check's endpoint and the reply it gives
// when the network is open) and SanityCheck (a resolver sanity checker with its timing values).
// Both only hold their values; no request is sent and no timer runs. Any thread.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/Injected.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/core/Service.hpp"
#include "app/netext/NetworkCheck.hpp"
#include "platform/Dispatch.hpp"

namespace kiv {

struct NCSICheck {
    // The check's URL loader; none is made while no check runs.
    std::shared_ptr<void> session;
    std::string statusURL = "http://status.brannockcloud.com/";
    std::string excpectedReply = "Connect_test_succeeded";
};

class SanityCheck {
public:
    SanityCheck();

    platform::DispatchQueuePtr concurrentQueue;
    std::optional<std::vector<std::string>> resolvers;
    Injected<NetworkCheck> _networkCheck;
    Injected<NotificationPublisher> _notificationPublisher;
    Injected<NCSICheck> _ncsiCheck;
    int checkTime = 20;
    int tolerance = 3;
};

// The registry's record: lifetime `global`, a value with the defaults above.
Service ncsiCheckService();

}  // namespace kiv
