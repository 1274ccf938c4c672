#pragma once
// The command line of kivdnsproxy:
//
//   kivdnsproxy [--vendor-data FILE | --preferences FILE] [--listen ADDRESS]...
//               [--port N] [--upstream-port N] [--reply-timeout SECONDS]
//               [--resolv-conf FILE] [--threads N] [--max-flows N] [--syslog]
//               [--no-intercept] [--stall-loop N]
//   kivdnsproxy --clear-interception
//
// --vendor-data starts the proxy at once with the provider configuration in FILE
// (a JSON object, the "VendorData" the application saves; one that would drop
// queries or leave a rule unused is refused, with its reasons); without it the daemon
// follows the DNS-proxy preferences file (platform/ne/DNSProxyPreferences.hpp).
// While the proxy runs, the daemon intercepts the computer's UDP DNS
// (platform/ne/Interception.hpp) unless --no-intercept or the preferences'
// "intercept": false says otherwise. --clear-interception removes a table that a
// killed daemon left behind, and exits. --stall-loop is a test aid: SIGUSR1 then
// makes io loop N stop turning, as a hung loop would, so that the watchdog
// (platform/ne/LoopHeartbeat.hpp) is seen to stop telling the service manager.
#include <optional>
#include <string>
#include <vector>

#include "dnsproxy/ProxySettings.hpp"
#include "platform/ne/ProviderHost.hpp"

namespace dnsproxy {

struct DaemonOptions {
    std::optional<std::string> vendorDataPath;
    std::string preferencesPath;
    unsigned threads = 0;  // 0: one per core, at most 8
    bool syslog = false;
    bool help = false;
    bool clearInterception = false;
    std::optional<unsigned> stallLoop;  // --stall-loop: below threads, checked by main
    ProxySettings proxy;
    platform::ne::ProviderHostSettings host;
};

struct ParsedOptions {
    std::optional<DaemonOptions> options;
    std::string error;  // when options is absent
};

ParsedOptions parseDaemonOptions(const std::vector<std::string>& arguments);
std::string daemonUsage();

}  // namespace dnsproxy
