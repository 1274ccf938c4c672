#include "dnsproxy/DaemonOptions.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "platform/ne/DNSProxyPreferences.hpp"

namespace dnsproxy {

namespace {

std::optional<unsigned long> number(const std::string& text, unsigned long max) {
    unsigned long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > max)
        return std::nullopt;
    return value;
}

std::optional<std::chrono::nanoseconds> seconds(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0 ||
        value > 86400) {
        return std::nullopt;
    }
    return std::chrono::nanoseconds(static_cast<std::int64_t>(value * 1e9));
}

}  // namespace

std::string daemonUsage() {
    return "usage: kivdnsproxy [--vendor-data FILE | --preferences FILE] [--listen ADDRESS]...\n"
           "                   [--port N] [--upstream-port N] [--reply-timeout SECONDS]\n"
           "                   [--resolv-conf FILE] [--threads N] [--max-flows N] [--syslog]\n"
           "                   [--no-intercept] [--stall-loop N]\n"
           "       kivdnsproxy --clear-interception\n"
           "\n"
           "While the proxy runs, every UDP DNS query of this computer is sent to it (nftables table\n"
           "inet " +
           std::string(platform::ne::kInterceptionTable) +
           ", needs CAP_NET_ADMIN). --no-intercept, or \"intercept\": false in the\n"
           "preferences file, keeps it listening only. --clear-interception removes the table\n"
           "(left by a daemon that was killed) and exits. --stall-loop N is a test aid: SIGUSR1\n"
           "then makes io loop N (from 0) stop turning, as a hung loop would, and the watchdog\n"
           "stops telling the service manager that the daemon lives.\n";
}

ParsedOptions parseDaemonOptions(const std::vector<std::string>& arguments) {
    DaemonOptions options;
    options.preferencesPath = platform::ne::defaultDNSProxyPreferencesPath();
    options.host.interception.enabled = true;
    bool listenGiven = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name == "--syslog") {
            options.syslog = true;
            continue;
        }
        if (name == "--no-intercept") {
            options.host.interception.enabled = false;
            continue;
        }
        if (name == "--clear-interception") {
            options.clearInterception = true;
            continue;
        }
        if (i + 1 >= arguments.size()) return {std::nullopt, name + " needs a value"};
        const std::string& value = arguments[++i];
        const auto bad = [&] {
            return ParsedOptions{std::nullopt,
                                 std::string("bad value for ").append(name).append(": ").append(value)};
        };
        if (name == "--vendor-data") {
            options.vendorDataPath = value;
        } else if (name == "--preferences") {
            options.preferencesPath = value;
        } else if (name == "--listen") {
            if (!listenGiven) options.host.listenAddresses.clear();
            listenGiven = true;
            options.host.listenAddresses.push_back(value);
        } else if (name == "--port") {
            const auto port = number(value, 65535);
            if (!port) return bad();
            options.host.port = static_cast<std::uint16_t>(*port);
        } else if (name == "--upstream-port") {
            const auto port = number(value, 65535);
            if (!port || *port == 0) return bad();
            options.proxy.upstreamPort = static_cast<std::uint16_t>(*port);
        } else if (name == "--reply-timeout") {
            const auto timeout = seconds(value);
            if (!timeout) return bad();
            options.proxy.replyDeadline = *timeout;
        } else if (name == "--resolv-conf") {
            options.proxy.resolvConfPath = value;
        } else if (name == "--threads") {
            const auto threads = number(value, 256);
            if (!threads || *threads == 0) return bad();
            options.threads = static_cast<unsigned>(*threads);
        } else if (name == "--stall-loop") {
            const auto loop = number(value, 255);
            if (!loop) return bad();
            options.stallLoop = static_cast<unsigned>(*loop);
        } else if (name == "--max-flows") {
            const auto flows = number(value, 1'000'000);
            if (!flows || *flows == 0) return bad();
            options.host.maxLiveFlows = *flows;
        } else {
            return {std::nullopt, "unknown option " + name};
        }
    }
    return {std::move(options), {}};
}

}  // namespace dnsproxy
