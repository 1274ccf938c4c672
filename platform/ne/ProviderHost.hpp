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
// every io_context, and each io_context reads only its own, so a datagram wakes
// only the thread whose socket it reached (sockets read from every thread would
// wake them all for each datagram, to find it taken). Threads join in only under
// load (ThreadsUnderLoad): the sharing sockets of an address get the queries of the
// active threads alone, spread by DNS id and client port, so that at a low rate one thread
// takes them all and serves several per wake-up instead of every thread waking for
// one each. Every socket stays open and read, so a datagram that reaches an
// inactive thread's socket while the count changes is still served. A flow's
// queue is the io_context its datagrams were read on, so a query is served on one
// thread with no strand and no hand-over. The public functions may be called from
// any thread. Destroy the host only after its io_contexts have stopped.
//
// The control queue (starts, stops, the grace period, the shutdown and its drain, the
// signals) runs on `control` when given: an io_context of its own, run by a thread that
// serves no queries (the daemon's main thread), so that a loop busy with queries never
// delays a stop and a stop never waits behind queries. Without one it runs on the
// first io_context.
//
// Interception (settings.interception.enabled): while the proxy runs, the
// computer's UDP DNS is sent to the host's sockets whatever server it was meant
// for (platform/ne/Interception.hpp). It is installed once the provider has
// started and removed before the provider is told to stop, at shutdown, and when
// the host is destroyed. When it cannot be installed the proxy still runs, for
// the clients that query the listening addresses themselves, and says so.
//
// A reconfiguration (a stop for configurationDisabled or superceded, which the
// application's reset and a changed configuration make) does not open a hole in
// between: the provider stops as usual, but for stopGrace the host keeps the
// interception table and leaves its sockets unread, so that what clients send
// meanwhile waits in the socket buffers; a start within the grace period serves it
// with the new provider, and only a grace period that passes without one removes
// the table (and drops what waited). Any other stop (a removal of the preferences,
// that is a user quit; a shutdown) removes the table at once, also in the middle of a
// grace period. Flows already admitted finish either way.
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/LogLimiter.hpp"
#include "platform/ne/HostUDPFlow.hpp"
#include "platform/ne/Interception.hpp"
#include "platform/ne/IoLoop.hpp"
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
    // Off: every thread takes queries all the time (the kernel's hash of the clients).
    bool threadsJoinUnderLoad = true;
    // How long a shutdown waits for live flows to end; those still live then are
    // ended, and get a quarter of it more. A service manager's stop is answered
    // within 2 s whatever is in flight.
    std::chrono::milliseconds drainTimeout{1200};
    // How long a reconfiguration's stop keeps the table and the unread sockets for
    // the next start (on the process clock); 0 stops at once.
    std::chrono::milliseconds stopGrace{1000};
    // Off unless asked for: it changes the whole computer's (network namespace's) DNS.
    InterceptionSettings interception;
};

// How many of the host's threads take queries: one while one copes, twice as many
// as soon as the active ones fall behind (a window in which their wake-ups found
// several queries waiting each) or come near it (a window in which they were busy
// for most of its time: a thread that works 95% of the time still takes one or two
// queries per wake-up, but any pause of a few milliseconds leaves it a queue it
// needs a hundred to work off), fewer again once the rate has stayed, for a quiet
// period, at no more than half of what the fewer threads were seen to cope with
// and the work would keep the fewer threads less than kFallShare busy.
// The halving keeps a steady rate from moving the count to and fro; a fall that
// proves wrong (busy again soon after) doubles the quiet period asked before the
// next, up to kLongestQuiet. Decided on whatever clock the caller reads; not
// thread-safe.
class ThreadsUnderLoad {
public:
    using Duration = std::chrono::nanoseconds;
    static constexpr Duration kWindow = std::chrono::milliseconds(100);
    static constexpr Duration kQuiet = std::chrono::seconds(2);
    static constexpr Duration kLongestQuiet = std::chrono::seconds(64);
    // A window is busy when its wake-ups took at least this many queries each, and
    // this many in all for each kWindow it lasted (one client's burst alone is no
    // load).
    static constexpr std::uint64_t kBusyPerWake = 4;
    static constexpr std::uint64_t kBusyMinimum = 64;
    // A window is busy, too, when the threads' CPU time came to this share of it for
    // each active thread.
    static constexpr double kBusyShare = 0.6;
    // A fall leaves each of the fewer threads at most this share of CPU time.
    static constexpr double kFallShare = 0.4;

