// kivdnsproxy: the DNS-proxy extension as a Linux daemon. The provider host stands
// in for the system that hands the extension its DNS flows; the proxy is started
// from --vendor-data or by the DNS-proxy preferences that the application saves.
// While the proxy runs, the host intercepts the computer's UDP DNS, unless told not to.
#include <malloc.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <thread>
#include <utility>

#include "dnsproxy/AppLink.hpp"
#include "dnsproxy/DNSProxyProvider.hpp"
#include "dnsproxy/DaemonOptions.hpp"
#include "platform/Dispatch.hpp"
#include "platform/SystemLog.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"
#include "platform/ne/Interception.hpp"
#include "platform/ne/IoLoop.hpp"
#include "platform/ne/LoopHeartbeat.hpp"
#include "platform/ne/PreferencesController.hpp"
#include "platform/ne/ProviderHost.hpp"

namespace {

void say(const std::string& line) { std::cout << "kivdnsproxy: " << line << std::endl; }

int fail(const std::string& message) {
    std::cerr << "kivdnsproxy: " << message << std::endl;
    return 1;
}

// Whether our interception table is in place, for the last words of a process
// that is ending abnormally: a proxy that is gone must not hold the computer's DNS.
std::atomic<bool> intercepting{false};

[[noreturn]] void terminateWithoutInterception() {
    if (intercepting.load()) platform::ne::clearInterception();
    std::abort();
}

// The computer's own DNS servers are the ones it used before the proxy took its
// DNS: with systemd-resolved's stub in resolv.conf, resolved's upstream servers.
// Any other name server on this computer forwards its queries over port 53, and
// those are intercepted like any other: a query sent to it would come back to the
// proxy, again and again, so it is never the proxy's upstream.
void chooseComputerDNS(dnsproxy::DaemonOptions& options) {
    if (!options.host.interception.enabled) return;
    const platform::SystemLog log("com.veltrix.kiv.KIVDNSProxy", "host");
    const auto original = options.proxy.resolvConfPath;
    options.proxy.resolvConfPath = platform::ne::computerResolvConf(original);
    if (options.proxy.resolvConfPath != original) {
        log.notice("The computer's DNS servers are systemd-resolved's: " + options.proxy.resolvConfPath);
    }
    const auto& listening = options.host.listenAddresses;
    for (const auto& server : platform::ne::loopbackNameServers(options.proxy.resolvConfPath)) {
        // The proxy itself (the computer pointed at it) is left out when the proxy starts.
        const bool ours = options.host.port == options.proxy.upstreamPort &&
                          std::find(listening.begin(), listening.end(), server) != listening.end();
        if (ours) continue;
        log.error("The computer's DNS server " + server +
                  " forwards from this computer: while its queries are intercepted it is not used (it would "
                  "send them back to the proxy); name the servers it forwards to in \"localDNS\"");
        options.host.interception.localForwarders.emplace_back(asio::ip::make_address(server),
                                                               options.proxy.upstreamPort);
    }
}

// systemd's (or the supervising application's) watchdog is told only while every io
// loop keeps turning; nothing when none is asked for.
std::unique_ptr<platform::ne::LoopWatchdog> watchLoops(const std::vector<asio::io_context*>& ios,
                                                       std::vector<platform::ne::LoopHeartbeat>& heartbeats) {
    const auto interval = platform::ne::LoopWatchdog::requestedInterval();
    if (!interval) return nullptr;
    platform::ne::HeartbeatChecker checker;
    for (std::size_t i = 0; i < ios.size(); ++i) {
        // A ring loop's heartbeat says when it waits; one Asio runs is woken to find out.
        auto& loop = platform::ne::IoLoop::of(*ios[i]);
        checker.watch(heartbeats[i],
                      loop.waitsItself() ? std::function<void()>() : platform::ne::wakeLoop(*ios[i]));
    }
    // Said once for each time a loop stops.
    auto said = std::make_shared<bool>(false);
    return std::make_unique<platform::ne::LoopWatchdog>(
        std::move(checker), *interval,
        [said] {
            *said = false;
            ::sd_notify(0, "WATCHDOG=1");
        },
        [said](const std::vector<std::size_t>& dead) {
            if (std::exchange(*said, true)) return;
            std::string loops;
            for (const auto loop : dead) loops += (loops.empty() ? "" : ", ") + std::to_string(loop);
            platform::SystemLog("com.veltrix.kiv.KIVDNSProxy", "host")
                .error("io loop " + loops +
                       " stopped turning: the watchdog is no longer told the daemon lives");
        });
}

// --stall-loop: SIGUSR1 leaves one io loop inside a turn for good, as a livelock would.
void stallOnSignal(asio::io_context& signalled, asio::io_context& stalled) {
    auto signals = std::make_shared<asio::signal_set>(signalled, SIGUSR1);
    signals->async_wait([signals, &stalled](const asio::error_code& ec, int) {
        if (ec) return;
        platform::ne::IoLoop::of(stalled).post([] {
            for (;;) ::pause();
        });
    });
}

// The signals the control loop answers reach the main thread alone: an io thread's
// wait is the ring's, which a signal only interrupts, so a handler run there would
// be the control loop's news arriving on a thread that does not read it.
void leaveSignalsToTheControlLoop() {
    sigset_t handled;
    sigemptyset(&handled);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&handled, signal);
    ::pthread_sigmask(SIG_BLOCK, &handled, nullptr);
}

// Fixed allocator thresholds: glibc raises both of its own each time a large block
// is freed, after which the io threads' arenas keep the peak of a burst for good,
// and even a trim at the burst's end cannot return their tops.
void boundTheHeapsPeak() {
    ::mallopt(M_MMAP_THRESHOLD, 4 * 1024);
    ::mallopt(M_TRIM_THRESHOLD, 128 * 1024);
}

}  // namespace

