#pragma once
// The extension's tunables, fixed for the life of a provider. The defaults are the
// product's behaviour; tests and the stand-in resolver of scripts/run change the
// upstream port, the deadlines, the resolv.conf path and the clock.
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/Clock.hpp"
#include "platform/ne/NWConnection.hpp"
#include "platform/ne/NWUDPConnection.hpp"

namespace dnsproxy {

struct ProxySettings {
    // Where upstream resolvers listen.
    std::uint16_t upstreamPort = 53;
    // An upstream connection that has no answer this long after it last asked for
    // one (or after it was made) is ended, and its flow closed. A stub resolver gives
    // up on a query after about 5 s (and asks again, as a new flow); holding the flow
    // of a lost answer longer only holds its socket and a place under the cap of live
    // flows, so that an upstream losing queries would soon have every new query refused.
    std::chrono::nanoseconds replyDeadline = std::chrono::seconds(5);
    // The completion sweep cancels other flows' upstream connections idle longer than this.
    std::chrono::nanoseconds sweepIdleLimit = std::chrono::seconds(30);
    // Completions within this interval of the last sweep do not sweep again (a
    // sweep looks at every live flow; the reply deadline bounds every flow anyway).
    std::chrono::nanoseconds sweepInterval = std::chrono::seconds(1);
    // The computer's own DNS servers, for rules that name no resolver and a
    // configuration without "localDNS"; read at each start.
    std::string resolvConfPath = "/etc/resolv.conf";
    platform::ClockPtr clock = platform::systemClock();
    platform::ne::NWConnectionFactory connectionFactory = platform::ne::NWUDPConnection::factory();
};

}  // namespace dnsproxy
