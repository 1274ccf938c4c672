#pragma once
// The provider host: stands in for the system that hands a DNS-proxy provider its
// DNS flows. It listens on the configured UDP addresses (several SO_REUSEPORT
// sockets per address), turns what one client sent to one local address in one
// receive into a flow (at most `maxDatagramsPerFlow` datagrams) and offers it to
// the provider while the proxy runs; refused flows and datagrams beyond the cap of
// live flows are dropped and counted. Starting and stopping the proxy run one at a
// time on the host's control queue.
//
// Threads: give the host one io_context per thread, each run by exactly one thread
// (or one io_context run by one thread). Every address gets its own sockets on
// every io_context, and each io_context reads only its own: the kernel spreads the
// clients over the sharing sockets by a hash of their addresses and ports, so a
// client's queries stay on one thread, and a datagram wakes only the thread whose
// socket it reached (sockets read from every thread would wake them all for each
// datagram, to find it taken). A flow's queue is the io_context its datagrams were
// read on, so a query is served on one thread with no strand and no hand-over. The
// public functions may be called from any thread. Destroy the host only after its
// io_contexts have stopped.
//
// Interception (settings.interception.enabled): while the proxy runs, the
// computer's UDP DNS is sent to the host's sockets whatever server it was meant
// for (platform/ne/Interception.hpp). It is installed once the provider has
// started and removed before the provider is told to stop, at shutdown, and when
// the host is destroyed. When it cannot be installed the proxy still runs, for
// the clients that query the listening addresses themselves, and says so.
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ne/HostUDPFlow.hpp"
#include "platform/ne/Interception.hpp"
#include "platform/ne/NEDNSProxyProvider.hpp"
#include "platform/ne/UDPListenerLinux.hpp"

namespace platform::ne {

struct ProviderHostSettings {
    std::vector<std::string> listenAddresses{"127.0.0.1", "::1"};
    std::uint16_t port = 53;         // 0 picks a free port (the same for every socket of an address)
    unsigned socketsPerAddress = 1;  // on each io_context
    std::size_t maxLiveFlows = 4096;
    std::size_t maxDatagramsPerFlow = 16;
    std::size_t receiveBatch = 32;
    // How long a shutdown waits for live flows to end.
    std::chrono::milliseconds drainTimeout{2000};
    // Off unless asked for: it changes the whole computer's (network namespace's) DNS.
    InterceptionSettings interception;
};

struct ProviderHostCounters {
    std::atomic<std::uint64_t> received{0};
    std::atomic<std::uint64_t> flowsOffered{0};
    std::atomic<std::uint64_t> flowsRefused{0};
    std::atomic<std::uint64_t> droppedNotRunning{0};
    std::atomic<std::uint64_t> droppedOverCap{0};
    std::atomic<std::uint64_t> droppedTruncated{0};
};

class ProviderHost {
public:
    ProviderHost(std::vector<asio::io_context*> ios, std::shared_ptr<NEDNSProxyProvider> provider,
                 ProviderHostSettings settings);
    ProviderHost(asio::io_context& io, std::shared_ptr<NEDNSProxyProvider> provider,
                 ProviderHostSettings settings)
        : ProviderHost(std::vector<asio::io_context*>{&io}, std::move(provider), std::move(settings)) {}
    ~ProviderHost();
    ProviderHost(const ProviderHost&) = delete;
    ProviderHost& operator=(const ProviderHost&) = delete;

    // Binds every socket and starts receiving. Throws std::system_error (or
    // std::invalid_argument for an address that is not an IP literal); a fixed port
    // that any other socket already holds on an address is refused.
    void listen();
    std::vector<asio::ip::udp::endpoint> listeningEndpoints() const;

    // Starts the proxy with `options` unless it runs; `done` gets the start's error.
    // `intercept` false keeps this run listening only, even with interception enabled.
    void startProxy(StartOptions options, std::function<void(std::optional<std::string>)> done = {},
                    bool intercept = true);
    // Stops the proxy when it runs; `done` runs afterwards in any case.
    void stopProxy(NEProviderStopReason reason, std::function<void()> done = {});
    bool proxyRunning() const { return running_.load(); }
    // Whether the computer's DNS is sent to the host now.
    bool intercepting() const { return interception_ && interception_->installed(); }
    // Told (on the control queue) each time the proxy starts (true) or stops (false).
    // Set before listen().
    void setProxyStateObserver(std::function<void(bool)> observer) { observer_ = std::move(observer); }

    // Stops receiving, stops the proxy and waits up to drainTimeout for the live
    // flows; flows still live then are handed to `endFlows` (when given), which gets
    // another drainTimeout; then calls `done`. Once only.
    void shutdown(std::function<void()> done, std::function<void()> endFlows = {});
    // SIGTERM and SIGINT run shutdown(done, endFlows); SIGHUP is ignored (logged the
    // first time).
    void shutdownOnSignals(std::function<void()> done, std::function<void()> endFlows = {});

    std::size_t liveFlows() const { return gate_->live.load(); }
    const ProviderHostCounters& counters() const { return counters_; }

private:
    void sayCapReached();
    void startIntercepting();  // control queue
    void stopIntercepting();   // control queue
    void avoidForwarders(bool avoid);  // control queue
    struct Listening {
        std::shared_ptr<UDPListener> listener;
        Queue queue;  // the listener's io_context: the queue of its flows
        asio::io_context* io;
    };
    void receiveOn(const Listening& listening);
    void onReadable(const Listening& listening);
    void offer(const Listening& listening, const asio::ip::udp::endpoint& local,
               const asio::ip::udp::endpoint& client, std::vector<Datagram> batch);
    void drain(std::chrono::steady_clock::time_point until, std::function<void()> done);
    void waitForSignal(std::function<void()> done, std::function<void()> endFlows);

    std::vector<asio::io_context*> ios_;
    std::shared_ptr<NEDNSProxyProvider> provider_;
    ProviderHostSettings settings_;
    Queue control_;
    std::shared_ptr<FlowGate> gate_;
    std::vector<Listening> listeners_;
    std::atomic<bool> running_{false};
    std::atomic<bool> receiving_{false};
    bool shuttingDown_ = false;  // control queue
    std::function<void(bool)> observer_;
    std::unique_ptr<asio::signal_set> signals_;
    bool hangUpSeen_ = false;  // on the first io_context
    std::unique_ptr<asio::steady_timer> drainTimer_;
    ProviderHostCounters counters_;
    std::atomic<std::int64_t> lastCapMessage_{0};  // steady-clock ns of the last cap message
    std::unique_ptr<Interception> interception_;    // when enabled
    bool forwardersAvoided_ = false;                 // control queue
};

}  // namespace platform::ne