// An exception that escapes ends in terminateWithoutInterception, which removes the table first.
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
    const auto parsed = dnsproxy::parseDaemonOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::cerr << "kivdnsproxy: " << parsed.error << "\n" << dnsproxy::daemonUsage();
        return 2;
    }
    auto options = *parsed.options;
    boundTheHeapsPeak();
    if (options.help) {
        std::cout << dnsproxy::daemonUsage();
        return 0;
    }
    if (options.syslog) platform::setLogOutput(platform::LogOutput::syslog);
    if (options.clearInterception) {
        if (const auto error = platform::ne::clearInterception(); !error.empty()) {
            return fail("cannot remove the interception table: " + error);
        }
        say("interception removed");
        return 0;
    }
    chooseComputerDNS(options);
    std::set_terminate(terminateWithoutInterception);

    std::optional<nlohmann::json> vendorData;
    if (options.vendorDataPath) {
        std::string error;
        const auto text = platform::ne::readSmallFile(*options.vendorDataPath, 1 << 20, error);
        if (!text) return fail("cannot read the provider configuration: " + error);
        auto json = platform::ne::parseBoundedJSON(*text);
        if (json.is_discarded() || !json.is_object()) {
            return fail("the provider configuration in " + *options.vendorDataPath +
                        " is not a JSON object (or is nested more than " +
                        std::to_string(platform::ne::kMaxJSONDepth) + " deep)");
        }
        // A file given by hand is refused whole rather than run half-working: each
        // reason is one the provider would log at every start.
        if (const auto problems = dnsproxy::configurationProblems(json); !problems.empty()) {
            std::string message =
                "the provider configuration in " + *options.vendorDataPath + " cannot be used:";
            for (const auto& problem : problems) message += "\n  " + problem;
            return fail(message);
        }
        vendorData = std::move(json);
    }

    const unsigned threads =
        options.threads ? options.threads : std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    // The main thread's loop: the control plane (the host's starts, stops, grace period
    // and shutdown, the signals, the preferences) and the main queue's work (the
    // application link, the watchdog), so that the io threads serve queries only.
    asio::io_context control(1);
    auto controlWork = asio::make_work_guard(control);
    // One io_context per thread: each thread serves its own sockets and flows.
    std::vector<std::unique_ptr<asio::io_context>> contexts;
    std::vector<asio::io_context*> ios;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> work;
    for (unsigned i = 0; i < threads; ++i) {
        contexts.push_back(std::make_unique<asio::io_context>(1));
        ios.push_back(contexts.back().get());
        work.push_back(asio::make_work_guard(*contexts.back()));
    }
    if (options.stallLoop && *options.stallLoop >= threads) {
        return fail("--stall-loop " + std::to_string(*options.stallLoop) + " names no io loop (there are " +
                    std::to_string(threads) + ")");
    }
    // One heartbeat per io loop; none moves once the loops run.
    std::vector<platform::ne::LoopHeartbeat> heartbeats(threads);
    auto appLink = dnsproxy::makeDefaultAppLink();
    auto provider = dnsproxy::DNSProxyProvider::make(options.proxy, appLink);
    const dnsproxy::AppLinkListening appLinkListening(appLink);

    platform::ne::ProviderHost host(ios, provider, options.host, control);
    host.setProxyStateObserver([&host](bool running) {
        // Also while stopped: a reconfiguration keeps the table for a moment.
        intercepting = host.intercepting();
        if (!running) {
            say("proxy stopped");
        } else {
            say(intercepting ? "proxy started, intercepting the computer's DNS" : "proxy started");
        }
    });
    try {
        host.listen();
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    for (const auto& endpoint : host.listeningEndpoints()) {
        say("listening on " + endpoint.address().to_string() + " port " + std::to_string(endpoint.port()));
    }

    std::unique_ptr<platform::ne::PreferencesController> controller;
    if (vendorData) {
        host.startProxy(nlohmann::json{{"VendorData", *vendorData}}, [](std::optional<std::string> error) {
            if (error) say("proxy start failed: " + *error);
        });
    } else {
        controller =
            std::make_unique<platform::ne::PreferencesController>(control, host, options.preferencesPath);
        try {
            controller->start();
        } catch (const std::exception& error) {
            return fail(error.what());
        }
        say("following " + options.preferencesPath);
    }

    host.shutdownOnSignals(
        [&] {
            work.clear();
            for (auto* context : ios) platform::ne::IoLoop::of(*context).stop();
            controlWork.reset();
            control.stop();
        },
        [provider] { provider->endAllFlows(); });

    if (options.stallLoop) stallOnSignal(control, *ios[*options.stallLoop]);

    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < ios.size(); ++i) {
        workers.emplace_back([context = ios[i], &heartbeat = heartbeats[i]] {
            leaveSignalsToTheControlLoop();
            platform::ne::IoLoop::of(*context).run(heartbeat);
        });
    }
    // Main-queue work is turned from the control loop: one wait for the main thread.
    std::atomic<bool> mainTurnAsked{false};
    const auto turnMainQueue = [&control, &mainTurnAsked] {
        if (mainTurnAsked.exchange(true)) return;
        asio::post(control, [&mainTurnAsked] {
            // Cleared first: work queued while this turn runs asks for the next.
            mainTurnAsked = false;
            platform::runMainLoopOnce(std::chrono::milliseconds(0));
        });
    };
    platform::setMainLoopWaker(turnMainQueue);
    turnMainQueue();  // what was queued before
    auto watchdog = watchLoops(ios, heartbeats);
    control.run();
    watchdog.reset();
    platform::setMainLoopWaker(nullptr);
    for (auto& worker : workers) worker.join();
    controller.reset();
    say("stopped");
    return 0;
}