    ThreadsUnderLoad(unsigned threads, Duration now)
        : threads_(threads ? threads : 1), windowStart_(now), quietSince_(now) {}
    unsigned active() const { return active_; }
    // The active threads' wake-ups and the queries they took since the last call (or
    // the start), up to `now`, and the CPU time the threads used meanwhile; returns
    // the active count from now on.
    unsigned observe(Duration now, std::uint64_t wakes, std::uint64_t datagrams,
                     Duration cpu = Duration::zero());

private:
    unsigned threads_;
    unsigned active_ = 1;
    Duration windowStart_;
    Duration quietSince_;
    Duration quiet_ = kQuiet;  // asked before a fall
    std::optional<Duration> lastFall_;
    double perThread_ = 0;     // queries/s per active thread when they last fell behind
    double quietPeak_ = 0;     // the highest rate since quietSince_
    double quietCpuPeak_ = 0;  // the highest CPU share (threads' CPU time / time) since quietSince_
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
    ProviderHost(std::vector<asio::io_context*> ios, std::shared_ptr<NEDNSProxyProvider> provider,
                 ProviderHostSettings settings, asio::io_context& control);
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
    // Within a reconfiguration's grace period it takes over the kept table and what
    // waited in the sockets.
    void startProxy(StartOptions options, std::function<void(std::optional<std::string>)> done = {},
                    bool intercept = true);
    // Stops the proxy when it runs; `done` runs afterwards in any case. The reasons
    // configurationDisabled and superceded begin a grace period (above); any other
    // reason also ends one that runs.
    void stopProxy(NEProviderStopReason reason, std::function<void()> done = {});
    bool proxyRunning() const { return running_.load(); }
    // Whether a reconfiguration's grace period runs: the proxy is stopped, the
    // sockets are left unread and the table stays.
    bool holding() const { return held_.load(); }
    // Whether the computer's DNS is sent to the host now.
    bool intercepting() const { return interception_ && interception_->installed(); }
    // Told (on the control queue) each time the proxy starts (true) or stops (false).
    // Set before listen().
    void setProxyStateObserver(std::function<void(bool)> observer) { observer_ = std::move(observer); }

    // Stops receiving, stops the proxy and waits up to drainTimeout for the live
    // flows (and for the sockets' receives to end); flows still live then are handed
    // to `endFlows` (when given), which gets a quarter of drainTimeout more; then
    // calls `done`. Once only.
    void shutdown(std::function<void()> done, std::function<void()> endFlows = {});
    // SIGTERM and SIGINT run shutdown(done, endFlows); SIGHUP is ignored (logged the
    // first time).
    void shutdownOnSignals(std::function<void()> done, std::function<void()> endFlows = {});

    std::size_t liveFlows() const { return gate_->live.load(); }
    const ProviderHostCounters& counters() const { return counters_; }

private:
    void sayCapReached();
    void startIntercepting();          // control queue
    void stopIntercepting();           // control queue
    void avoidForwarders(bool avoid);  // control queue
    struct Listening {
        std::shared_ptr<UDPListener> listener;
        Queue queue;  // the listener's io_context: the queue of its flows
        asio::io_context* io;
        std::size_t thread;  // index of io in ios_
    };
    // Written by its own thread only; a cache line each, so that threads do not
    // contend for the counters.
    struct alignas(64) ThreadLoad {
        std::atomic<std::uint64_t> wakes{0};
        std::atomic<std::uint64_t> datagrams{0};
        std::atomic<bool> cpuClockKnown{false};
        std::atomic<int> cpuClock{0};  // the thread's CPU-time clock (a clockid_t)
    };
    // The CPU time the host's threads have used (those that have taken a query).
    Clock::Duration threadsCpu() const;
    void noteLoad(std::size_t thread, std::uint64_t datagrams);
    void decideThreads(Clock::Duration now);
    void steer(unsigned threads);  // loadMutex_ held
    void receiveOn(const Listening& listening);
    // Reads what is readable, unless a grace period leaves the socket unread.
    void serveReadable(const Listening& listening);
    // True when it stopped reading because a grace period began.
    bool onReadable(const Listening& listening);
    void offer(const Listening& listening, const asio::ip::udp::endpoint& local,
               const asio::ip::udp::endpoint& client, std::vector<Datagram> batch);
    // Calls `done` once no flow is live and every listener's receive has ended, or
    // when `timeout` has passed (control queue). No wake-up in between: the last
    // flow's end and each listener's end tell the control queue to look.
    void drain(std::chrono::milliseconds timeout, std::function<void()> done);
    bool drained() const;
    void drainMayHaveEnded();  // control queue
    // A reconfiguration's grace period (control queue, but for the receive side's
    // parkWhileHeld and holdBatch).
    struct HeldBatch {
        Listening listening;
        asio::ip::udp::endpoint local;
        asio::ip::udp::endpoint client;
        std::vector<Datagram> datagrams;
    };
    void beginHold();
    // Serves (after a start) or drops what waited, and reads the sockets again.
    void endHold(bool serve);
    void armGraceTimer(Clock::Duration left);
    void graceTimerFired();
    bool parkWhileHeld(const Listening& listening);
    bool holdBatch(const Listening& listening, const asio::ip::udp::endpoint& local,
                   const asio::ip::udp::endpoint& client, std::vector<Datagram>& batch);
    void waitForSignal(std::function<void()> done, std::function<void()> endFlows);

