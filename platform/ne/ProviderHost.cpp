#include "platform/ne/ProviderHost.hpp"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "platform/Recycled.hpp"
#include "platform/SystemLog.hpp"
#include "platform/ne/IoLoop.hpp"
#include "platform/ne/OwnEndpoints.hpp"
#include "platform/ne/UringLoop.hpp"

namespace platform::ne {

namespace {

// How many receive batches one wake-up of a socket may take before it lets other
// sockets have the thread.
constexpr int kRoundsPerWake = 8;

// Between two decisions on the active threads, at the least: time for the threads
// that joined to take their share before the count is looked at again.
constexpr Clock::Duration kSoonestDecision = std::chrono::milliseconds(10);

struct Group {
    asio::ip::udp::endpoint local;
    asio::ip::udp::endpoint source;
    std::vector<Datagram> datagrams;
};

// A port on `address` that no socket uses now. The listeners allow sharing their
// port among themselves, so the kernel would hand them, for port 0, a port that
// another sharing socket already listens on; a probe that allows no sharing gets a
// port nothing holds.
std::uint16_t freePort(asio::io_context& io, const asio::ip::address& address) {
    const asio::ip::udp::endpoint any(address, 0);
    asio::ip::udp::socket probe(io);
    asio::error_code ec;
    probe.open(any.protocol(), ec);
    if (!ec && address.is_v6()) probe.set_option(asio::ip::v6_only(true), ec);
    if (!ec) probe.bind(any, ec);
    const auto bound = ec ? asio::ip::udp::endpoint() : probe.local_endpoint(ec);
    if (ec) throw std::system_error(ec, "cannot find a free port on " + address.to_string());
    return bound.port();
}

// Refuses a port that another process already serves on `address`. The host's own
// sockets share their port through SO_REUSEPORT, which the kernel also grants to
// any other socket of the same user that asks for it: a second daemon would start
// and quietly take a share of the queries. A probe that asks for no sharing at all
// (neither SO_REUSEPORT nor SO_REUSEADDR) cannot bind a port any socket holds, ours
// or another's, so it is made before ours exist and closed before they bind. Our
// listeners set no SO_REUSEADDR, so a later socket cannot join them that way
// either; what remains is a program that sets SO_REUSEPORT itself under our user,
// or two daemons started in the same instant, which a service manager does not do.
void checkPortFree(asio::io_context& io, const asio::ip::udp::endpoint& endpoint) {
    asio::ip::udp::socket probe(io);
    asio::error_code ec;
    probe.open(endpoint.protocol(), ec);
    if (!ec && endpoint.address().is_v6()) probe.set_option(asio::ip::v6_only(true), ec);
    if (!ec) probe.bind(endpoint, ec);
    if (!ec) return;
    const std::string where = endpoint.address().to_string() + " port " + std::to_string(endpoint.port());
    if (ec == asio::error::address_in_use) {
        throw std::system_error(ec, "cannot listen on " + where + ": another process already serves it");
    }
    throw std::system_error(ec, "cannot listen on " + where);
}

}  // namespace

unsigned ThreadsUnderLoad::observe(Duration now, std::uint64_t wakes, std::uint64_t datagrams, Duration cpu) {
    const Duration elapsed = now - windowStart_;
    if (elapsed <= Duration::zero()) return active_;
    windowStart_ = now;
    const double rate = static_cast<double>(datagrams) / std::chrono::duration<double>(elapsed).count();
    const double cpuShare = std::chrono::duration<double>(cpu) / std::chrono::duration<double>(elapsed);
    // The minimum is a rate: a window that began long ago (nothing came for a while)
    // needs as many more.
    const bool enough = datagrams >= kBusyMinimum &&
                        static_cast<double>(datagrams) * kWindow.count() >=
                            static_cast<double>(kBusyMinimum) * static_cast<double>(elapsed.count());
    if (enough && (datagrams >= kBusyPerWake * wakes || cpuShare >= kBusyShare * active_)) {
        if (lastFall_ && now - *lastFall_ < quiet_) quiet_ = std::min(quiet_ * 2, kLongestQuiet);
        lastFall_.reset();
        perThread_ = rate / active_;
        quietSince_ = now;
        quietPeak_ = 0;
        quietCpuPeak_ = 0;
        active_ = std::min(threads_, active_ * 2);
        return active_;
    }
    quietPeak_ = std::max(quietPeak_, rate);
    quietCpuPeak_ = std::max(quietCpuPeak_, cpuShare);
    if (active_ == 1 || now - quietSince_ < quiet_) return active_;
    // Enough threads that each would run at no more than half the rate the fewer
    // fell behind at.
    const double needed = std::max(perThread_ > 0 ? std::ceil(quietPeak_ / (perThread_ / 2)) : 1,
                                   std::ceil(quietCpuPeak_ / kFallShare));
    if (needed < active_) {
        active_ = std::max(1u, static_cast<unsigned>(needed));
        lastFall_ = now;
    }
    quietSince_ = now;
    quietPeak_ = 0;
    quietCpuPeak_ = 0;
    return active_;
}

ProviderHost::ProviderHost(std::vector<asio::io_context*> ios, std::shared_ptr<NEDNSProxyProvider> provider,
                           ProviderHostSettings settings)
    : ProviderHost(ios, std::move(provider), std::move(settings), *ios.at(0)) {}

ProviderHost::ProviderHost(std::vector<asio::io_context*> ios, std::shared_ptr<NEDNSProxyProvider> provider,
                           ProviderHostSettings settings, asio::io_context& control)
    : ios_(std::move(ios)),
      provider_(std::move(provider)),
      settings_(std::move(settings)),
      controlLoop_(&IoLoop::of(control)),
      control_(makeQueue(controlLoop_->queue())),
      gate_(std::make_shared<FlowGate>(settings_.maxLiveFlows)),
      clock_(platform::processClock()),
      threadLoad_(std::make_unique<ThreadLoad[]>(ios_.size())) {
    if (settings_.maxDatagramsPerFlow == 0) settings_.maxDatagramsPerFlow = 1;
    if (settings_.socketsPerAddress == 0) settings_.socketsPerAddress = 1;
    if (settings_.interception.enabled)
        interception_ = std::make_unique<Interception>(settings_.interception);
}

ProviderHost::~ProviderHost() {
    // No move of a test's clock reaches the host from here on, and what is already
    // queued for it finds alive_ gone.
    graceWatch_.reset();
    gate_->whenEmptied(nullptr);  // flows may outlive the host
    alive_.reset();
    if (interception_) stopIntercepting();
    for (const auto& listening : listeners_) {
        listening.listener->cancel();
        OwnEndpoints::shared().remove(listening.listener->boundEndpoint());
    }
}

void ProviderHost::listen() {
    useRings(ios_);
    for (const auto& text : settings_.listenAddresses) {
        asio::error_code ec;
        const auto address = asio::ip::make_address(text, ec);
        if (ec) throw std::invalid_argument("listen address is not an IP address: " + text);
        std::uint16_t port = settings_.port;
        if (port) {
            checkPortFree(*ios_.front(), asio::ip::udp::endpoint(address, port));
        } else {
            port = freePort(*ios_.front(), address);
        }
        const bool reusePort = settings_.socketsPerAddress * ios_.size() > 1;
        // Bound thread by thread: a group's members are numbered in the order they
        // joined, so the first active threads' sockets are its first members.
        for (std::size_t thread = 0; thread < ios_.size(); ++thread) {
            auto* io = ios_[thread];
            for (unsigned i = 0; i < settings_.socketsPerAddress; ++i) {
                auto listener = std::make_shared<UDPListener>(*io, asio::ip::udp::endpoint(address, port),
                                                              reusePort, settings_.receiveBatch);
                port = listener->boundEndpoint().port();
                if (thread == 0 && i == 0) groupLeaders_.push_back(listener);
                listeners_.push_back(Listening{std::move(listener), IoLoop::of(*io).queue(), io, thread});
            }
        }
    }
    if (settings_.threadsJoinUnderLoad && ios_.size() > 1) {
        std::lock_guard lock(loadMutex_);
        const auto now = clock_->monotonic();
        load_.emplace(static_cast<unsigned>(ios_.size()), now);
        nextDecision_ = (now + ThreadsUnderLoad::kWindow).count();
        earliestDecision_ = (now + kSoonestDecision).count();
        steering_ = true;
        steer(load_->active());
    }
    for (const auto& listening : listeners_) OwnEndpoints::shared().add(listening.listener->boundEndpoint());
    receiving_ = true;
    for (const auto& listening : listeners_) receiveOn(listening);
}

std::vector<asio::ip::udp::endpoint> ProviderHost::listeningEndpoints() const {
    std::vector<asio::ip::udp::endpoint> result;
    for (const auto& listening : listeners_) {
        const auto& bound = listening.listener->boundEndpoint();
        if (std::find(result.begin(), result.end(), bound) == result.end()) result.push_back(bound);
    }
    return result;
}

void ProviderHost::receiveOn(const Listening& listening) {
    if (!receiving_) return;
    // `listening` is an element of listeners_, which stays as listen() made it: the
    // handler holds its address alone and so fits in the function without a heap
    // block, once per wake-up.
    listening.listener->waitReadable([this, &listening](const asio::error_code& ec) {
        if (ec || !receiving_) return;
        serveReadable(listening);
    });
}

void ProviderHost::serveReadable(const Listening& listening) {
    // A socket left unread is read again by the grace period's end (endHold); one
    // whose reading stopped for a grace period that has ended meanwhile goes on.
    while (!parkWhileHeld(listening)) {
        if (!onReadable(listening)) {
            receiveOn(listening);
            return;
        }
    }
}

bool ProviderHost::onReadable(const Listening& listening) {
    const auto& listener = listening.listener;
    thread_local std::vector<Group> groups;
    std::uint64_t taken = 0;
    bool held = false;
    for (int round = 0; round < kRoundsPerWake && receiving_; ++round) {
        if (held_.load(std::memory_order_relaxed)) {
            held = true;
            break;
        }
        std::size_t truncated = 0;
        auto& received = listener->receive(truncated);
        if (truncated) counters_.droppedTruncated += truncated;
        if (received.empty()) {
            if (truncated) continue;
            break;
        }
        taken += received.size();
        counters_.received += received.size();
        groups.clear();
        for (const auto& item : received) {
            auto it = std::find_if(groups.begin(), groups.end(), [&](const Group& g) {
                return g.source == item.source && g.local == item.local &&
                       g.datagrams.size() < settings_.maxDatagramsPerFlow;
            });
            if (it == groups.end()) {
                it = groups.insert(groups.end(),
                                   Group{item.local, item.source, Recycled<std::vector<Datagram>>::take()});
            }
            // In memory that an earlier query of this thread gave back.
            it->datagrams.push_back(Recycled<Datagram>::take());
            it->datagrams.back().assign(item.data.begin(), item.data.end());
        }
        for (auto& group : groups) offer(listening, group.local, group.source, std::move(group.datagrams));
        if (received.size() < settings_.receiveBatch) break;
    }
    if (steering_.load(std::memory_order_relaxed)) noteLoad(listening.thread, taken);
    return held;
}

void ProviderHost::noteLoad(std::size_t thread, std::uint64_t datagrams) {
    auto& load = threadLoad_[thread];
    if (!load.cpuClockKnown.load(std::memory_order_relaxed)) {
        clockid_t cpuClock;
        if (::pthread_getcpuclockid(::pthread_self(), &cpuClock) == 0) {
            load.cpuClock.store(cpuClock, std::memory_order_relaxed);
            load.cpuClockKnown.store(true, std::memory_order_release);
        }
    }
    load.wakes.fetch_add(1, std::memory_order_relaxed);
    load.datagrams.fetch_add(datagrams, std::memory_order_relaxed);
    const auto now = clock_->monotonic();
    // A wake-up that found a busy window's worth waiting need not wait for the
    // window's end: the sooner more threads join, the shorter the queue.
    const auto& due = datagrams >= ThreadsUnderLoad::kBusyMinimum ? earliestDecision_ : nextDecision_;
    if (now.count() < due.load(std::memory_order_relaxed)) return;
    decideThreads(now);
}

void ProviderHost::decideThreads(Clock::Duration now) {
    // One thread decides; the others carry on serving.
    std::unique_lock lock(loadMutex_, std::try_to_lock);
    if (!lock.owns_lock() || !load_ || now.count() < earliestDecision_.load(std::memory_order_relaxed))
        return;
    std::uint64_t wakes = 0;
    std::uint64_t taken = 0;
    for (std::size_t i = 0; i < ios_.size(); ++i) {
        wakes += threadLoad_[i].wakes.load(std::memory_order_relaxed);
        taken += threadLoad_[i].datagrams.load(std::memory_order_relaxed);
    }
    const auto cpu = threadsCpu();
    const unsigned before = load_->active();
    const unsigned after = load_->observe(now, wakes - seenWakes_, taken - seenDatagrams_,
                                          std::max(Clock::Duration::zero(), cpu - seenCpu_));
    seenWakes_ = wakes;
    seenDatagrams_ = taken;
    seenCpu_ = cpu;
    nextDecision_.store((now + ThreadsUnderLoad::kWindow).count(), std::memory_order_relaxed);
    earliestDecision_.store((now + kSoonestDecision).count(), std::memory_order_relaxed);
    if (after != before) steer(after);
}

Clock::Duration ProviderHost::threadsCpu() const {
    // A system call per thread, once per window of a busy host: nothing while idle.
    Clock::Duration total{0};
    for (std::size_t i = 0; i < ios_.size(); ++i) {
        const auto& load = threadLoad_[i];
        if (!load.cpuClockKnown.load(std::memory_order_acquire)) continue;
        timespec used{};
        if (::clock_gettime(load.cpuClock.load(std::memory_order_relaxed), &used) != 0) continue;
        total += std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
    }
    return total;
}

void ProviderHost::steer(unsigned threads) {
    for (const auto& leader : groupLeaders_) {
        const int error = leader->steer(threads * settings_.socketsPerAddress);
        if (error == 0) continue;
        // Every thread takes queries, as the kernel's hash spreads them.
        steering_ = false;
        load_.reset();
        for (const auto& other : groupLeaders_) other->steer(0);
        SystemLog("com.veltrix.kiv.KIVDNSProxy", "host")
            .error(std::string("Every thread takes queries, also at a low rate: the kernel refused to steer "
                               "them (") +
                   std::strerror(error) + ")");
        return;
    }
}

void ProviderHost::offer(const Listening& listening, const asio::ip::udp::endpoint& local,
                         const asio::ip::udp::endpoint& client, std::vector<Datagram> batch) {
    if (!running_.load(std::memory_order_acquire) && holdBatch(listening, local, client, batch)) return;
    if (!running_.load(std::memory_order_acquire)) {
        counters_.droppedNotRunning += batch.size();
        return;
    }
    if (!gate_->enter()) {
        counters_.droppedOverCap += batch.size();
        sayCapReached();
        return;
    }
    auto flow = HostUDPFlow::make(listening.listener, local, client, std::move(batch),
                                  IoLoop::of(*listening.io), gate_);
    ++counters_.flowsOffered;
    if (!provider_->handleNewUDPFlow(flow, NWEndpoint(NWHostEndpoint(client)))) ++counters_.flowsRefused;
}

// Said at most once per 10 s: at the cap every datagram would say it again.
void ProviderHost::sayCapReached() {
    if (!capLog_.allowNow()) return;
    SystemLog("com.veltrix.kiv.KIVDNSProxy", "host")
        .error("Live-flow cap of " + std::to_string(settings_.maxLiveFlows) +
               " reached: queries are dropped (" + std::to_string(counters_.droppedOverCap.load()) +
               " so far; raise --max-flows)");
}

void ProviderHost::startProxy(StartOptions options, std::function<void(std::optional<std::string>)> done,
                              bool intercept) {
    asio::post(control_, [this, options = std::move(options), done = std::move(done), intercept]() mutable {
        if (shuttingDown_ || running_) {
            if (done)
                done(shuttingDown_ ? std::optional<std::string>("the host is shutting down") : std::nullopt);
            return;
        }
        // Before the provider reads the computer's DNS servers at its start.
        if (interception_ && intercept) avoidForwarders(true);
        provider_->startProxy(options,
                              [this, done = std::move(done), intercept](std::optional<std::string> error) {
                                  // Flows are offered from the start's completion on.
                                  if (!error) running_ = true;
                                  // A table kept through a reconfiguration is this run's unless it only
                                  // listens.
                                  if (error || !intercept) stopIntercepting();
                                  if (!error && intercept && !shuttingDown_ && !intercepting())
                                      startIntercepting();
                                  if (!intercepting()) avoidForwarders(false);
                                  if (held_) endHold(!error);
                                  if (!error && observer_) observer_(true);
                                  if (done) done(std::move(error));
                              });
    });
}

namespace {

// The stops of a reconfiguration, which a start follows within moments: the
// application's reset (disable, then enable) and a changed configuration.
bool reconfiguring(NEProviderStopReason reason) {
    return reason == NEProviderStopReason::configurationDisabled ||
           reason == NEProviderStopReason::superceded;
}

// What a grace period keeps of the datagrams read just as it began, at most: the
// rest waits in the socket buffers.
constexpr std::size_t kMaxHeldBytes = 256 * 1024;

}  // namespace

void ProviderHost::stopProxy(NEProviderStopReason reason, std::function<void()> done) {
    asio::post(control_, [this, reason, done = std::move(done)]() mutable {
        const bool hold = reconfiguring(reason) && settings_.stopGrace.count() > 0;
        if (!running_) {
            // A removal (a user quit) during a grace period ends it now.
            if (held_ && !hold) {
                stopIntercepting();
                endHold(false);
            }
            if (done) done();
            return;
        }
        if (hold) beginHold();
        running_ = false;
        // Otherwise the computer's DNS goes its own way again before the provider
        // stops answering.
        if (!hold) stopIntercepting();
        provider_->stopProxy(reason, [this, done = std::move(done)] {
            if (observer_) observer_(false);
            if (done) done();
        });
    });
}

void ProviderHost::beginHold() {
    {
        std::lock_guard lock(holdMutex_);
        held_ = true;
    }
    graceDue_ = clock_->monotonic() + settings_.stopGrace;
    armGraceTimer(settings_.stopGrace);
}

void ProviderHost::armGraceTimer(Clock::Duration left) {
    const std::weak_ptr<bool> alive = alive_;
    if (!graceWatch_) {
        graceWatch_ = clock_->watchMoves([this, alive] {
            // On the thread that moved the clock: the host is there until its end
            // ends this watch.
            asio::post(control_, [this, alive] {
                if (alive.lock()) graceTimerFired();
            });
        });
    }
    if (graceWatch_) return;
    if (!graceTimer_) {
        graceTimer_ = std::make_unique<IoLoop::Timer>(*controlLoop_, [this, alive] {
            if (alive.lock()) graceTimerFired();
        });
    }
    graceTimer_->at(IoLoop::Clock::now() + left);
}

void ProviderHost::graceTimerFired() {
    // A start (or another stop) since this grace period began has dealt with it.
    if (!graceDue_ || !held_ || running_) return;
    const auto now = clock_->monotonic();
    if (now < *graceDue_) {
        if (!graceWatch_) armGraceTimer(*graceDue_ - now);
        return;
    }
    if (intercepting()) {
        SystemLog("com.veltrix.kiv.KIVDNSProxy", "host")
            .notice("The proxy stayed stopped: the computer's DNS is no longer intercepted");
    }
    stopIntercepting();
    endHold(false);
}

void ProviderHost::endHold(bool serve) {
    std::vector<const Listening*> parked;
    std::vector<HeldBatch> batches;
    {
        std::lock_guard lock(holdMutex_);
        held_ = false;
        parked.swap(parked_);
        batches.swap(heldBatches_);
        heldBytes_ = 0;
    }
    graceDue_.reset();
    if (graceTimer_) graceTimer_->cancel();
    for (auto& batch : batches) {
        if (!serve) {
            counters_.droppedNotRunning += batch.datagrams.size();
            continue;
        }
        const auto queue = batch.listening.queue;
        asio::post(queue, [this, batch = std::move(batch)]() mutable {
            offer(batch.listening, batch.local, batch.client, std::move(batch.datagrams));
        });
    }
    // Read on their own threads, after the batches read before them. Without a
    // running proxy what waited is read and dropped, as when no grace period ran.
    for (const Listening* listening : parked) {
        asio::post(listening->queue, [this, listening] {
            if (receiving_) serveReadable(*listening);
        });
    }
}

bool ProviderHost::parkWhileHeld(const Listening& listening) {
    if (!held_.load(std::memory_order_acquire)) return false;
    std::lock_guard lock(holdMutex_);
    if (!held_.load(std::memory_order_relaxed)) return false;
    parked_.push_back(&listening);
    return true;
}

bool ProviderHost::holdBatch(const Listening& listening, const asio::ip::udp::endpoint& local,
                             const asio::ip::udp::endpoint& client, std::vector<Datagram>& batch) {
    if (!held_.load(std::memory_order_acquire)) return false;
    std::lock_guard lock(holdMutex_);
    if (!held_.load(std::memory_order_relaxed)) return false;
    std::size_t bytes = 0;
    for (const auto& datagram : batch) bytes += datagram.size();
    if (heldBytes_ + bytes > kMaxHeldBytes) {
        counters_.droppedNotRunning += batch.size();
        return true;
    }
    heldBytes_ += bytes;
    heldBatches_.push_back(HeldBatch{listening, local, client, std::move(batch)});
    return true;
}

void ProviderHost::shutdown(std::function<void()> done, std::function<void()> endFlows) {
    asio::post(control_, [this, done = std::move(done), endFlows = std::move(endFlows)]() mutable {
        if (shuttingDown_) return;
        shuttingDown_ = true;
        stopIntercepting();
        receiving_ = false;
        if (held_) endHold(false);
        // Each socket's receive ends on its own thread before the threads stop: the
        // kernel then has nothing of it to release after the process has gone.
        for (const auto& listening : listeners_) {
            listening.listener->cancel([this, alive = std::weak_ptr<bool>(alive_)] {
                if (listenersEnded_.fetch_add(1, std::memory_order_acq_rel) + 1 < listeners_.size()) return;
                asio::post(control_, [this, alive] {
                    if (alive.lock()) drainMayHaveEnded();
                });
            });
        }
        auto afterStop = [this, done = std::move(done), endFlows = std::move(endFlows)]() mutable {
            asio::post(control_, [this, done = std::move(done), endFlows = std::move(endFlows)]() mutable {
                auto lastDrain = [this, done = std::move(done), endFlows = std::move(endFlows)]() mutable {
                    if (gate_->live.load() == 0 || !endFlows) {
                        if (done) done();
                        return;
                    }
                    endFlows();
                    drain(settings_.drainTimeout / 4, std::move(done));
                };
                drain(settings_.drainTimeout, std::move(lastDrain));
            });
        };
        if (!running_.exchange(false)) {
            afterStop();
            return;
        }
        provider_->stopProxy(NEProviderStopReason::userInitiated,
                             [this, afterStop = std::move(afterStop)]() mutable {
                                 if (observer_) observer_(false);
                                 afterStop();
                             });
    });
}

void ProviderHost::startIntercepting() {
    if (!interception_) return;
    const SystemLog log("com.veltrix.kiv.KIVDNSProxy", "host");
    const auto listening = listeningEndpoints();
    if (const auto error = interception_->install(listening); !error.empty()) {
        log.error("The computer's DNS is not intercepted (" + error +
                  "; interception needs CAP_NET_ADMIN): only queries sent to the listening addresses reach "
                  "the proxy");
        return;
    }
    std::vector<std::string> uncovered;
    interceptionRuleset(interception_->settings().table, interception_->settings().mark, listening,
                        &uncovered);
    std::string targets;
    for (const auto& endpoint : listening) {
        if (!targets.empty()) targets += ", ";
        targets += endpoint.address().to_string();
        targets += " port ";
        targets += std::to_string(endpoint.port());
    }
    log.notice("Intercepting the computer's UDP DNS (nftables table inet " + interception_->settings().table +
               ") to " + targets);
    for (const auto& family : uncovered) {
        log.error(std::string(family)
                      .append(" DNS is not intercepted: the host listens on no ")
                      .append(family)
                      .append(" address"));
    }
}

void ProviderHost::avoidForwarders(bool avoid) {
    if (avoid == forwardersAvoided_) return;
    forwardersAvoided_ = avoid;
    for (const auto& forwarder : settings_.interception.localForwarders) {
        if (avoid) {
            OwnEndpoints::shared().add(forwarder);
        } else {
            OwnEndpoints::shared().remove(forwarder);
        }
    }
}

void ProviderHost::stopIntercepting() {
    if (!interception_) return;
    avoidForwarders(false);
    if (const auto error = interception_->remove(); !error.empty()) {
        SystemLog("com.veltrix.kiv.KIVDNSProxy", "host")
            .error("The DNS interception could not be removed (" + error +
                   "): remove it with kivdnsproxy --clear-interception");
    }
}

bool ProviderHost::drained() const {
    return gate_->live.load() == 0 && listenersEnded_.load(std::memory_order_acquire) >= listeners_.size();
}

void ProviderHost::drain(std::chrono::milliseconds timeout, std::function<void()> done) {
    if (drained()) {
        if (done) done();
        return;
    }
    drainDone_ = done ? std::move(done) : [] {};
    const auto generation = ++drainGeneration_;
    drainTimer_ = std::make_unique<IoLoop::Timer>(
        *controlLoop_, [this, alive = std::weak_ptr<bool>(alive_), generation] {
            // A deadline that passed just as its drain ended has no say in the next.
            if (!alive.lock() || generation != drainGeneration_ || !drainDone_) return;
            std::exchange(drainDone_, nullptr)();
        });
    drainTimer_->at(IoLoop::Clock::now() + timeout);
    gate_->whenEmptied([this, alive = std::weak_ptr<bool>(alive_)] {
        asio::post(control_, [this, alive] {
            if (alive.lock()) drainMayHaveEnded();
        });
    });
    // The last flow may have left before the gate was watched.
    drainMayHaveEnded();
}

void ProviderHost::drainMayHaveEnded() {
    if (!drainDone_ || !drained()) return;
    drainTimer_->cancel();
    std::exchange(drainDone_, nullptr)();
}

void ProviderHost::shutdownOnSignals(std::function<void()> done, std::function<void()> endFlows) {
    signals_ = std::make_unique<asio::signal_set>(control_, SIGINT, SIGTERM, SIGHUP);
    waitForSignal(std::move(done), std::move(endFlows));
}

void ProviderHost::waitForSignal(std::function<void()> done, std::function<void()> endFlows) {
    signals_->async_wait([this, done = std::move(done), endFlows = std::move(endFlows)](
                             const asio::error_code& ec, int number) mutable {
        if (ec) return;
        if (number != SIGHUP) {
            shutdown(std::move(done), std::move(endFlows));
            return;
        }
        // A terminal that closes, or a manager that asks for a reload, must not end
        // the proxy: there is nothing to reload, as the preferences are followed as
        // they change. Said once, so that a stream of hang-ups fills no log.
        if (!hangUpSeen_) {
            hangUpSeen_ = true;
            SystemLog("com.veltrix.kiv.KIVDNSProxy", "host")
                .notice("SIGHUP ignored: the DNS proxy follows its preferences without a reload");
        }
        waitForSignal(std::move(done), std::move(endFlows));
    });
}

}  // namespace platform::ne