    std::vector<asio::io_context*> ios_;
    std::shared_ptr<NEDNSProxyProvider> provider_;
    ProviderHostSettings settings_;
    IoLoop* controlLoop_;  // the control queue's thread: its timers
    Queue control_;
    std::shared_ptr<FlowGate> gate_;
    std::vector<Listening> listeners_;
    std::atomic<bool> running_{false};
    std::atomic<bool> receiving_{false};
    bool shuttingDown_ = false;  // control queue
    std::function<void(bool)> observer_;
    std::unique_ptr<asio::signal_set> signals_;
    bool hangUpSeen_ = false;                     // control queue
    std::unique_ptr<IoLoop::Timer> drainTimer_;   // the drain's deadline
    std::function<void()> drainDone_;             // control queue: while a drain waits
    std::uint64_t drainGeneration_ = 0;           // control queue: the deadline that counts
    std::atomic<std::size_t> listenersEnded_{0};  // receives ended by the shutdown
    ProviderHostCounters counters_;
    LogLimiter capLog_{std::chrono::seconds(10)};  // the cap message, on the steady clock
    std::unique_ptr<Interception> interception_;   // when enabled
    bool forwardersAvoided_ = false;               // control queue
    // Threads joining under load: set up by listen() when the host has several
    // threads, and left off (the kernel's hash) when the kernel refuses the steering.
    platform::ClockPtr clock_;
    std::unique_ptr<ThreadLoad[]> threadLoad_;
    std::atomic<bool> steering_{false};
    std::atomic<std::int64_t> nextDecision_{0};      // clock_'s monotonic ns: a window's end
    std::atomic<std::int64_t> earliestDecision_{0};  // the same: no decision before
    std::mutex loadMutex_;
    std::optional<ThreadsUnderLoad> load_;                    // loadMutex_
    std::uint64_t seenWakes_ = 0;                             // loadMutex_
    std::uint64_t seenDatagrams_ = 0;                         // loadMutex_
    Clock::Duration seenCpu_{0};                              // loadMutex_
    std::vector<std::shared_ptr<UDPListener>> groupLeaders_;  // one socket per address
    // The grace period. held_ is set before running_ falls and cleared after it rises,
    // so a receive that finds the proxy stopped while held_ is set waits for the
    // start instead of being dropped.
    std::atomic<bool> held_{false};
    std::mutex holdMutex_;
    std::vector<const Listening*> parked_;  // holdMutex_: sockets left unread (in listeners_)
    std::vector<HeldBatch> heldBatches_;    // holdMutex_: read just as the hold began
    std::size_t heldBytes_ = 0;             // holdMutex_
    // The grace timer, on the control queue alone: the process clock's time at which the
    // grace period ends, while one runs. On a clock that moves by itself a timer of the
    // control queue's loop fires then; on one that moves only when told (a test's) each
    // move has it look. A wake-up for an ended period, or after the host has gone
    // (alive_ let go), does nothing.
    std::optional<Clock::Duration> graceDue_;
    std::unique_ptr<IoLoop::Timer> graceTimer_;
    ClockWatch graceWatch_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace platform::ne
